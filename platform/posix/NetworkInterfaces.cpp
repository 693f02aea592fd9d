#include "platform/NetworkInterfaces.h"

#include "platform/backend/Sockaddr.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>

namespace platform {

std::vector<Ipv4Interface> listIpv4Interfaces(int* error) {
    std::vector<Ipv4Interface> found;
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) {
        if (error)
            *error = errno;
        return found;
    }
    for (const ifaddrs* entry = all; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !entry->ifa_name)
            continue;
        Ipv4Interface item;
        item.name = entry->ifa_name;
        item.index = ::if_nametoindex(entry->ifa_name);
        if (item.index == 0)
            continue;  // gone since the list was taken
        item.address =
            ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        if (entry->ifa_netmask)
            item.netmask =
                ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        item.canBroadcast = (entry->ifa_flags & IFF_BROADCAST) != 0;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        found.push_back(std::move(item));
    }
    ::freeifaddrs(all);
    if (error)
        *error = 0;
    return found;
}

std::string interfaceName(unsigned index) {
    char name[IF_NAMESIZE] = {};
    if (index == 0 || ::if_indextoname(index, name) == nullptr)
        return {};
    return name;
}

std::optional<std::uint32_t> routeSourceFor(std::uint32_t destination, int* error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno;
        return std::nullopt;
    }
    // Connecting a datagram socket only chooses the route and the source
    // address; no packet leaves. Any port will do for that.
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    to.sin_addr.s_addr = htonl(destination);
    std::optional<std::uint32_t> source;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        *error = errno;
    else
        source = ntohl(local.sin_addr.s_addr);
    ::close(fd);
    return source;
}

}  // namespace platform
