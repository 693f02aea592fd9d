#include "fleet/PreflightCheck.h"

#include "engine/Protocol.h"
#include "engine/UnitProgrammer.h"
#include "platform/DatagramSocket.h"
#include "platform/ErrorText.h"
#include "platform/SocketAddress.h"
#include "platform/SystemSpooler.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace fleet {

namespace {

// The query's answer is looked for this often while it is awaited.
constexpr std::chrono::milliseconds kAnswerPoll{50};

}  // namespace

StatusPortCheck checkStatusPort(std::uint16_t port) {
    // Bound as a programming run binds it, and let go at once.
    platform::DatagramSocket socket;
    StatusPortCheck result{port, socket.create(port), 0};
    if (!result.bindable)
        result.error = socket.lastError();
    return result;
}

PreflightCheck::PreflightCheck(platform::Sleeper& sleeper, platform::Spooler& spooler,
                               engine::Endpoints endpoints)
    : sleeper_(sleeper), spooler_(spooler), endpoints_(std::move(endpoints)) {}

TargetCheck PreflightCheck::check(const std::string& target, const StatusPortCheck& statusPort) {
    TargetCheck result;
    result.target = target;
    // The same rule that sends a target down the network path or to a queue.
    if (!engine::readsAsDottedAddress(target)) {
        result.kind = TargetCheck::Kind::Queue;
        checkQueue(result);
        return result;
    }
    result.statusPort = statusPort;
    // Read as programming reads it, so the check looks at the unit that a
    // run would contact.
    const auto address = platform::ipv4AsReached(target);
    if (!address) {
        result.problem =
            target + " is not an IPv4 address (four numbers from 0 to 255); correct the target";
        return result;
    }
    result.validAddress = true;
    result.address = platform::ipv4Text(*address);
    checkAddress(result, *address, platform::listIpv4Interfaces());
    return result;
}

void PreflightCheck::checkAddress(TargetCheck& result, std::uint32_t address,
                                  const std::vector<platform::Ipv4Interface>& interfaces) {
    const std::string& dotted = result.address;
    // Nothing is sent to 0.x.x.x, multicast or the limited broadcast.
    result.unicast = address >= 0x01000000u && address < 0xE0000000u;
    int routeError = 0;
    std::optional<std::uint32_t> source;
    if (result.unicast)
        source = platform::routeSourceFor(address, &routeError);
    result.routed = source.has_value();
    result.routeError = routeError;
    result.outsideEverySubnet =
        std::none_of(interfaces.begin(), interfaces.end(),
                     [&](const platform::Ipv4Interface& item) { return item.contains(address); });
    if (source) {
        result.source = platform::ipv4Text(*source);
        // The interface that owns the source address; of several, the one
        // whose subnet holds the target.
        if (const auto chosen = platform::interfaceHolding(interfaces, *source, address)) {
            result.interfaceName = chosen->name;
            result.subnet = chosen->subnetText();
            result.inSubnet = chosen->contains(address);
        }
        queryUnit(result);
        checkDataPort(result);
    }

    // The first thing that will stand in the way, in the order a technician
    // would look: the address, the way there, the unit, its data port, this
    // computer's status port.
    if (dotted != result.target) {
        result.problem = result.target + " is read as " + dotted +
                         " (a leading 0 makes a number octal); write the address as " + dotted;
    } else if (!result.unicast) {
        result.problem =
            dotted + " is not the address of one unit (not unicast); use the unit's own address";
    } else if (!result.routed && result.routeError == platform::errors::kAccessDenied) {
        result.problem =
            dotted + " is a broadcast address, not one unit's; use the unit's own address";
    } else if (!result.routed) {
        result.problem = "no route to " + dotted + " (" +
                         platform::systemErrorMessage(result.routeError) +
                         "); connect this computer to the unit's network or add a route to it";
    } else if (result.answer == TargetCheck::Answer::None && result.outsideEverySubnet) {
        result.problem =
            "no answer to the query within 1 s; " + dotted +
            " lies outside every network of this computer, so the query went to a router via " +
            (result.interfaceName.empty() ? "the default route" : result.interfaceName) +
            ": check the unit's address, and that the router passes UDP " +
            std::to_string(endpoints_.unitUdpPort) + " and TCP " +
            std::to_string(endpoints_.unitTcpPort) + " to the unit and UDP " +
            std::to_string(endpoints_.statusPort) + " back";
    } else if (result.answer == TargetCheck::Answer::None) {
        result.problem =
            "no answer to the query within 1 s; check that the unit is switched on "
            "and connected, and that its address is " +
            dotted + " (fwprog discover lists the units that answer)";
    } else if (!result.dataPortAccepts &&
               result.dataPortError == platform::errors::kConnectionRefused) {
        result.problem = "the data port TCP " + std::to_string(endpoints_.unitTcpPort) +
                         " refused the connection, so no image can be sent; switch the unit off "
                         "and on again, and check that " +
                         dotted + " is a printer-interface unit";
    } else if (!result.dataPortAccepts) {
        result.problem = "the data port TCP " + std::to_string(endpoints_.unitTcpPort) +
                         " did not accept a connection (" +
                         platform::systemErrorMessage(result.dataPortError) +
                         "); check that no firewall between here and the unit blocks it";
    } else if (!result.statusPort.bindable) {
        const std::string port = std::to_string(result.statusPort.port);
        result.problem = "the status port UDP " + port + " cannot be bound on this computer (" +
                         platform::systemErrorMessage(result.statusPort.error) +
                         "): fwprog does not program while it is taken, and the window could "
                         "not hear the unit's verdict; close the program that holds it (ss "
                         "-ulpn 'sport = :" +
                         port + "' shows which)";
    }
}

void PreflightCheck::queryUnit(TargetCheck& result) {
    platform::DatagramSocket socket;
    const std::string& dotted = result.address;
    if (!socket.create(0) ||
        socket.sendTo(dotted, endpoints_.unitUdpPort, engine::proto::kQuery.data(),
                      engine::proto::kQuery.size()) !=
            static_cast<long>(engine::proto::kQuery.size()))
        return;
    // Only the target's own answer counts; anything else that arrives is read past.
    std::vector<char> reply(engine::timing::kDiscoveryReplyBuffer);
    for (auto waited = std::chrono::milliseconds(0); waited < kAnswerWait; waited += kAnswerPoll) {
        if (!sleeper_.sleepUnlessStopped(kAnswerPoll, stop_))
            return;
        for (;;) {
            std::string sender;
            const long length = socket.receive(reply.data(), reply.size(), &sender);
            if (length < 0 && socket.lastError() != platform::errors::kMessageTooLong)
                break;
            if (length < 0 || sender != dotted)
                continue;
            if (engine::proto::isBootLoaderReply(reply.data(), static_cast<std::size_t>(length))) {
                result.answer = TargetCheck::Answer::BootLoader;
            } else {
                const std::string line = engine::proto::discoveryListLine(
                    reply.data(), static_cast<std::size_t>(length));
                result.answer = TargetCheck::Answer::Product;
                result.product = line.substr(0, line.find('\t'));
            }
            return;
        }
    }
}

void PreflightCheck::checkDataPort(TargetCheck& result) {
    // One connection, opened and closed at once with nothing sent: the first
    // step of every programming run does the same.
    platform::StreamTimeouts timeouts;
    timeouts.refusedRetries = 0;
    timeouts.connectGiveUp = kConnectWait;
    platform::StreamSocket connection(timeouts, {}, stop_);
    result.dataPortChecked = true;
    result.dataPortAccepts = connection.connect(result.address, endpoints_.unitTcpPort);
    if (!result.dataPortAccepts)
        result.dataPortError = connection.lastError();
    connection.close();
}

void PreflightCheck::checkQueue(TargetCheck& result) {
    const std::string& name = result.target;
    int error = 0;
    std::unique_ptr<platform::PrintQueue> queue = spooler_.open(name, &error);
    if (!queue) {
        result.queueError = error;
        if (error == platform::spooler_errors::kNoSuchQueue)
            result.problem =
                "there is no print queue " + name + " on this computer; fwprog queues lists them";
        else if (error == platform::spooler_errors::kServerUnreachable)
            result.problem =
                "the print service cannot be reached; " + platform::spoolerStartAdvice();
        else
            result.problem = "the print queue " + name + " cannot be opened (spooler error " +
                             std::to_string(error) + ")";
        return;
    }
    result.queueExists = true;
    result.device = queue->portName();
    result.queueState = queue->state();
    queue->close();
    if (!result.device) {
        result.problem = "the device of print queue " + name +
                         " cannot be read, and an image is never sent to a device nobody has "
                         "seen; check the queue with lpstat -v " +
                         name;
    } else if (*result.device == "FILE:") {
        result.problem =
            "the queue prints to a file, not to a unit; point it at the unit, e.g. "
            "lpadmin -p " +
            name + " -v socket://ADDRESS:9100";
    } else if (result.queueState && !result.queueState->acceptingJobs) {
        result.problem = "the queue rejects new jobs; let it take them: cupsaccept " + name;
    } else if (result.queueState &&
               result.queueState->activity == platform::QueueState::Activity::Stopped) {
        result.problem = "the queue is stopped; start it: cupsenable " + name;
    }
}

}  // namespace fleet
