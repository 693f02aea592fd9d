#pragma once

#include "sim/UnitSimulator.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// What the simulator's command line asks for.
struct CommandLine {
    SimulatorOptions options;
    std::vector<UnitSettings> units;
    bool help = false;
};

// Reads the arguments after the program name. Per-unit options apply to the
// latest --unit. Nothing, with *error set, when an argument is not understood.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string* error);

std::string usageText();

// Bytes from hex digits (either case, even count, no separators).
std::optional<std::string> parseHex(std::string_view hex);

}  // namespace sim
