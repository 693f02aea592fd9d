// The status decoder reads datagrams of any length from the status port.
#include "engine/ProgramResult.h"
#include "engine/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::int32_t status = engine::proto::decodeStatus(data, size);
    if (size < 4 && status >= 0)
        std::abort();  // a short datagram must never read as a verdict
    const engine::ProgramResult result = engine::resultFromStatus(status);
    if (status > 0 && !result.isUnitVerdict())
        std::abort();
    if (status < 0 && result != engine::ResultUnconfirmed)
        std::abort();
    return 0;
}
