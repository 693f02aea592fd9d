#include "engine/UnitProgrammer.h"

#include "engine/PrintQueueDelivery.h"
#include "engine/Protocol.h"
#include "engine/UdpHelpers.h"
#include "engine/UnitAddress.h"
#include "platform/ErrorText.h"
#include "platform/InputFile.h"
#include "platform/NetworkInterfaces.h"
#include "platform/SocketAddress.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <tuple>

namespace engine {

bool readsAsDottedAddress(const std::string& target) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return std::sscanf(target.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4;
}

namespace {

// Releases the wait cursor levels a run has taken, on whatever path it leaves.
class WaitCursorLevels {
public:
    explicit WaitCursorLevels(WindowHooks& window) : window_(window) {}
    ~WaitCursorLevels() {
        while (levels_-- > 0)
            window_.endWaitCursor();
    }
    void raise() {
        window_.beginWaitCursor();
        ++levels_;
    }

private:
    WindowHooks& window_;
    int levels_ = 0;
};

// The name of this computer's interface that holds source, the address a
// connection to target went out from; empty when none can be told.
// A list taken once for a whole batch spares each unit the system's listing
// (a netlink dump, the costliest step of a unit on loopback); where it has no
// interface with that address, the computer's interfaces have changed since,
// and they are listed again.
std::string interfaceTowards(const std::string& source, const std::string& target,
                             const platform::Ipv4Interfaces* known) {
    const auto from = platform::parseIpv4(source);
    const auto to = platform::ipv4AsReached(target);
    if (!from || !to)
        return {};
    auto holder = known ? platform::interfaceHolding(*known, *from, *to) : std::nullopt;
    if (!holder)
        holder = platform::interfaceHolding(platform::listIpv4Interfaces(), *from, *to);
    return holder ? holder->name : std::string();
}

}  // namespace

UnitProgrammer::UnitProgrammer(Operator& op, platform::Sleeper& sleeper, platform::Spooler& spooler,
                               EngineOptions options)
    : op_(op), sleeper_(sleeper), spooler_(spooler), options_(std::move(options)) {
    // A run on its own binds the status port itself, and only its own unit's
    // verdict counts.
    inboxFactory_ = [port = options_.endpoints.statusPort](const std::string& target) {
        return std::make_unique<SocketStatusInbox>(port, StatusSenders::unitAt(target));
    };
}

std::unique_ptr<platform::StreamSocket> UnitProgrammer::makeDataConnection() {
    auto connection = std::make_unique<platform::StreamSocket>(
        options_.stream, [this] { window().keepPainted(); }, options_.stop);
    // Not examined: the connect that follows makes its own socket when this
    // one could not be made, and reports any failure itself.
    std::ignore = connection->create();
    return connection;
}

bool UnitProgrammer::pause(std::chrono::milliseconds duration) {
    if (!sleeper_.sleepUnlessStopped(duration, options_.stop))
        run_.stopped = true;
    return !run_.stopped;
}

bool UnitProgrammer::stopped() {
    if (!run_.stopped && platform::stopRequested(options_.stop))
        run_.stopped = true;
    return run_.stopped;
}

ProgramResult UnitProgrammer::ProgramUnit(const std::string& imagePath, const std::string& target) {
    run_ = UnitRun{};
    WaitCursorLevels cursor(window());
    cursor.raise();
    op_.phaseChanged(UnitPhase::Preparing);
    op_.setProgressPosition(0);

    std::unique_ptr<StatusInbox> inbox = inboxFactory_(target);
    int inboxError = 0;
    if (!inbox->open(&inboxError))
        op_.messageBox(socketCreateErrorText(inboxError), BoxIcon::Stop);

    platform::InputFile image;
    if (!image.openRegular(imagePath)) {
        inbox->close();
        run_.imageNotRegular = image.notRegularKind();
        if (run_.imageNotRegular.empty())
            run_.imageOpenError = image.lastError();
        op_.phaseChanged(UnitPhase::Finished);
        return run_.result = ResultFileNotFound;
    }
    run_.imageBytes = image.size();

    ProgramResult result;
    if (readsAsDottedAddress(target)) {
        result = networkPath(target, imagePath, image, *inbox);
    } else {
        QueueDeliveryRun delivery;
        delivery.imagePath = imagePath;
        delivery.stop = options_.stop;
        result =
            DeliverToPrintQueue(op_, spooler_, target, image, proto::entryHeaderForPrintQueue(),
                                buffer_.data(), buffer_.size(), &delivery);
        run_.bytesDelivered = delivery.imageBytesWritten;
        run_.imageCutOff = delivery.imageCutOff;
        run_.stopped = run_.stopped || delivery.stopped;
    }
    image.close();
    run_.foreignDatagrams = inbox->foreignDatagrams();
    inbox->close();
    op_.phaseChanged(UnitPhase::Finished);
    return run_.result = result;
}

// The network path: the entry header, the boot loader, the image and the
// verdict, each a step of its own below; a step that ends the run returns its
// result.
ProgramResult UnitProgrammer::networkPath(const std::string& target, const std::string& imagePath,
                                          platform::InputFile& image, StatusInbox& inbox) {
    if (!reachesOneUnit(target))
        return ResultSocketError;

    if (options_.identifyUnit) {
        run_.productBefore =
            queryProduct(target, timing::kIdentifyBeforeWait, true).value_or(std::string());
        if (stopped())
            return ResultUnconfirmed;
    }

    if (const auto ended = sendEntryHeader(target))
        return *ended;

    // Whatever reached the status port before the unit saw the header is
    // stale. The drain keeps the units' schedule and reads at most 10; what
    // it leaves is thrown away once the image connection is open.
    op_.phaseChanged(UnitPhase::Draining);
    if (!drainStatus(inbox))
        return ResultUnconfirmed;

    op_.phaseChanged(UnitPhase::BootLoaderWait);
    WaitForBootLoader(target);
    if (stopped() || !pause(timing::kPauseBetweenBootLoaderWaits))
        return ResultUnconfirmed;
    WaitForBootLoader(target);
    if (stopped())
        return ResultUnconfirmed;

    op_.phaseChanged(UnitPhase::ImageConnection);
    const std::uint64_t imageLength = image.size();
    run_.imageBytes = imageLength;
    op_.setProgressRange(imageLength);
    if (!pause(timing::kPauseBeforeImageConnection))
        return ResultUnconfirmed;
    std::unique_ptr<platform::StreamSocket> connection;
    if (const auto ended = openImageConnection(target, connection))
        return *ended;

    // The unit has no verdict before it has its image: whatever of its
    // status datagrams waits now (left by the drain, or sent during the
    // boot-loader wait) is stale. What comes from now on, during the stream
    // or after it, is received as ever.
    run_.staleDatagrams += inbox.discardWaiting(timing::kStaleDiscardLimit);

    op_.phaseChanged(UnitPhase::Streaming);
    if (const auto ended = streamImage(*connection, imagePath, image))
        return *ended;
    return verdictAfterStream(target, inbox);
}

// Sends the entry header that sends the unit into its boot loader. Nothing
// when it went out; otherwise the run's result.
std::optional<ProgramResult> UnitProgrammer::sendEntryHeader(const std::string& target) {
    const std::uint16_t dataPort = options_.endpoints.unitTcpPort;
    const std::string header = proto::entryHeaderForNetwork();

    // A first connection, dropped at once, wakes the unit's data port; units
    // expect it before the one that carries the header. Whether it connected
    // is only noted for displays: the sequence goes on either way, and the
    // next connection's failure is the one that counts.
    op_.phaseChanged(UnitPhase::BootLoaderEntry);
    op_.connectionAttempted(makeDataConnection()->connect(target, dataPort));
    if (stopped())
        return ResultUnconfirmed;
    {
        auto connection = makeDataConnection();
        const bool connected = connection->connect(target, dataPort);
        op_.connectionAttempted(connected);
        if (stopped())
            return ResultUnconfirmed;
        if (!connected) {
            const int error = connection->lastError();
            op_.messageBox("Error #" + std::to_string(error) + ": IP Address " + target + "\n" +
                               platform::systemErrorText(error) + " (" + std::to_string(error) +
                               ")",
                           BoxIcon::Stop);
            return ResultSocketError;
        }
        run_.sourceAddress = connection->localAddress();
        run_.interfaceName = interfaceTowards(run_.sourceAddress, target, interfaces_.get());
        // Not examined: a unit that did not take the header whole never enters
        // its boot loader, and the probes that follow find that out.
        std::ignore = connection->sendAll(header.data(), header.size());
    }
    if (stopped())
        return ResultUnconfirmed;
    return std::nullopt;
}

// Opens the connection that carries the image, with up to
// kImageConnectionAttempts tries. Nothing when it is open (in connection);
// otherwise the run's result.
std::optional<ProgramResult> UnitProgrammer::openImageConnection(
    const std::string& target, std::unique_ptr<platform::StreamSocket>& connection) {
    // Every attempt is a real one on a socket of its own: a socket whose
    // attempt timed out is still half-open and would refuse the next at once.
    int lastError = 0;
    for (int attempt = 0; attempt < timing::kImageConnectionAttempts; ++attempt) {
        auto candidate = makeDataConnection();
        const bool connected = candidate->connect(target, options_.endpoints.unitTcpPort);
        op_.connectionAttempted(connected);
        if (connected) {
            connection = std::move(candidate);
            return std::nullopt;
        }
        lastError = candidate->lastError();
        if (stopped())
            return ResultUnconfirmed;
    }
    op_.messageBox("Error: IP Address " + target + "\n" + platform::systemErrorText(lastError),
                   BoxIcon::Stop);
    return ResultSocketError;
}

// Waits for the unit's verdict on the image it got, then (when the run
// identifies units) asks what the restarted unit runs. The run's result.
ProgramResult UnitProgrammer::verdictAfterStream(const std::string& target, StatusInbox& inbox) {
    WaitCursorLevels verdictCursor(window());
    verdictCursor.raise();
    op_.phaseChanged(UnitPhase::VerdictWait);
    const ProgramResult verdict = awaitVerdict(inbox);
    if (run_.stopped)
        return ResultUnconfirmed;
    // Whatever the verdict, the unit restarts; what it runs then is the proof.
    if (options_.identifyUnit && options_.afterWait.count() > 0) {
        run_.productAfter = queryProduct(target, options_.afterWait, false).value_or(std::string());
        if (run_.stopped)
            return ResultUnconfirmed;
    }
    // The unit may have taken the part it got for the whole image and found
    // it good; the host knows better.
    if (run_.imageCutOff && verdict == ResultProgrammed)
        return ResultUnconfirmed;
    return verdict;
}

// Streams the image block by block. Nothing when the verdict wait is next;
// otherwise the run's result.
std::optional<ProgramResult> UnitProgrammer::streamImage(platform::StreamSocket& connection,
                                                         const std::string& imagePath,
                                                         platform::InputFile& image) {
    std::uint64_t transferred = 0;
    for (;;) {
        if (stopped()) {
            connection.abort();
            run_.imageCutOff = true;
            run_.bytesDelivered = connection.bytesSent();
            return ResultUnconfirmed;
        }
        const long got = image.read(buffer_.data(), buffer_.size());
        if (got < 0) {
            // The unit must not take a cut-off image for a whole one: drop the
            // connection hard instead of closing it in order.
            const int error = image.lastError();
            connection.abort();
            run_.imageCutOff = true;
            run_.bytesDelivered = connection.bytesSent();
            op_.messageBox("Could not read the image file " + imagePath + "\n" +
                               platform::systemErrorText(error),
                           BoxIcon::Stop);
            return ResultFileNotFound;
        }
        if (got == 0)
            break;
        // After a failed send (the connection is reset by then) the stream
        // still runs to the end of the file, and the unit's verdict decides,
        // though a verdict of success can no longer be believed. Every block
        // is sent as one with more to follow: the orderly close below pushes
        // out whatever part of a packet is still held back.
        if (!run_.imageCutOff &&
            !connection.sendAll(buffer_.data(), static_cast<std::size_t>(got), true)) {
            run_.imageCutOff = true;
            if (connection.lastError() == platform::errors::kCancelled)
                run_.stopped = true;
        }
        window().dispatchPendingEvent();
        transferred += static_cast<std::uint64_t>(got);
        op_.setProgressPosition(transferred);
    }
    run_.bytesDelivered = connection.bytesSent();
    // This orderly close ends a whole image; a cut-off one was reset already.
    connection.close();
    image.close();
    return std::nullopt;
}

bool UnitProgrammer::reachesOneUnit(const std::string& target) {
    // A target that reaches no single unit is a failure before anything is
    // sent: 0.0.0.0 would connect to this computer itself, and a broadcast
    // address would send the probes to every unit on the network.
    const auto reached = platform::ipv4AsReached(target);
    if (!reached)
        return true;
    // A batch's list of interfaces serves each of its units: a subnet added
    // since it was taken could only make a listed target its broadcast
    // address, to which the system refuses the entry header's connection
    // before any probe goes out.
    const auto why =
        (interfaces_ ? UnitAddressRule(*interfaces_, options_.endpoints.broadcastAddress)
                     : UnitAddressRule(options_.endpoints.broadcastAddress))
            .refusal(*reached);
    if (!why)
        return true;
    op_.messageBox("Error: IP Address " + target + "\nNot the address of one unit: " + *why +
                       "; nothing was sent to it\n",
                   BoxIcon::Stop);
    return false;
}

bool UnitProgrammer::drainStatus(StatusInbox& inbox) {
    unsigned char discard[timing::kStatusDatagramSize];
    for (int i = 0; i < timing::kDrainMaxReceives; ++i) {
        if (!pause(timing::kDrainSleep))
            return false;
        const long got = inbox.receive(discard, sizeof discard);
        if (got >= 0)
            ++run_.staleDatagrams;
        if (got < 1)
            return true;
    }
    return true;
}

ProgramResult UnitProgrammer::awaitVerdict(StatusInbox& inbox) {
    run_.verdictAwaited = true;
    const std::uint64_t before = inbox.datagramsArrived();
    const ProgramResult result = [&] {
        unsigned char status[timing::kStatusDatagramSize];
        // Whole receives, at least one: a wait that is not a multiple of the
        // sleep is rounded up, never cut short.
        const auto receives = std::max<std::int64_t>(
            1, (options_.verdictWait + timing::kVerdictSleep - std::chrono::milliseconds(1)) /
                   timing::kVerdictSleep);
        if (platform::WakeCondition* arrival = inbox.arrival(); arrival && !options_.stop)
            return sleepThroughVerdictWait(inbox, *arrival, receives);
        for (std::int64_t i = 0; i < receives; ++i) {
            op_.phaseTimeLeft((receives - i) * timing::kVerdictSleep);
            if (!pause(timing::kVerdictSleep))
                return ResultUnconfirmed;
            const long got = inbox.receive(status, sizeof status);
            if (got >= 0)
                return resultFromStatus(proto::decodeStatus(status, static_cast<std::size_t>(got)));
        }
        return ResultUnconfirmed;
    }();
    run_.statusDatagrams = inbox.datagramsArrived() - before;
    return result;
}

// An inbox that can say when a datagram comes is slept on until then (with
// no stop to look at): the same window of receives, ended by the datagram
// instead of found by the next look, and one wake-up where thousands of
// units at once would each wake ten times a second.
ProgramResult UnitProgrammer::sleepThroughVerdictWait(StatusInbox& inbox,
                                                      platform::WakeCondition& arrival,
                                                      std::int64_t receives) {
    unsigned char status[timing::kStatusDatagramSize];
    for (std::int64_t used = 0; used < receives;) {
        op_.phaseTimeLeft((receives - used) * timing::kVerdictSleep);
        const auto asleep = sleeper_.now();
        if (!sleeper_.sleepUntil((receives - used) * timing::kVerdictSleep, arrival)) {
            used = receives;
        } else {
            // What a wake-up used of the window, a whole look at least:
            // datagrams too long to be a status cannot keep it open.
            const auto slept = sleeper_.now() - asleep;
            used += std::max<std::int64_t>(
                1, std::chrono::ceil<std::chrono::milliseconds>(slept) / timing::kVerdictSleep);
        }
        const long got = inbox.receive(status, sizeof status);
        if (got >= 0)
            return resultFromStatus(proto::decodeStatus(status, static_cast<std::size_t>(got)));
    }
    return ResultUnconfirmed;
}

std::optional<std::string> UnitProgrammer::queryProduct(const std::string& address,
                                                        std::chrono::milliseconds wait,
                                                        bool bootLoaderCounts) {
    // A socket of its own, quietly: this question is the report's, not the
    // sequence's, so a failure here shows no message and changes nothing.
    platform::DatagramSocket socket;
    if (address.empty() || !socket.create(0))
        return std::nullopt;
    const std::string unitKey = statusSenderKey(address);
    std::array<unsigned char, timing::kProbeReplyBuffer> reply{};
    std::chrono::milliseconds elapsed{0};
    for (;;) {
        // A query that did not go out gets no answer, which the wait below
        // already allows for.
        if (elapsed % timing::kIdentifyQueryInterval == std::chrono::milliseconds(0))
            std::ignore = socket.sendTo(address, options_.endpoints.unitUdpPort,
                                        proto::kQuery.data(), proto::kQuery.size());
        if (!pause(timing::kIdentifyReceiveSleep))
            return std::nullopt;
        elapsed += timing::kIdentifyReceiveSleep;
        std::string sender;
        for (long got; (got = socket.receive(reply.data(), reply.size(), &sender)) >= 0;) {
            // Only the unit's own answer tells what it runs.
            if (statusSenderKey(sender) != unitKey)
                continue;
            const auto length = static_cast<std::size_t>(got);
            if (!bootLoaderCounts && proto::isBootLoaderReply(reply.data(), length))
                continue;
            return proto::parseQueryReply(reply.data(), length).product;
        }
        if (elapsed >= wait)
            return std::nullopt;
    }
}

void UnitProgrammer::WaitForBootLoader(const std::string& address) {
    platform::DatagramSocket probe;
    if (CreateUDPSocket(op_, probe, 0) != UdpResult::Done)
        return;
    if (address.empty())
        return;
    std::array<unsigned char, timing::kProbeReplyBuffer> reply{};
    for (int counter = timing::kBootLoaderProbeCounterStart;; --counter) {
        op_.probeSent();
        if (SendUDP(op_, probe, address, options_.endpoints.unitUdpPort, proto::kQuery.data(),
                    proto::kQuery.size()) != UdpResult::Done)
            return;
        if (!pause(timing::kProbeReplySleep))
            return;
        const std::optional<std::size_t> length = ReceiveUDP(probe, reply.data(), reply.size());
        const bool inBootLoader = length && proto::isBootLoaderReply(reply.data(), *length);
        if (inBootLoader || counter == 0)
            return;
    }
}

LentPortRun programWithLentPort(Operator& op, platform::Sleeper& sleeper,
                                platform::Spooler& spooler, EngineOptions options,
                                platform::DatagramSocket& statusPort, bool anySender,
                                const std::string& imagePath, const std::string& target) {
    UnitProgrammer programmer(op, sleeper, spooler, std::move(options));
    programmer.setStatusInboxFactory([&statusPort, anySender](const std::string& unit) {
        return std::make_unique<SocketStatusInbox>(statusPort,
                                                   StatusSenders::unitAt(unit, anySender));
    });
    const ProgramResult result = programmer.ProgramUnit(imagePath, target);
    return {result, programmer.lastRun()};
}

}  // namespace engine
