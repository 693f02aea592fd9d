#include "fleet/DeviceDiscovery.h"

#include "engine/Protocol.h"
#include "fleet/UnitBroadcast.h"

#include <algorithm>
#include <vector>

namespace fleet {

namespace {

// Every answer must still be queued when the collection starts, and the
// kernel's default queue holds only a few hundred small datagrams: ask for room
// for the whole 500 at their largest. The kernel may grant less; then the
// answers beyond its ceiling are lost as before, which is no reason to fail.
constexpr int kReceiveQueueBytes =
    timing::kDiscoveryMaxReplies * 2 * static_cast<int>(timing::kDiscoveryReplyBuffer);

}  // namespace

DeviceDiscovery::DeviceDiscovery(Operator& op, platform::Sleeper& sleeper, Endpoints endpoints)
    : op_(op), sleeper_(sleeper), endpoints_(std::move(endpoints)) {}

void DeviceDiscovery::setPause(std::chrono::milliseconds pause) {
    pause_ = std::max(pause, timing::kDiscoveryPause);
}

bool DeviceDiscovery::refresh(DeviceList& list) {
    stopped_ = false;
    platform::DatagramSocket socket;
    if (broadcastToUnits(op_, endpoints_, proto::kQuery, socket, kReceiveQueueBytes) !=
        BroadcastStep::Sent)
        return false;

    list.clear();
    if (!sleeper_.sleepUnlessStopped(pause_, stop_)) {
        stopped_ = true;
        return false;
    }

    // Only what is queued now is listed: the socket never waits, so the first
    // empty receive (or an empty or oversize datagram) ends the collection.
    std::vector<char> reply(timing::kDiscoveryReplyBuffer);
    for (int received = 0; received < timing::kDiscoveryMaxReplies; ++received) {
        const long length = socket.receive(reply.data(), reply.size());
        if (length <= 0)
            break;
        list.insert(proto::discoveryListLine(reply.data(), static_cast<std::size_t>(length)));
    }
    return true;
}

}  // namespace fleet
