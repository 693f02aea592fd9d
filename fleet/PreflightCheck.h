#pragma once

#include "engine/Endpoints.h"
#include "platform/NetworkInterfaces.h"
#include "platform/Sleeper.h"
#include "platform/Spooler.h"
#include "platform/StopCheck.h"
#include "platform/StreamSocket.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fleet {

// Whether the status port, where every unit's verdict arrives, can be bound on
// this computer. Asked once, not per unit: it is the computer's port.
struct StatusPortCheck {
    std::uint16_t port = 0;
    bool bindable = false;
    int error = 0;  // errno of the failed bind
};
StatusPortCheck checkStatusPort(std::uint16_t port);

// What stands between this computer and programming one target, found without
// programming anything: for an address the route, the unit's answer to the
// query, its data port and the status port; for a print queue its existence,
// device and state. `problem` names the first thing that will fail and what to
// do about it; it is empty when the target is ready.
struct TargetCheck {
    enum class Kind { Address, Queue };
    enum class Answer { Product, BootLoader, None };

    std::string target;
    Kind kind = Kind::Address;

    // An address target.
    bool validAddress = false;
    std::string address;  // the target as programming reaches it, dotted
    bool unicast = false;
    bool routed = false;
    int routeError = 0;
    std::string interfaceName;  // the interface whose address the route uses
    std::string source;         // this computer's address towards the target
    std::string subnet;         // that interface's subnet, CIDR
    bool inSubnet = false;      // the target lies in that subnet (no router between)
    bool outsideEverySubnet = false;
    Answer answer = Answer::None;
    std::string product;  // the answer's product and version, bytes as sent
    bool dataPortChecked = false;
    bool dataPortAccepts = false;
    int dataPortError = 0;
    StatusPortCheck statusPort;

    // A print-queue target.
    bool queueExists = false;
    int queueError = 0;  // the spooler's code when the queue cannot be opened
    std::optional<std::string> device;
    std::optional<platform::QueueState> queueState;

    std::string problem;
    bool ready() const { return problem.empty(); }
};

class PreflightCheck {
public:
    // The query's answer is awaited this long.
    static constexpr std::chrono::milliseconds kAnswerWait{1000};
    // A data port that neither accepts nor refuses is given up after this.
    static constexpr std::chrono::milliseconds kConnectWait{3000};

    PreflightCheck(platform::Sleeper& sleeper, platform::Spooler& spooler,
                   engine::Endpoints endpoints);

    // Asked while the answer and the data port are awaited: once true, those
    // waits end at once (the check's result is then incomplete and not to be
    // shown).
    void setStopCheck(platform::StopCheck stop) { stop_ = std::move(stop); }

    // Checks one target; an address goes through every step even after one
    // failed, so the report is whole. statusPort is the computer's answer,
    // asked once for all targets.
    TargetCheck check(const std::string& target, const StatusPortCheck& statusPort);

private:
    void checkAddress(TargetCheck& result, std::uint32_t address,
                      const std::vector<platform::Ipv4Interface>& interfaces);
    void queryUnit(TargetCheck& result);
    void checkDataPort(TargetCheck& result);
    void checkQueue(TargetCheck& result);

    platform::Sleeper& sleeper_;
    platform::Spooler& spooler_;
    engine::Endpoints endpoints_;
    platform::StopCheck stop_;
};

}  // namespace fleet
