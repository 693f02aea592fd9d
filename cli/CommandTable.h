#pragma once

#include "cli/CliContext.h"
#include "platform/OptionTable.h"

#include <string>
#include <string_view>
#include <vector>

namespace cli {

// One option of a command as its help shows it and its reader accepts it.
using OptionSpec = platform::OptionSpec;

// One subcommand of fwprog: what `fwprog --help` lists, what `fwprog NAME
// --help` prints, and the function that runs it with the arguments after its
// name. The reader of its arguments takes only the options named here (and
// the options every command takes).
struct CommandSpec {
    const char* name;
    const char* summary;               // its line in `fwprog --help`
    const char* positional = nullptr;  // "TARGET...", shown after the name
    std::vector<OptionSpec> options;   // in the order the usage line shows them
    const char* description = "";      // before the options, lines ended by '\n'
    const char* notes = "";            // after the options, lines ended by '\n'
    int (*run)(const CommandSpec& command, const std::vector<std::string>& args,
               CliContext& context) = nullptr;
};

// Every command, in the order `fwprog --help` lists them.
const std::vector<CommandSpec>& commandTable();
// The command of that name, or nullptr.
const CommandSpec* findCommand(std::string_view name);
// The options every command takes, in the order their help lists them.
const std::vector<OptionSpec>& commonOptions();

// "usage: fwprog NAME ..." wrapped at 90 columns, with its line end.
std::string usageText(const CommandSpec& command);
// The command's own help: usage, description, options and notes.
std::string commandHelp(const CommandSpec& command);
// The help of the options every command takes, with its heading.
std::string commonOptionsHelp();
// `fwprog --help`.
std::string programHelp();

}  // namespace cli
