#include "platform/NetworkInterfaces.h"

#include "platform/win/WideText.h"
#include "platform/win/Winsock.h"

#include <iphlpapi.h>

#include <bit>
#include <vector>

namespace platform {

std::vector<Ipv4Interface> listIpv4Interfaces(int* error) {
    std::vector<Ipv4Interface> found;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // The list's size is known only by asking; it may grow between two asks.
    std::vector<unsigned char> storage(16 * 1024);
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        auto size = static_cast<ULONG>(storage.size());
        result =
            GetAdaptersAddresses(AF_INET, flags, nullptr,
                                 reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
        if (result == ERROR_BUFFER_OVERFLOW)
            storage.resize(size);
    }
    if (result == ERROR_NO_DATA) {
        if (error)
            *error = 0;
        return found;
    }
    if (result != NO_ERROR) {
        if (error)
            *error = static_cast<int>(result);
        return found;
    }
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(storage.data()); adapter;
         adapter = adapter->Next) {
        if (adapter->IfIndex == 0)
            continue;
        // The name the operator sees in the system's settings ("Ethernet",
        // "Wi-Fi"), which is what --interface takes here.
        std::string name =
            adapter->FriendlyName ? win::utf8FromWide(adapter->FriendlyName) : std::string();
        if (name.empty() && adapter->AdapterName)
            name = adapter->AdapterName;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const sockaddr* raw = unicast->Address.lpSockaddr;
            if (!raw || raw->sa_family != AF_INET)
                continue;
            Ipv4Interface item;
            item.name = name;
            item.index = adapter->IfIndex;
            item.address = ntohl(reinterpret_cast<const sockaddr_in*>(raw)->sin_addr.s_addr);
            const unsigned prefix = unicast->OnLinkPrefixLength;
            item.netmask =
                prefix == 0 ? 0 : (prefix >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> prefix));
            item.up = adapter->OperStatus == IfOperStatusUp;
            item.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            // Windows broadcasts on every IPv4 interface but the loopback one.
            item.canBroadcast = !item.loopback;
            found.push_back(std::move(item));
        }
    }
    if (error)
        *error = 0;
    return found;
}

std::string interfaceName(unsigned index) {
    if (index == 0)
        return {};
    for (const auto& item : listIpv4Interfaces())
        if (item.index == index)
            return item.name;
    return {};
}

std::optional<std::uint32_t> routeSourceFor(std::uint32_t destination, int* error) {
    const SOCKET s = win::openSocket(SOCK_DGRAM, error);
    if (s == INVALID_SOCKET)
        return std::nullopt;
    // Connecting a datagram socket only chooses the route and the source
    // address; no packet leaves. Any port will do for that.
    const sockaddr_in to = backend::socketAddressOf(destination, 9);
    std::optional<std::uint32_t> source;
    sockaddr_in local{};
    int length = sizeof local;
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        *error = WSAGetLastError();
    else
        source = ntohl(local.sin_addr.s_addr);
    closesocket(s);
    return source;
}

}  // namespace platform
