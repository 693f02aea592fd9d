#include "app/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace app {

namespace {

// The options the original framework knew after its "/" or "-" marker.
bool isKnownOptionName(const std::string& name) {
    static const char* const kNames[] = {"pt",  "p",         "Unregister", "Unregserver",
                                         "dde", "Embedding", "Automation"};
    for (const char* known : kNames) {
        if (name.size() == std::char_traits<char>::length(known) &&
            std::equal(name.begin(), name.end(), known, [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return true;
    }
    return false;
}

// "-" always starts an option. "/" does so on the original platform, but here
// it starts every absolute path: only the framework's own option names (and
// a lone "/") count as options, so "firmware-programmer /srv/fw/unit.WQ1"
// opens that image instead of silently ignoring it.
bool isOption(const std::string& argument) {
    if (argument.empty())
        return false;
    if (argument.front() == '-')
        return true;
    return argument.front() == '/' &&
           (argument.size() == 1 || isKnownOptionName(argument.substr(1)));
}

}  // namespace

std::string imagePathFromArguments(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        // An empty argument ("") names no file, so the next one still may.
        if (!argument.empty() && !isOption(argument)) {
            return argument;
        }
    }
    return {};
}

std::string imagePathFromArguments(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc && argv != nullptr; ++i) {
        if (argv[i] != nullptr) {
            arguments.emplace_back(argv[i]);
        }
    }
    return imagePathFromArguments(arguments);
}

}  // namespace app
