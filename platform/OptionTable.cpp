#include "platform/OptionTable.h"

#include <algorithm>

namespace platform {

namespace {

// "--name, -n VALUE": how an option's help line names it.
std::string optionLabel(const OptionSpec& option) {
    std::string label = option.name;
    if (option.shortName)
        label.append(", ").append(option.shortName);
    if (option.valueName)
        label.append(" ").append(option.valueName);
    return label;
}

}  // namespace

std::string optionLines(const std::vector<OptionSpec>& options, std::size_t column) {
    if (column == 0) {
        std::size_t width = 0;
        for (const OptionSpec& option : options)
            width = std::max(width, optionLabel(option).size());
        column = 2 + width + 2;
    }
    std::string out;
    for (const OptionSpec& option : options) {
        const std::string label = optionLabel(option);
        const std::string_view help = option.help;
        const std::size_t firstEnd = std::min(help.find('\n'), help.size());
        const std::size_t blanks =
            std::max<std::size_t>(2, column - std::min(column, 2 + label.size()));
        out.append("  ").append(label).append(blanks, ' ');
        out.append(help.substr(0, firstEnd)).append("\n");
        if (firstEnd < help.size())
            out += indentLines(help.substr(firstEnd + 1), column);
    }
    return out;
}

std::string indentLines(std::string_view text, std::size_t indent) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        out.append(indent, ' ').append(text.substr(start, end - start)).append("\n");
        start = end + 1;
    }
    return out;
}

}  // namespace platform
