#include "fleet/TimeStamp.h"

#include "engine/Protocol.h"
#include "platform/DatagramSocket.h"

TimeStampOutcome broadcastTimeStamp(Operator& op, const Endpoints& endpoints, bool ask,
                                    const std::function<platform::LocalClockReading()>& clock) {
    TimeStampOutcome outcome;
    if (ask && op.messageBox(kTimeStampQuestion, mb::kOkCancelQuestion) == mb::kAnswerCancel)
        return outcome;
    const platform::LocalClockReading now = clock();
    outcome.text = proto::timeStampText(now.local, now.standardMinutesWest, now.daylightFlag);
    outcome.kind = TimeStampOutcome::Failed;

    platform::DatagramSocket socket;
    if (!socket.create(0)) {
        op.messageBox("Create Error", mb::kOk);
        return outcome;
    }
    if (!socket.setBroadcast(true)) {
        op.messageBox("setsockopt Error", mb::kOk);
        return outcome;
    }
    if (socket.sendTo(endpoints.broadcastAddress, endpoints.unitUdpPort, outcome.text.data(),
                      outcome.text.size()) != static_cast<long>(outcome.text.size())) {
        op.messageBox("Send Error", mb::kOk);
        return outcome;
    }
    outcome.kind = TimeStampOutcome::Sent;
    return outcome;
}
