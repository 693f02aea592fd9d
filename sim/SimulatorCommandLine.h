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

// Reads the arguments after the program name with the option reader fwprog
// uses too (`--name value`, `--name=value`, flags; the first problem in
// argument order is the one reported). Per-unit options apply to the latest
// --unit. Nothing, with *error set, when an argument is not understood.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& args,
                                            std::string* error);

// The --help text; its option lines are made from the same table the reader reads.
std::string usageText();

// Bytes from hex digits (either case, even count, no separators).
std::optional<std::string> parseHex(std::string_view hex);

}  // namespace sim
