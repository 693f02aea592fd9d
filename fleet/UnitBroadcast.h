#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "platform/DatagramSocket.h"
#include "platform/NetworkInterfaces.h"

#include <string>
#include <string_view>
#include <vector>

namespace fleet {

// One way out for a broadcast: out of one interface, or (index 0) wherever
// the routing table sends it.
struct BroadcastWay {
    unsigned index = 0;
    std::string name;  // empty for the routing table's way
};

// The ways a broadcast to endpoints.broadcastAddress leaves:
//  - the limited broadcast 255.255.255.255 leaves through every interface
//    that is up and can broadcast, one datagram each: a computer with two
//    network cards reaches the units behind both, not only those behind the
//    default route. Only when no interface qualifies (and none was named) does
//    the routing table decide, as a single send always did.
//  - any other broadcast address (a subnet's own, or 127.255.255.255 on
//    loopback) already names its network: it leaves as the routing table says.
// Named interfaces (endpoints.interfaces) narrow either rule to themselves:
// one datagram out of each named interface, whatever its flags. Names that no
// interface with an IPv4 address has are put into *unknown and left out.
std::vector<BroadcastWay> broadcastWays(const engine::Endpoints& endpoints,
                                        const std::vector<platform::Ipv4Interface>& interfaces,
                                        std::vector<std::string>* unknown);

// "lo, eth0, wlan0": the distinct names, in the system's order.
std::string interfaceNamesText(const std::vector<platform::Ipv4Interface>& interfaces);

enum class BroadcastStep {
    Sent,
    CreateFailed,     // "Create Error"
    BroadcastDenied,  // "setsockopt Error"
    SendFailed,       // "Send Error"
};

// What became of each way of one broadcast.
struct BroadcastReport {
    BroadcastStep step = BroadcastStep::Sent;
    std::vector<BroadcastWay> sent;
    struct Failure {
        BroadcastWay way;
        int error = 0;  // errno; 0 when fewer bytes left than were given
    };
    std::vector<Failure> failed;
    std::vector<std::string> unknownInterfaces;
    // This computer's interfaces as listed for the broadcast.
    std::vector<platform::Ipv4Interface> interfaces;
};

// Sends bytes once to every unit: from a fresh socket on a port of the
// system's choosing, with broadcasting allowed, to the units' management port
// at the broadcast address, along every way broadcastWays gives for this
// computer's interfaces. The socket stays open for any answers, with room
// asked for receiveQueueBytes of them when that is not 0 (the kernel may grant
// less), and tells the interface each answer came in on. A step that fails is
// shown to the operator with the text above; "Send Error" only when no way at
// all took the datagram (a way that failed while another worked is only in the
// report, so the window stays as quiet as a single send kept it).
BroadcastReport broadcastToUnits(engine::Operator& op, const engine::Endpoints& endpoints,
                                 std::string_view bytes, platform::DatagramSocket& socket,
                                 int receiveQueueBytes = 0);

// The name of the interface with this index, for reports; "" for index 0.
std::string interfaceNameOf(unsigned index, const std::vector<platform::Ipv4Interface>& interfaces);

}  // namespace fleet
