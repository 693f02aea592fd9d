#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "fleet/UnitBroadcast.h"
#include "platform/LocalClock.h"

#include <functional>
#include <string>

namespace fleet {

// The question asked before any unit's clock is touched.
inline constexpr const char* kTimeStampQuestion = "Set all Networked Time Stamps to Current Time";

// The time-stamp message for one reading of the clock and the zone.
std::string timeStampMessage(const platform::LocalClockReading& reading);

// Sets every unit's clock at once: after the operator agrees, one datagram with
// this computer's local time and zone goes to the broadcast address on the
// units' management port, out of every interface that can carry it (see
// broadcastWays). Nothing answers it and nothing is repeated.
class TimeStampBroadcast {
public:
    using ClockReader = std::function<platform::LocalClockReading()>;

    enum class Outcome {
        Sent,
        Cancelled,        // the operator said no; no socket was made
        CreateFailed,     // "Create Error"
        BroadcastDenied,  // "setsockopt Error"
        SendFailed,       // "Send Error"
    };

    TimeStampBroadcast(engine::Operator& op, engine::Endpoints endpoints,
                       ClockReader readClock = &platform::readLocalClock);

    // Asks, reads the clock, sends. Failures are shown to the operator on the
    // spot; a successful run shows nothing.
    [[nodiscard]] Outcome run();

    // The message of the last run that got as far as reading the clock.
    const std::string& text() const { return text_; }
    // What the last run's broadcast did on each way out.
    const BroadcastReport& report() const { return report_; }

private:
    engine::Operator& op_;
    engine::Endpoints endpoints_;
    ClockReader readClock_;
    std::string text_;
    BroadcastReport report_;
};

}  // namespace fleet
