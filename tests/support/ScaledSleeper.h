#pragma once

#include "platform/Sleeper.h"

#include <chrono>
#include <mutex>
#include <vector>

namespace testing_support {

// Sleeps a fraction of every requested pause and remembers what was asked for,
// so a test runs the real schedule quickly and can still check it.
class ScaledSleeper final : public platform::Sleeper {
public:
    explicit ScaledSleeper(double factor = 0.01) : factor_(factor) {}
    void sleepFor(std::chrono::milliseconds duration) override;
    // Remembers the whole pause as asked for, and looks at the stop check
    // between scaled slices of it.
    bool sleepUnlessStopped(std::chrono::milliseconds duration,
                            const platform::StopCheck& stop) override;
    // Remembers the whole pause as asked for and waits on the condition for
    // the scaled time.
    bool sleepUntil(std::chrono::milliseconds duration,
                    platform::WakeCondition& condition) override;

    // Runs faster than the real clock by the same factor as the pauses shrink.
    std::chrono::steady_clock::time_point now() const override;

    std::vector<std::chrono::milliseconds> requested() const;
    std::chrono::milliseconds totalRequested() const;

private:
    double factor_;
    std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    std::vector<std::chrono::milliseconds> requested_;
};

}  // namespace testing_support
