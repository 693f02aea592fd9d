#include "platform/WakeableWait.h"

#include "platform/DatagramSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

WakeableWait::WakeableWait() {
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        wakeRead_ = ends[0];
        wakeWrite_ = ends[1];
    }
}

WakeableWait::~WakeableWait() {
    for (const int fd : {wakeRead_, wakeWrite_}) {
        if (fd >= 0)
            ::close(fd);
    }
}

WakeableWait::Outcome WakeableWait::untilReadable(const DatagramSocket& socket,
                                                  std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{socket.fd(), POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    const nfds_t count = wakeRead_ >= 0 ? 2 : 1;
    const int ready = ::poll(fds, count, static_cast<int>(timeout.count()));
    if (ready <= 0)
        return Outcome::TimedOut;
    // The wake-up byte is left in the pipe, so every later wait ends at once too.
    if (count == 2 && (fds[1].revents & POLLIN) != 0)
        return Outcome::Woken;
    return Outcome::Readable;
}

void WakeableWait::wake() {
    if (wakeWrite_ < 0)
        return;
    const char byte = 0;
    // A full pipe already holds a wake-up; nothing more is needed.
    while (::write(wakeWrite_, &byte, 1) < 0 && errno == EINTR) {
    }
}

}  // namespace platform
