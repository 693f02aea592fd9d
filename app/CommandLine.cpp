#include "app/CommandLine.h"

namespace app {

namespace {

bool isOption(const std::string& argument) {
    return !argument.empty() && (argument.front() == '-' || argument.front() == '/');
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
