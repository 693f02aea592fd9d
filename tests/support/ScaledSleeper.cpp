#include "tests/support/ScaledSleeper.h"

#include <algorithm>
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

bool ScaledSleeper::sleepUnlessStopped(std::chrono::milliseconds duration,
                                       const platform::StopCheck& stop) {
    if (!stop) {
        sleepFor(duration);
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        requested_.push_back(duration);
    }
    auto left = std::chrono::microseconds(
        static_cast<long long>(static_cast<double>(duration.count()) * 1000.0 * factor_));
    const auto slice = std::chrono::duration_cast<std::chrono::microseconds>(
        platform::kStopCheckInterval * factor_);
    for (;;) {
        if (stop())
            return false;
        if (left.count() <= 0)
            return true;
        const auto step = std::min(left, std::max(slice, std::chrono::microseconds(100)));
        std::this_thread::sleep_for(step);
        left -= step;
    }
}

bool ScaledSleeper::sleepUntil(std::chrono::milliseconds duration,
                               platform::WakeCondition& condition) {
    {
        std::lock_guard lock(mutex_);
        requested_.push_back(duration);
    }
    return condition.waitFor(std::chrono::microseconds(
        static_cast<long long>(static_cast<double>(duration.count()) * 1000.0 * factor_)));
}

std::chrono::steady_clock::time_point ScaledSleeper::now() const {
    const auto real = std::chrono::steady_clock::now() - origin_;
    // Sleeps that take no time at all move this clock by what they asked
    // for, so that a wait for a moment on it still comes to an end (dividing
    // by the factor would be a division by zero).
    if (factor_ <= 0)
        return origin_ + real + totalRequested();
    return origin_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double, std::nano>(real) / factor_);
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
