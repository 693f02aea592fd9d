// The simulated unit's own parsers: its command line (NUL-separated arguments)
// and the hex status bytes it accepts.
#include "sim/SimulatorCommandLine.h"

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
    std::string error;
    const auto parsed = sim::parseCommandLine(arguments, &error);
    if (!parsed && error.empty())
        std::abort();  // a refusal always says why
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (const auto bytes = sim::parseHex(text); bytes && bytes->size() * 2 > text.size())
        std::abort();
    return 0;
}
