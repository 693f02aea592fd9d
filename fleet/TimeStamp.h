#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "platform/LocalClock.h"

#include <functional>
#include <string>

struct TimeStampOutcome {
    enum Kind { Cancelled, Sent, Failed } kind = Cancelled;
    std::string text;  // the message built (empty when cancelled)
};

// The confirmation the operator answers before any clock is set.
inline constexpr const char* kTimeStampQuestion = "Set all Networked Time Stamps to Current Time";

// Asks (unless the caller already has the answer), then broadcasts the local
// time and zone once to every unit's management port. Shows nothing on
// success; "Create Error", "setsockopt Error" or "Send Error" on a failure.
TimeStampOutcome broadcastTimeStamp(
    Operator& op, const Endpoints& endpoints, bool ask = true,
    const std::function<platform::LocalClockReading()>& clock = platform::readLocalClock);
