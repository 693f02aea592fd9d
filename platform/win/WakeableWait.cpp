#include "platform/WakeableWait.h"

#include "platform/DatagramSocket.h"
#include "platform/win/Winsock.h"

#include <windows.h>

#include <tuple>

namespace platform {

// Windows cannot wait on a socket and a pipe together; it waits on events.
// The socket's readiness is tied to an event for the length of one wait
// (WSAEventSelect), and wake() sets a second, manual-reset event that stays
// set, so every later wait ends at once too.
WakeableWait::WakeableWait() {
    if (HANDLE woken = CreateEventW(nullptr, TRUE, FALSE, nullptr))
        wakeRead_ = reinterpret_cast<NativeHandle>(woken);
    if (HANDLE readable = CreateEventW(nullptr, FALSE, FALSE, nullptr))
        wakeWrite_ = reinterpret_cast<NativeHandle>(readable);
}

WakeableWait::~WakeableWait() {
    for (const NativeHandle handle : {wakeRead_, wakeWrite_}) {
        if (handle != kNoHandle)
            CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
}

WakeableWait::Outcome WakeableWait::untilReadable(const DatagramSocket& socket,
                                                  std::chrono::milliseconds timeout) {
    const SOCKET s = win::socketOf(socket.fd());
    const auto waitMs = static_cast<DWORD>(timeout.count() < 0 ? 0 : timeout.count());
    if (wakeRead_ == kNoHandle || wakeWrite_ == kNoHandle) {
        // Without events, a plain select still ends at the time-out.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{static_cast<long>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000};
        return select(0, &readable, nullptr, nullptr, &wait) > 0 ? Outcome::Readable
                                                                 : Outcome::TimedOut;
    }
    HANDLE woken = reinterpret_cast<HANDLE>(wakeRead_);
    HANDLE readable = reinterpret_cast<HANDLE>(wakeWrite_);
    // A datagram already waiting sets the event at once.
    if (WSAEventSelect(s, readable, FD_READ) != 0)
        return Outcome::TimedOut;
    HANDLE both[2] = {woken, readable};
    const DWORD which = WaitForMultipleObjects(2, both, FALSE, waitMs);
    // The socket goes back to plain non-blocking use.
    WSAEventSelect(s, nullptr, 0);
    std::ignore = win::makeNonBlocking(s);
    if (which == WAIT_OBJECT_0)
        return Outcome::Woken;
    if (which == WAIT_OBJECT_0 + 1)
        return Outcome::Readable;
    return Outcome::TimedOut;
}

void WakeableWait::wake() {
    if (wakeRead_ != kNoHandle)
        SetEvent(reinterpret_cast<HANDLE>(wakeRead_));
}

}  // namespace platform
