// The window's command-line rule over arbitrary arguments (NUL-separated).
#include "app/CommandLine.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back().push_back(static_cast<char>(data[i]));
    }
    const std::string image = app::imagePathFromArguments(arguments);
    if (!image.empty()) {
        if (image[0] == '-' || image == "/" || image == "/p" || image == "/pt")
            std::abort();
        bool found = false;
        for (const auto& argument : arguments)
            found = found || argument == image;
        if (!found)
            std::abort();
    }
    return 0;
}
