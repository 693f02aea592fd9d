#pragma once

#include "platform/StopCheck.h"

#include <chrono>

namespace platform {

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
};

}  // namespace platform
