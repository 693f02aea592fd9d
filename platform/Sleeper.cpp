#include "platform/Sleeper.h"

#include <algorithm>
#include <thread>

namespace platform {

bool Sleeper::sleepUnlessStopped(std::chrono::milliseconds duration, const StopCheck& stop) {
    if (!stop) {
        sleepFor(duration);
        return true;
    }
    for (auto left = duration;;) {
        if (stop())
            return false;
        if (left.count() <= 0)
            return true;
        const auto slice = std::min(left, kStopCheckInterval);
        sleepFor(slice);
        left -= slice;
    }
}

bool Sleeper::sleepUntil(std::chrono::milliseconds duration, WakeCondition& condition) {
    for (auto left = duration;;) {
        if (condition.met())
            return true;
        if (left.count() <= 0)
            return false;
        const auto slice = std::min(left, kWakeLook);
        sleepFor(slice);
        left -= slice;
    }
}

void RealSleeper::sleepFor(std::chrono::milliseconds duration) {
    if (duration.count() > 0)
        std::this_thread::sleep_for(duration);
}

bool RealSleeper::sleepUntil(std::chrono::milliseconds duration, WakeCondition& condition) {
    return condition.waitFor(duration);
}

}  // namespace platform
