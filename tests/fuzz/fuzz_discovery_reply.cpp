// The discovery reply reader takes whatever a device on the network sends.
#include "engine/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line = engine::proto::discoveryListLine(data, size);
    // The line can never be longer than the reply plus its tab.
    if (line.size() > size + 1 || line.find('\t') == std::string::npos)
        std::abort();
    const std::string address = engine::proto::addressFromListLine(line);
    if (address.size() >= line.size())
        std::abort();
    return 0;
}
