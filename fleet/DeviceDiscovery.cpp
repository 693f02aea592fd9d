#include "fleet/DeviceDiscovery.h"

#include "platform/ErrorText.h"

#include "engine/Protocol.h"
#include "engine/UnitAddress.h"
#include "platform/SocketAddress.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace fleet {

namespace {

// Every answer must still be queued when the collection starts, and the
// kernel's default queue holds only a few hundred small datagrams: ask for room
// for the whole 500 at their largest. The kernel may grant less; then the
// answers beyond its ceiling are lost as before, which is no reason to fail.
constexpr int kReceiveQueueBytes = engine::timing::kDiscoveryMaxReplies * 2 *
                                   static_cast<int>(engine::timing::kDiscoveryReplyBuffer);

// The unicast queries go out in small bursts, each followed by the sleep that
// keeps the pace and a read of what has come back, so the receive queue never
// overflows however long the sweep.
constexpr int kBurstsPerSecond = 100;

// With an arrival callback the pause is slept in slices this long, each
// followed by a read of what has come.
constexpr std::chrono::milliseconds kArrivalSlice{50};

// Reads the answers queued on the socket into the list.
class Collector {
public:
    Collector(platform::DatagramSocket& socket, DeviceList& list,
              const std::vector<platform::Ipv4Interface>& interfaces,
              const engine::UnitAddressRule& rule, const AddressRanges& swept, std::uint64_t limit,
              bool readPastJunk, const DeviceDiscovery::Arrival& arrival)
        : socket_(socket),
          list_(list),
          interfaces_(interfaces),
          rule_(rule),
          swept_(swept),
          limit_(limit),
          readPastJunk_(readPastJunk),
          arrival_(arrival),
          reply_(engine::timing::kDiscoveryReplyBuffer) {}

    // Only what is queued now is read: the socket never waits. Without
    // readPastJunk the first empty receive (or an empty or oversize datagram)
    // ends the collection for good, as the window has always done.
    void readQueued() {
        while (!over_ && received_ < limit_) {
            std::string sender;
            unsigned arrival = 0;
            const long length = socket_.receive(reply_.data(), reply_.size(), &sender, &arrival);
            const bool junk = length == 0 || (length < 0 && socket_.lastError() ==
                                                                platform::errors::kMessageTooLong);
            if (readPastJunk_ && junk)
                continue;
            if (length <= 0) {
                over_ = !readPastJunk_;
                return;
            }
            ++received_;
            std::string line =
                engine::proto::discoveryListLine(reply_.data(), static_cast<std::size_t>(length));
            // The address every later step takes from the line (after its
            // first tab) must be one unit's: a name would be programmed as a
            // print queue, 0.0.0.0 as this computer, a broadcast address as
            // every unit at once, and anything else is no target at all.
            if (!rule_.isUnitAddress(engine::proto::addressFromListLine(line))) {
                ++refused_;
                continue;
            }
            if (seen_.count({sender, line}) > 0)
                continue;  // the same unit heard again
            if (!takesAnother(sender)) {
                ++surplus_;
                continue;
            }
            seen_.emplace(sender, line);
            std::string interfaceName = interfaceNameOf(arrival, interfaces_);
            if (arrival_)
                arrival_(line, interfaceName);
            list_.insert(std::move(line), std::move(interfaceName), std::move(sender));
        }
    }

    std::uint64_t refused() const { return refused_; }
    std::uint64_t surplus() const { return surplus_; }

private:
    // In a sweep, each swept address stands for one unit: a second, different
    // claim from the same sender is a forgery (or noise), and a flood of them
    // could otherwise fill the list with as many units as the collection
    // reads. So the swept addresses add at most as many units as there are of
    // them, and the broadcast's answers from elsewhere at most the 500 of a
    // refresh without a sweep.
    bool takesAnother(const std::string& sender) {
        if (swept_.empty())
            return true;
        const auto from = platform::parseIpv4(sender);
        if (from && swept_.contains(*from))
            return sweptSenders_.insert(*from).second;
        if (fromElsewhere_ >= static_cast<std::uint64_t>(engine::timing::kDiscoveryMaxReplies))
            return false;
        ++fromElsewhere_;
        return true;
    }

    platform::DatagramSocket& socket_;
    DeviceList& list_;
    const std::vector<platform::Ipv4Interface>& interfaces_;
    const engine::UnitAddressRule& rule_;
    const AddressRanges& swept_;
    std::uint64_t limit_;
    bool readPastJunk_;
    const DeviceDiscovery::Arrival& arrival_;
    std::vector<char> reply_;
    std::uint64_t received_ = 0;
    std::uint64_t refused_ = 0;
    std::uint64_t surplus_ = 0;
    std::uint64_t fromElsewhere_ = 0;
    bool over_ = false;
    std::set<std::pair<std::string, std::string>> seen_;
    std::set<std::uint32_t> sweptSenders_;
};

}  // namespace

DeviceDiscovery::DeviceDiscovery(engine::Operator& op, platform::Sleeper& sleeper,
                                 engine::Endpoints endpoints)
    : op_(op), sleeper_(sleeper), endpoints_(std::move(endpoints)) {}

void DeviceDiscovery::setPause(std::chrono::milliseconds pause) {
    pause_ = std::max(pause, engine::timing::kDiscoveryPause);
}

void DeviceDiscovery::setRanges(AddressRanges ranges, int perSecond) {
    ranges_ = std::move(ranges);
    rate_ = std::clamp(perSecond, 1, kHighestQueryRate);
}

bool DeviceDiscovery::refresh(DeviceList& list) {
    stopped_ = false;
    unsent_ = 0;
    unsentError_ = 0;
    refusedReplies_ = 0;
    surplusReplies_ = 0;
    platform::DatagramSocket socket;
    report_ = broadcastToUnits(op_, endpoints_, engine::proto::kQuery, socket, kReceiveQueueBytes);
    const bool sweep = !ranges_.empty();
    // A broadcast that went nowhere ends a refresh, except where unicast
    // queries follow on the same socket: routed units answer those anyway.
    if (report_.step != BroadcastStep::Sent &&
        !(sweep && report_.step == BroadcastStep::SendFailed))
        return false;

    list.clear();
    const std::uint64_t limit = static_cast<std::uint64_t>(engine::timing::kDiscoveryMaxReplies) +
                                (sweep ? ranges_.count() : 0);
    const engine::UnitAddressRule rule(report_.interfaces, endpoints_.broadcastAddress);
    Collector collector(socket, list, report_.interfaces, rule, ranges_, limit,
                        sweep || arrival_ != nullptr, arrival_);

    if (sweep) {
        // Unicast only: a subnet's broadcast address inside a range must not
        // turn one query into a broadcast, so the permission goes first.
        // Not examined: on the socket the broadcast has just used, taking the
        // permission away cannot fail (the system refuses only a bad socket or
        // a bad option, and neither can occur here).
        std::ignore = socket.setBroadcast(false);
        const std::vector<std::uint32_t> addresses = ranges_.addresses();
        const std::uint64_t total = addresses.size();
        const auto burst = static_cast<std::uint64_t>(std::max(1, rate_ / kBurstsPerSecond));
        long long slept = 0;
        for (std::uint64_t i = 0; i < total; ++i) {
            const long sent =
                socket.sendTo(platform::ipv4Text(addresses[i]), endpoints_.unitUdpPort,
                              engine::proto::kQuery.data(), engine::proto::kQuery.size());
            if (sent != static_cast<long>(engine::proto::kQuery.size())) {
                ++unsent_;
                unsentError_ = sent < 0 ? socket.lastError() : 0;
            }
            const std::uint64_t done = i + 1;
            if (done % burst != 0 && done != total)
                continue;
            if (progress_)
                progress_(done, total);
            if (done == total)
                break;  // the pause below follows the last query
            const auto due =
                static_cast<long long>(std::llround(static_cast<double>(done) * 1000.0 / rate_));
            if (due > slept) {
                if (!sleeper_.sleepUnlessStopped(std::chrono::milliseconds(due - slept), stop_)) {
                    list.clear();
                    stopped_ = true;
                    return false;
                }
                slept = due;
            }
            collector.readQueued();
        }
    }

    auto left = pause_;
    while (left.count() > 0) {
        const auto slice = arrival_ ? std::min(left, kArrivalSlice) : left;
        if (!sleeper_.sleepUnlessStopped(slice, stop_)) {
            list.clear();
            stopped_ = true;
            return false;
        }
        left -= slice;
        collector.readQueued();
    }
    refusedReplies_ = collector.refused();
    surplusReplies_ = collector.surplus();
    return true;
}

std::string notListedText(const DeviceDiscovery& discovery) {
    std::string text;
    if (const std::uint64_t refused = discovery.refusedReplies(); refused > 0)
        text += std::to_string(refused) + (refused == 1 ? " reply was" : " replies were") +
                " not listed: " + (refused == 1 ? "its address is" : "their addresses are") +
                " not one unit's (not a dotted IPv4 address, or 0.0.0.0, a broadcast or "
                "multicast address).\n";
    if (const std::uint64_t surplus = discovery.surplusReplies(); surplus > 0)
        text += std::to_string(surplus) +
                (surplus == 1 ? " further reply was" : " further replies were") +
                " not listed: a queried address answers for one unit only.\n";
    return text;
}

}  // namespace fleet
