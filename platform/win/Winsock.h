#pragma once
// Windows Sockets for the Windows backend's files only: start-up once per
// process and sockets that child processes never inherit (the system's address
// type for this program's own is in platform/backend/Sockaddr.h).

#include "platform/NativeHandle.h"
#include "platform/backend/Sockaddr.h"

#include <winsock2.h>
#include <ws2tcpip.h>

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

}  // namespace platform::win
