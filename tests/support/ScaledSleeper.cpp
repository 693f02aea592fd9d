#include "tests/support/ScaledSleeper.h"

#include <thread>

namespace testing_support {

void ScaledSleeper::sleepFor(std::chrono::milliseconds duration) {
    {
        std::lock_guard lock(mutex_);
        requested_.push_back(duration);
    }
    auto scaled = std::chrono::microseconds(
        static_cast<long long>(static_cast<double>(duration.count()) * 1000.0 * factor_));
    if (scaled.count() > 0)
        std::this_thread::sleep_for(scaled);
}

std::vector<std::chrono::milliseconds> ScaledSleeper::requested() const {
    std::lock_guard lock(mutex_);
    return requested_;
}

std::chrono::milliseconds ScaledSleeper::totalRequested() const {
    std::lock_guard lock(mutex_);
    std::chrono::milliseconds total{0};
    for (auto d : requested_)
        total += d;
    return total;
}

}  // namespace testing_support
