#pragma once

#include <chrono>

namespace platform {

// Every fixed pause of the programming sequence and the batch goes through one
// of these, so the window can keep painting while it waits and tests can scale
// time without the production code knowing.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleepFor(std::chrono::milliseconds duration) = 0;
};

class RealSleeper final : public Sleeper {
public:
    void sleepFor(std::chrono::milliseconds duration) override;
};

}  // namespace platform
