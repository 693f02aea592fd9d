#pragma once
// Windows Sockets for the Windows backend's files only: start-up once per
// process, sockets that child processes never inherit, and the system's
// address type for this program's own.

#include "platform/NativeHandle.h"
#include "platform/SocketAddress.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <optional>
#include <string>

namespace platform::win {

// WSAStartup, once for the whole process; its error, 0 when sockets can be used.
int winsockStartError();

// A new socket of the type (SOCK_STREAM or SOCK_DGRAM), not inherited by
// child processes and non-blocking; INVALID_SOCKET with *error set otherwise.
SOCKET openSocket(int type, int* error);

// Makes the socket non-blocking; false with WSAGetLastError() set otherwise.
inline bool makeNonBlocking(SOCKET s) {
    u_long nonBlocking = 1;
    // FIONBIO's bit pattern does not fit ioctlsocket's signed command type.
    return ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) == 0;
}

inline SOCKET socketOf(NativeHandle handle) {
    return static_cast<SOCKET>(handle);
}

inline NativeHandle handleOf(SOCKET socket) {
    return socket == INVALID_SOCKET ? kNoHandle : static_cast<NativeHandle>(socket);
}

inline sockaddr_in socketAddressOf(std::uint32_t address, std::uint16_t port) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = htonl(address);
    return result;
}

inline std::optional<sockaddr_in> socketAddressFor(const std::string& text, std::uint16_t port) {
    const auto address = ipv4AsReached(text);
    if (!address)
        return std::nullopt;
    return socketAddressOf(*address, port);
}

inline std::string addressTextOf(const sockaddr_in& address) {
    return ipv4Text(ntohl(address.sin_addr.s_addr));
}

}  // namespace platform::win
