// The probe's reply test sees any datagram a unit (or anyone) sends back.
#include "engine/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool inBootLoader = engine::proto::isBootLoaderReply(data, size);
    const bool expected = size >= 10 && std::memcmp(data, "BootLoader", 10) == 0;
    if (inBootLoader != expected)
        std::abort();
    return 0;
}
