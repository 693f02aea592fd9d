#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "platform/DatagramSocket.h"

#include <string_view>

namespace fleet {

enum class BroadcastStep {
    Sent,
    CreateFailed,     // "Create Error"
    BroadcastDenied,  // "setsockopt Error"
    SendFailed,       // "Send Error"
};

// Sends bytes once to every unit: from a fresh socket on a port of the
// system's choosing, with broadcasting allowed, to the units' management port
// at the broadcast address. The socket stays open for any answers, with room
// asked for receiveQueueBytes of them when that is not 0 (the kernel may grant
// less). A step that fails is shown to the operator with the text above.
BroadcastStep broadcastToUnits(Operator& op, const Endpoints& endpoints, std::string_view bytes,
                               platform::DatagramSocket& socket, int receiveQueueBytes = 0);

}  // namespace fleet
