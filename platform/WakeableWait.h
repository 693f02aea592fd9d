#pragma once

#include "platform/NativeHandle.h"

#include <chrono>

namespace platform {

class DatagramSocket;

// A wait for a datagram socket to have something to read that another thread
// can end at once: a reader thread sleeps in the kernel while its port is
// quiet, and the thread that stops it does not have to wait out a time-out.
class WakeableWait {
public:
    // Makes the wake-up channel. Should the system refuse it, every wait still
    // ends at its time-out, so a wake() is seen no later than that.
    WakeableWait();
    ~WakeableWait();
    WakeableWait(const WakeableWait&) = delete;
    WakeableWait& operator=(const WakeableWait&) = delete;

    enum class Outcome {
        Readable,  // a datagram (or an error) waits on the socket
        Woken,     // wake() was called
        TimedOut,  // neither, for the whole time-out (or the wait itself failed)
    };
    // Waits until the socket has something to read, wake() has been called or
    // the time-out has passed.
    [[nodiscard]] Outcome untilReadable(const DatagramSocket& socket,
                                        std::chrono::milliseconds timeout);

    // Ends the wait in progress and every later one at once. Any thread may
    // call it, any number of times.
    void wake();

private:
    NativeHandle wakeRead_ = kNoHandle;
    NativeHandle wakeWrite_ = kNoHandle;
};

}  // namespace platform
