#include "platform/OptionReader.h"

namespace platform {

OptionReader::OptionReader(std::vector<std::string> args, std::vector<OptionSpec> table)
    : args_(std::move(args)), table_(std::move(table)) {}

const OptionSpec* OptionReader::find(std::string_view name) const {
    for (const OptionSpec& option : table_) {
        if (name == option.name || (option.shortName && name == option.shortName))
            return &option;
    }
    return nullptr;
}

bool OptionReader::take(std::string_view name) {
    if (atEnd() || args_[index_] != name)
        return false;
    ++index_;
    return true;
}

bool OptionReader::takeValue(std::string_view name, std::string& value) {
    if (atEnd())
        return false;
    const std::string& arg = args_[index_];
    if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        ++index_;
        return true;
    }
    if (arg != name)
        return false;
    if (index_ + 1 >= args_.size()) {
        fail(std::string(name) + " needs a value");
        return true;
    }
    value = args_[index_ + 1];
    index_ += 2;
    return true;
}

std::optional<OptionReader::Taken> OptionReader::next() {
    if (atEnd())
        return std::nullopt;
    // Only a long option carries its value after '='; "-h=x" is no option.
    std::string name = args_[index_];
    const std::size_t equals = name.starts_with("--") ? name.find('=') : std::string::npos;
    const bool inlineValue = equals != std::string::npos;
    if (inlineValue)
        name.resize(equals);
    const OptionSpec* option = find(name);
    if (option == nullptr) {
        fail("unknown option: " + args_[index_]);
        return std::nullopt;
    }
    Taken taken{static_cast<std::size_t>(option - table_.data()), name, {}};
    if (option->valueName == nullptr) {
        if (inlineValue) {
            fail(name + " takes no value");
            return std::nullopt;
        }
        ++index_;
        return taken;
    }
    if (!takeValue(name, taken.value) || error_)
        return std::nullopt;
    return taken;
}

void OptionReader::fail(std::string message) {
    if (!error_)
        error_ = std::move(message);
    index_ = args_.size();
}

}  // namespace platform
