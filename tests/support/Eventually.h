#pragma once
// Waiting for what another thread, process or the kernel brings about: the
// condition is looked at until it holds or a deadline far beyond its usual
// time has passed, so a slow machine makes a test slower, never red.

#include <chrono>
#include <thread>

namespace testing_support {

// Long enough for a loaded machine; a condition that holds returns at once.
inline constexpr std::chrono::milliseconds kEventualDeadline{10000};

// True as soon as condition() holds; false when it still does not at the deadline.
template <typename Condition>
bool eventually(Condition&& condition, std::chrono::milliseconds deadline = kEventualDeadline,
                std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end)
            return condition();
        std::this_thread::sleep_for(poll);
    }
    return true;
}

}  // namespace testing_support
