#pragma once

#include "platform/StopCheck.h"

#include <chrono>

namespace platform {

// What can end a pause early: a unit's status datagram waiting for it, say.
// Met once true; it stays met until its owner takes what it waits for.
class WakeCondition {
public:
    virtual ~WakeCondition() = default;
    [[nodiscard]] virtual bool met() = 0;
    // True at once when met; else sleeps until it is or the time is up.
    [[nodiscard]] virtual bool waitFor(std::chrono::nanoseconds duration) = 0;
};

// Every fixed pause of the programming sequence and the batch goes through one
// of these, so the window can keep painting while it waits and tests can scale
// time without the production code knowing.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;

    // The same pause, ended early once stop says so (looked at about every
    // kStopCheckInterval). True when the whole pause was slept; without a stop
    // check it is exactly sleepFor. The default sleeps in short sleepFor slices.
    [[nodiscard]] virtual bool sleepUnlessStopped(std::chrono::milliseconds duration,
                                                  const StopCheck& stop);

    // The same pause, ended as soon as the condition is met; true when it
    // was. Thousands of units waiting at once each sleep once rather than
    // waking every few milliseconds to look. The default looks between
    // sleepFor slices of kWakeLook, for sleepers that cannot wait on it.
    [[nodiscard]] virtual bool sleepUntil(std::chrono::milliseconds duration,
                                          WakeCondition& condition);
    static constexpr std::chrono::milliseconds kWakeLook{100};

    // The clock that pauses are measured on. A batch that waits for a moment
    // (a unit's next attempt) reads it, so that a test's scaled sleeper can
    // run that clock as fast as its pauses.
    virtual std::chrono::steady_clock::time_point now() const {
        return std::chrono::steady_clock::now();
    }
};

class RealSleeper final : public Sleeper {
public:
    void sleepFor(std::chrono::milliseconds duration) override;
    [[nodiscard]] bool sleepUntil(std::chrono::milliseconds duration,
                                  WakeCondition& condition) override;
};

}  // namespace platform
