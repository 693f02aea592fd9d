#include "fleet/TimeStampBroadcast.h"

#include "engine/Protocol.h"

namespace fleet {

std::string timeStampMessage(const platform::LocalClockReading& reading) {
    return engine::proto::timeStampText(reading.local, reading.standardMinutesWest,
                                        reading.daylightFlag);
}

TimeStampBroadcast::TimeStampBroadcast(engine::Operator& op, engine::Endpoints endpoints,
                                       ClockReader readClock)
    : op_(op), endpoints_(std::move(endpoints)), readClock_(std::move(readClock)) {}

TimeStampBroadcast::Outcome TimeStampBroadcast::run() {
    if (op_.messageBox(kTimeStampQuestion, engine::kOkCancelQuestion) == engine::BoxAnswer::Cancel)
        return Outcome::Cancelled;

    text_ = timeStampMessage(readClock_());

    // The text alone: units take the datagram's length as the message's.
    platform::DatagramSocket socket;
    report_ = broadcastToUnits(op_, endpoints_, text_, socket);
    switch (report_.step) {
        case BroadcastStep::Sent:
            return Outcome::Sent;
        case BroadcastStep::CreateFailed:
            return Outcome::CreateFailed;
        case BroadcastStep::BroadcastDenied:
            return Outcome::BroadcastDenied;
        case BroadcastStep::SendFailed:
            return Outcome::SendFailed;
    }
    return Outcome::SendFailed;
}

}  // namespace fleet
