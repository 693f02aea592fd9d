#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "engine/Timing.h"
#include "fleet/AddressRanges.h"
#include "fleet/DeviceList.h"
#include "fleet/UnitBroadcast.h"
#include "platform/Sleeper.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace fleet {

// One broadcast of the query and the collection of the answers that have
// arrived a moment later: the refresh behind the device list. The broadcast
// goes out of every interface that can carry it (see broadcastWays), and each
// answer is listed with the interface that heard it.
class DeviceDiscovery {
public:
    DeviceDiscovery(engine::Operator& op, platform::Sleeper& sleeper, engine::Endpoints endpoints);

    // The pause between the last query and the collection. It can only be
    // made longer than the units' own 5 ms (for slow or distant networks).
    void setPause(std::chrono::milliseconds pause);
    std::chrono::milliseconds pause() const { return pause_; }

    // Asked during the pauses (and between the unicast queries' bursts): once
    // true, the refresh ends without collecting.
    void setStopCheck(platform::StopCheck stop) { stop_ = std::move(stop); }
    // True when the last refresh ended on a stop request.
    bool stopped() const { return stopped_; }

    // After the broadcast, the query also goes to each of these addresses by
    // unicast (units on routed subnets, which no broadcast reaches), paced at
    // perSecond queries a second through the sleeper; the pause then follows
    // the last of them.
    static constexpr int kDefaultQueryRate = 500;
    static constexpr int kHighestQueryRate = 10000;
    void setRanges(AddressRanges ranges, int perSecond = kDefaultQueryRate);
    // Told how many of the unicast queries have gone out, now and then.
    using Progress = std::function<void(std::uint64_t queried, std::uint64_t total)>;
    void setProgress(Progress progress) { progress_ = std::move(progress); }
    // Told of each answer as it is read (its list line and the interface that
    // heard it), once per sender. With this set the pause is slept in short
    // slices, each followed by a read, so that answers are seen as they come;
    // the collection then reads past empty and oversize datagrams, as with
    // ranges. The list is made the same way as without.
    using Arrival = std::function<void(const std::string& line, const std::string& interfaceName)>;
    void setArrival(Arrival arrival) { arrival_ = std::move(arrival); }

    // Broadcasts the query and replaces the list with the answers queued after
    // the pause, at most 500 of them. When the socket cannot be made, set up or
    // sent on, the operator is told ("Create Error", "setsockopt Error", "Send
    // Error"), false is returned and the list keeps what it had. A stop during
    // the pause (or the unicast queries) returns false too, with the list
    // emptied and stopped() true.
    //
    // An answer heard twice from the same sender (the same unit reached along
    // two interfaces, or by the broadcast and by its own query) is listed once.
    // With ranges the collection reads past empty and oversize datagrams
    // instead of ending at them, and takes up to 500 answers more than there
    // are addresses; a broadcast that could not be sent ("Send Error") does
    // not stop the unicast queries then.
    //
    // Only answers whose address can be one unit's are listed (see
    // engine::UnitAddressRule; the address is the one the line carries after
    // its first tab). With ranges, a swept address lists at most one unit
    // and the answers from other senders at most 500.
    [[nodiscard]] bool refresh(DeviceList& list);

    // Answers of the last refresh that were not listed because their address
    // cannot be one unit's (a name, 0.0.0.0, a broadcast or multicast
    // address, text that is no dotted address).
    std::uint64_t refusedReplies() const { return refusedReplies_; }
    // Answers of the last sweep that were not listed because their sender had
    // already given its one unit (or, from outside the ranges, beyond 500).
    std::uint64_t surplusReplies() const { return surplusReplies_; }

    // What the last refresh's broadcast did on each way out.
    const BroadcastReport& broadcastReport() const { return report_; }
    // Unicast queries of the last refresh that could not be sent, and why
    // (errno of the last such send).
    std::uint64_t unsentQueries() const { return unsent_; }
    int unsentError() const { return unsentError_; }

private:
    engine::Operator& op_;
    platform::Sleeper& sleeper_;
    engine::Endpoints endpoints_;
    std::chrono::milliseconds pause_ = engine::timing::kDiscoveryPause;
    platform::StopCheck stop_;
    bool stopped_ = false;
    AddressRanges ranges_;
    int rate_ = kDefaultQueryRate;
    Progress progress_;
    Arrival arrival_;
    BroadcastReport report_;
    std::uint64_t unsent_ = 0;
    int unsentError_ = 0;
    std::uint64_t refusedReplies_ = 0;
    std::uint64_t surplusReplies_ = 0;
};

// What the last refresh left out, in one or two sentences each ended by a
// line break; empty when it listed every answer it read.
std::string notListedText(const DeviceDiscovery& discovery);

}  // namespace fleet
