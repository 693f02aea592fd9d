#include "platform/win/Winsock.h"

#include <mutex>

namespace platform::win {

int winsockStartError() {
    // Never cleaned up: the sockets live until the process ends, and the
    // system releases Winsock with it.
    static const int error = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return error;
}

SOCKET openSocket(int type, int* error) {
    if (const int startError = winsockStartError()) {
        *error = startError;
        return INVALID_SOCKET;
    }
    const int protocol = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
    // WSA_FLAG_NO_HANDLE_INHERIT: a program this one starts (an editor, a
    // test's helper) must not keep a unit's connection or a port alive.
    const SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return s;
    }
    if (!makeNonBlocking(s)) {
        *error = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace platform::win
