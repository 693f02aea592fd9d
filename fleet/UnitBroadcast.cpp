#include "fleet/UnitBroadcast.h"

#include <algorithm>
#include <tuple>

namespace fleet {

namespace {

constexpr const char* kLimitedBroadcast = "255.255.255.255";

bool listed(const std::vector<BroadcastWay>& ways, unsigned index) {
    return std::any_of(ways.begin(), ways.end(),
                       [index](const BroadcastWay& way) { return way.index == index; });
}

}  // namespace

std::vector<BroadcastWay> broadcastWays(const engine::Endpoints& endpoints,
                                        const std::vector<platform::Ipv4Interface>& interfaces,
                                        std::vector<std::string>* unknown) {
    std::vector<BroadcastWay> ways;
    if (!endpoints.interfaces.empty()) {
        for (const std::string& name : endpoints.interfaces) {
            auto found = std::find_if(interfaces.begin(), interfaces.end(),
                                      [&](const auto& item) { return item.name == name; });
            if (found == interfaces.end()) {
                if (unknown)
                    unknown->push_back(name);
            } else if (!listed(ways, found->index)) {
                ways.push_back({found->index, found->name});
            }
        }
        return ways;
    }
    if (endpoints.broadcastAddress == kLimitedBroadcast) {
        for (const auto& item : interfaces)
            if (item.up && item.canBroadcast && !item.loopback && !listed(ways, item.index))
                ways.push_back({item.index, item.name});
    }
    if (ways.empty())
        ways.push_back({});
    return ways;
}

std::string interfaceNamesText(const std::vector<platform::Ipv4Interface>& interfaces) {
    std::vector<std::string> names;
    for (const auto& item : interfaces)
        if (std::find(names.begin(), names.end(), item.name) == names.end())
            names.push_back(item.name);
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

std::string interfaceNameOf(unsigned index,
                            const std::vector<platform::Ipv4Interface>& interfaces) {
    if (index == 0)
        return {};
    for (const auto& item : interfaces)
        if (item.index == index)
            return item.name;
    return platform::interfaceName(index);
}

BroadcastReport broadcastToUnits(engine::Operator& op, const engine::Endpoints& endpoints,
                                 std::string_view bytes, platform::DatagramSocket& socket,
                                 int receiveQueueBytes) {
    BroadcastReport report;
    if (!socket.create(0)) {
        op.messageBox("Create Error", engine::BoxIcon::None);
        report.step = BroadcastStep::CreateFailed;
        return report;
    }
    if (!socket.setBroadcast(true)) {
        op.messageBox("setsockopt Error", engine::BoxIcon::None);
        report.step = BroadcastStep::BroadcastDenied;
        return report;
    }
    // A smaller queue than asked for only means that a flood of answers loses
    // some sooner; the answers read are listed all the same.
    if (receiveQueueBytes > 0)
        std::ignore = socket.setReceiveBufferSize(receiveQueueBytes);
    // Which interface heard an answer is worth knowing, never worth failing for.
    std::ignore = socket.setReportArrivalInterface(true);

    // When the interfaces cannot be listed, the routing table's one way is
    // still there.
    report.interfaces = platform::listIpv4Interfaces();
    for (const BroadcastWay& way :
         broadcastWays(endpoints, report.interfaces, &report.unknownInterfaces)) {
        const long sent = socket.sendVia(way.index, endpoints.broadcastAddress,
                                         endpoints.unitUdpPort, bytes.data(), bytes.size());
        if (sent == static_cast<long>(bytes.size()))
            report.sent.push_back(way);
        else
            report.failed.push_back({way, sent < 0 ? socket.lastError() : 0});
    }
    if (report.sent.empty()) {
        op.messageBox("Send Error", engine::BoxIcon::None);
        report.step = BroadcastStep::SendFailed;
    }
    return report;
}

}  // namespace fleet
