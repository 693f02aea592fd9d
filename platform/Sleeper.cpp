#include "platform/Sleeper.h"

#include <thread>

namespace platform {

void RealSleeper::sleepFor(std::chrono::milliseconds duration) {
    if (duration.count() > 0)
        std::this_thread::sleep_for(duration);
}

}  // namespace platform
