#include "fleet/UnitBroadcast.h"

namespace fleet {

BroadcastStep broadcastToUnits(Operator& op, const Endpoints& endpoints, std::string_view bytes,
                               platform::DatagramSocket& socket, int receiveQueueBytes) {
    if (!socket.create(0)) {
        op.messageBox("Create Error", mb::kOk);
        return BroadcastStep::CreateFailed;
    }
    if (!socket.setBroadcast(true)) {
        op.messageBox("setsockopt Error", mb::kOk);
        return BroadcastStep::BroadcastDenied;
    }
    if (receiveQueueBytes > 0)
        socket.setReceiveBufferSize(receiveQueueBytes);
    const long sent = socket.sendTo(endpoints.broadcastAddress, endpoints.unitUdpPort, bytes.data(),
                                    bytes.size());
    if (sent != static_cast<long>(bytes.size())) {
        op.messageBox("Send Error", mb::kOk);
        return BroadcastStep::SendFailed;
    }
    return BroadcastStep::Sent;
}

}  // namespace fleet
