#pragma once

#include "cli/CliContext.h"
#include "cli/CommandTable.h"
#include "platform/OptionReader.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

// Walks a subcommand's arguments: `--name value`, `--name=value` and flags,
// with the option reader the simulated unit's command line uses too
// (platform/OptionReader.h). Common options (ports, broadcast address, --json)
// are taken on the way. It takes only the options the command's table entry
// names, and its help is made from that entry.
//
// Our own reader rather than CLI11 (Debian's libcli11-dev): fwprog's usage
// errors are part of its interface (scripts and tests read them). Here the
// first problem met in argument order is the one reported, in fwprog's own
// words ("unknown option: X", "--image needs a value", "--jobs needs a whole
// number of at least 1: 0"), and a value is checked where it is read, so
// "--wait abc --help" is a usage error while "--help --wait abc" prints the
// help; `--interface` replaces the environment's names at its first use and
// adds to them at later ones. CLI11 words its errors its own way ("The
// following arguments were not expected: X") and checks required options only
// once the whole line is read, so keeping these texts and this order would
// mean replacing most of its error handling.
class ArgumentReader {
public:
    ArgumentReader(std::vector<std::string> args, CommonOptions& common,
                   const CommandSpec& command);

    bool atEnd() const { return reader_.atEnd(); }
    // The current option's name, e.g. "--image"; positional arguments are returned as is.
    const std::string& current() const { return reader_.current(); }
    // Consumes a flag; name is one of the command's flags in the table.
    bool flag(const char* name);
    // Consumes `name value` or `name=value` into value; name is one of the
    // command's options with a value in the table.
    bool option(const char* name, std::string& value);
    // Takes --help/-h (prints the command's help and the common options) or
    // --version (prints the version); true when one was taken and the command is done.
    bool helpOrVersion(CliContext& context);
    // Takes one of the options every subcommand knows; false when it is none.
    bool common();
    // Takes `--interface NAME` (repeatable) for the commands that broadcast:
    // the first one on the command line replaces the names FWPROG_INTERFACE
    // gave, later ones add to it.
    bool interfaceOption();
    // After the arguments: a usage error when a named interface has no IPv4
    // address on this computer (or does not exist).
    void checkInterfaceNames();
    void skip() { reader_.skip(); }

    // The first usage error met, if any.
    const std::optional<std::string>& error() const { return reader_.error(); }
    void fail(std::string message) { reader_.fail(std::move(message)); }

private:
    // The table's entry for name; a name missing there is a mistake in the
    // command's code, and ends the program.
    const OptionSpec& known(const char* name, bool takesValue) const;

    // Its table: the command's options and the common ones.
    platform::OptionReader reader_;
    CommonOptions& common_;
    const CommandSpec& command_;
    bool interfacesGiven_ = false;
};

}  // namespace cli
