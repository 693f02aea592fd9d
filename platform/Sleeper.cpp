#include "platform/Sleeper.h"

#include <algorithm>
#include <thread>

namespace platform {

namespace {

// Sleeps in sleepFor slices of at most slice, looking whether done before
// each; true as soon as it is, false once the whole duration is slept.
template <typename Done>
bool sleepLooking(Sleeper& sleeper, std::chrono::milliseconds duration,
                  std::chrono::milliseconds slice, Done&& done) {
    for (auto left = duration;;) {
        if (done())
            return true;
        if (left.count() <= 0)
            return false;
        const auto step = std::min(left, slice);
        sleeper.sleepFor(step);
        left -= step;
    }
}

}  // namespace

bool Sleeper::sleepUnlessStopped(std::chrono::milliseconds duration, const StopCheck& stop) {
    if (!stop) {
        sleepFor(duration);
        return true;
    }
    return !sleepLooking(*this, duration, kStopCheckInterval, stop);
}

bool Sleeper::sleepUntil(std::chrono::milliseconds duration, WakeCondition& condition) {
    return sleepLooking(*this, duration, kWakeLook, [&] { return condition.met(); });
}

void RealSleeper::sleepFor(std::chrono::milliseconds duration) {
    if (duration.count() > 0)
        std::this_thread::sleep_for(duration);
}

bool RealSleeper::sleepUntil(std::chrono::milliseconds duration, WakeCondition& condition) {
    return condition.waitFor(duration);
}

}  // namespace platform
