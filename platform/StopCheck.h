#pragma once

#include <chrono>
#include <functional>

namespace platform {

// Asked now and then by anything that waits: true once the person at the
// controls wants the work to end. An empty check never stops anything.
using StopCheck = std::function<bool()>;

// How often a wait looks at its stop check: a stop is seen within about this long.
inline constexpr std::chrono::milliseconds kStopCheckInterval{50};

[[nodiscard]] inline bool stopRequested(const StopCheck& stop) {
    return stop && stop();
}

}  // namespace platform
