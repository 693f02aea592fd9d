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

void RealSleeper::sleepFor(std::chrono::milliseconds duration) {
    if (duration.count() > 0)
        std::this_thread::sleep_for(duration);
}

}  // namespace platform
