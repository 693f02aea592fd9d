#include "platform/StreamSocket.h"

#include "platform/ErrorText.h"
#include "platform/SocketAddress.h"

#include <algorithm>
#include <thread>

// What a connection does the same on every system: the retries of a refused
// request and the pauses between them. The requests, waits and sends are each
// system's own (posix/, win/).

namespace platform {

using Clock = std::chrono::steady_clock;

StreamSocket::StreamSocket(StreamTimeouts timeouts, WaitHook hook, StopCheck stop)
    : timeouts_(timeouts), hook_(std::move(hook)), stop_(std::move(stop)) {}

StreamSocket::~StreamSocket() {
    close();
}

bool StreamSocket::pause(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    for (;;) {
        if (stopRequested(stop_))
            return false;
        const auto now = Clock::now();
        if (now >= end)
            return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now);
        std::this_thread::sleep_for(
            std::clamp(left, std::chrono::milliseconds(1), timeouts_.hookInterval));
        if (hook_)
            hook_();
    }
}

bool StreamSocket::connect(const std::string& host, std::uint16_t port) {
    const auto address = ipv4AsReached(host);
    if (!address) {
        lastError_ = errors::kInvalidArgument;
        return false;
    }
    for (int request = 0;; ++request) {
        switch (attemptOnce(*address, port)) {
            case Attempt::Connected:
                bytesSent_ = 0;
                becomeBlockingWithTimeout();
                return true;
            case Attempt::Failed:
                // A request that timed out leaves a half-open socket behind;
                // it is dropped so nothing can try again on it.
                close();
                return false;
            case Attempt::Refused:
                close();
                if (request >= timeouts_.refusedRetries) {
                    lastError_ = errors::kConnectionRefused;
                    return false;
                }
                if (!pause(timeouts_.refusedRetryPause)) {
                    lastError_ = errors::kCancelled;
                    return false;
                }
                break;
        }
    }
}

bool StreamSocket::writableAfter(Wait wait) {
    switch (wait) {
        case Wait::Writable:
            return true;
        case Wait::TimedOut:
            lastError_ = errors::kTimedOut;
            break;
        case Wait::Stopped:
            lastError_ = errors::kCancelled;
            break;
        case Wait::Failed:
            break;  // the wait kept the system's reason
    }
    return false;
}

}  // namespace platform
