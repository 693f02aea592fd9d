#pragma once

#include "platform/OptionTable.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Walks a command line's arguments against a table of options: `--name
// value`, `--name=value` and flags. The first problem met in argument order
// is the one kept, and the walk ends there, so a later argument never hides
// an earlier mistake. A program either asks for its options by name
// (take, takeValue: fwprog, whose commands take them in their own order) or
// lets the table say what each argument is (next: the simulated unit).
class OptionReader {
public:
    OptionReader(std::vector<std::string> args, std::vector<OptionSpec> table);

    bool atEnd() const { return index_ >= args_.size(); }
    // The argument at the reader's position, as given ("--image=a.bin").
    const std::string& current() const { return args_[index_]; }
    void skip() { ++index_; }
    // The table's option with that long or short name, or nullptr.
    const OptionSpec* find(std::string_view name) const;

    // Consumes the argument when it is name itself; "--flag=x" is not.
    bool take(std::string_view name);
    // Consumes `name value` or `name=value` into value. True when the
    // argument is this option, even when its value is missing (name is the
    // last argument): that is a usage error, "NAME needs a value".
    bool takeValue(std::string_view name, std::string& value);

    // The argument at the reader's position read against the table: the index
    // of its option in the table, with its value (empty for a flag), and the
    // name as given ("-h" for "--help"). Nothing at the end and at the first
    // problem: "unknown option: ARG", "NAME takes no value", "NAME needs a value".
    struct Taken {
        std::size_t index;
        std::string name;
        std::string value;
    };
    std::optional<Taken> next();

    // The first usage error met, if any.
    const std::optional<std::string>& error() const { return error_; }
    // Keeps message unless an earlier one was kept, and ends the walk.
    void fail(std::string message);

private:
    std::vector<std::string> args_;
    std::vector<OptionSpec> table_;
    std::size_t index_ = 0;
    std::optional<std::string> error_;
};

}  // namespace platform
