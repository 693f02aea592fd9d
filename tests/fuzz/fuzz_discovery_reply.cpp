// The discovery reply reader takes whatever a device on the network sends, and
// the rule for which claimed addresses are listed decides on what it read.
#include "engine/JsonText.h"
#include "engine/Protocol.h"
#include "engine/UnitAddress.h"
#include "platform/SocketAddress.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <tuple>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line = engine::proto::discoveryListLine(data, size);
    // The line can never be longer than the reply plus its tab.
    if (line.size() > size + 1 || line.find('\t') == std::string::npos)
        std::abort();
    const std::string address = engine::proto::addressFromListLine(line);
    if (address.size() >= line.size())
        std::abort();
    // A listed address is dotted text that reads back as itself, and never
    // this computer, a broadcast or multicast address.
    static const engine::UnitAddressRule rule({}, "127.255.255.255");
    if (rule.isUnitAddress(address)) {
        const auto parsed = platform::parseIpv4(address);
        if (!parsed || platform::ipv4Text(*parsed) != address || (*parsed >> 24) == 0 ||
            *parsed >= 0xE0000000u || *parsed == 0x7FFFFFFFu)
            std::abort();
    }
    // Whatever the bytes, the product as JSON is text the JSON library takes.
    std::ignore = engine::jsonLine(engine::jsonText(line.substr(0, line.find('\t'))));
    return 0;
}
