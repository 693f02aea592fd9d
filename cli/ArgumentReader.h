#pragma once

#include "cli/CliContext.h"

#include <optional>
#include <string>
#include <vector>

namespace cli {

// Walks a subcommand's arguments: `--name value`, `--name=value` and flags.
// Common options (ports, broadcast address, --json) are taken on the way.
class ArgumentReader {
public:
    ArgumentReader(std::vector<std::string> args, CommonOptions& common);

    bool atEnd() const { return index_ >= args_.size(); }
    // The current option's name, e.g. "--image"; positional arguments are returned as is.
    const std::string& current() const { return args_[index_]; }
    // Consumes a flag.
    bool flag(const char* name);
    // Consumes `name value` or `name=value` into value.
    bool option(const char* name, std::string& value);
    // Takes --help/-h (prints the usage and the common options) or --version
    // (prints the version); true when one was taken and the command is done.
    bool helpOrVersion(CliContext& context, const char* usage);
    // Takes one of the options every subcommand knows; false when it is none.
    bool common();
    // Takes `--interface NAME` (repeatable) for the commands that broadcast:
    // the first one on the command line replaces the names FWPROG_INTERFACE
    // gave, later ones add to it.
    bool interfaceOption();
    // After the arguments: a usage error when a named interface has no IPv4
    // address on this computer (or does not exist).
    void checkInterfaceNames();
    void skip() { ++index_; }

    // The first usage error met, if any.
    const std::optional<std::string>& error() const { return error_; }
    void fail(std::string message);

private:
    std::vector<std::string> args_;
    std::size_t index_ = 0;
    CommonOptions& common_;
    std::optional<std::string> error_;
    bool interfacesGiven_ = false;
};

}  // namespace cli
