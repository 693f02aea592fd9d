#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "engine/Timing.h"
#include "fleet/DeviceList.h"
#include "platform/Sleeper.h"

#include <chrono>

namespace fleet {

// One broadcast of the query and the collection of the answers that have
// arrived a moment later: the refresh behind the device list.
class DeviceDiscovery {
public:
    DeviceDiscovery(Operator& op, platform::Sleeper& sleeper, Endpoints endpoints);

    // The pause between the query and the collection. It can only be made
    // longer than the units' own 5 ms (for slow or distant networks).
    void setPause(std::chrono::milliseconds pause);
    std::chrono::milliseconds pause() const { return pause_; }

    // Asked during the pause: once true, the refresh ends without collecting.
    void setStopCheck(platform::StopCheck stop) { stop_ = std::move(stop); }
    // True when the last refresh ended on a stop request.
    bool stopped() const { return stopped_; }

    // Broadcasts the query and replaces the list with the answers queued after
    // the pause, at most 500 of them. When the socket cannot be made, set up or
    // sent on, the operator is told ("Create Error", "setsockopt Error", "Send
    // Error"), false is returned and the list keeps what it had. A stop during
    // the pause returns false too, with the list emptied and stopped() true.
    bool refresh(DeviceList& list);

private:
    Operator& op_;
    platform::Sleeper& sleeper_;
    Endpoints endpoints_;
    std::chrono::milliseconds pause_ = timing::kDiscoveryPause;
    platform::StopCheck stop_;
    bool stopped_ = false;
};

}  // namespace fleet
