#include "fleet/TimeStampBroadcast.h"

#include "engine/Protocol.h"
#include "platform/DatagramSocket.h"

namespace fleet {

std::string timeStampMessage(const platform::LocalClockReading& reading) {
    return proto::timeStampText(reading.local, reading.standardMinutesWest, reading.daylightFlag);
}

TimeStampBroadcast::TimeStampBroadcast(Operator& op, Endpoints endpoints, ClockReader readClock)
    : op_(op), endpoints_(std::move(endpoints)), readClock_(std::move(readClock)) {}

TimeStampBroadcast::Outcome TimeStampBroadcast::run() {
    if (op_.messageBox(kTimeStampQuestion, mb::kOkCancelQuestion) == mb::kAnswerCancel)
        return Outcome::Cancelled;

    text_ = timeStampMessage(readClock_());

    platform::DatagramSocket socket;
    if (!socket.create(0)) {
        op_.messageBox("Create Error", mb::kOk);
        return Outcome::CreateFailed;
    }
    if (!socket.setBroadcast(true)) {
        op_.messageBox("setsockopt Error", mb::kOk);
        return Outcome::BroadcastDenied;
    }
    // The text alone: units take the datagram's length as the message's.
    const long sent = socket.sendTo(endpoints_.broadcastAddress, endpoints_.unitUdpPort,
                                    text_.data(), text_.size());
    if (sent != static_cast<long>(text_.size())) {
        op_.messageBox("Send Error", mb::kOk);
        return Outcome::SendFailed;
    }
    return Outcome::Sent;
}

}  // namespace fleet
