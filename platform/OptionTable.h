#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The command-line option tables and the reader that walks arguments against
// them (OptionReader.h) serve both programs with a command line of options:
// fwprog (cli/) and the simulated unit (sim/). They live here, in the one
// layer both may depend on, because cli/ and sim/ may not depend on each
// other. They are plain C++ with no system call and no system type, so they
// keep this layer's rule that its headers name nothing of the system; a
// library of their own would add a layer to the map for two files.
namespace platform {

// One option as its help shows it and its reader accepts it.
struct OptionSpec {
    const char* name;                 // "--image"
    const char* valueName = nullptr;  // "FILE"; nullptr for a flag
    const char* help = "";            // lines after the first start with '\n'
    const char* shortName = nullptr;  // "-y", for a flag that has one
    bool required = false;            // shown without brackets in a usage line
    bool repeatable = false;          // shown with "..." in a usage line
};

// The table's help, one option after the other: "  --name VALUE  help", the
// help's further lines under its first. The help starts at column (counted
// from 0), or 0 for two columns after the longest label; a label too long
// for the column keeps two blanks before its help.
std::string optionLines(const std::vector<OptionSpec>& options, std::size_t column = 0);

// Each line of text (ended by '\n', the last one may not be) indented by indent.
std::string indentLines(std::string_view text, std::size_t indent);

}  // namespace platform
