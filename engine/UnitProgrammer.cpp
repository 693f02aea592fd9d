#include "engine/UnitProgrammer.h"

#include "engine/PrintQueueDelivery.h"
#include "engine/Protocol.h"
#include "engine/UdpHelpers.h"
#include "platform/ErrorText.h"
#include "platform/InputFile.h"

#include <cstdio>
#include <memory>

bool readsAsDottedAddress(const std::string& target) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return std::sscanf(target.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4;
}

namespace {

// Releases the wait cursor levels a run has taken, on whatever path it leaves.
class WaitCursorLevels {
public:
    explicit WaitCursorLevels(Operator& op) : op_(op) {}
    ~WaitCursorLevels() {
        while (levels_-- > 0)
            op_.endWaitCursor();
    }
    void raise() {
        op_.beginWaitCursor();
        ++levels_;
    }

private:
    Operator& op_;
    int levels_ = 0;
};

}  // namespace

UnitProgrammer::UnitProgrammer(Operator& op, platform::Sleeper& sleeper, platform::Spooler& spooler,
                               EngineOptions options)
    : op_(op), sleeper_(sleeper), spooler_(spooler), options_(std::move(options)) {
    inboxFactory_ = [port = options_.endpoints.statusPort](const std::string&) {
        return std::make_unique<SocketStatusInbox>(port);
    };
}

platform::StreamSocket UnitProgrammer::makeDataConnection() {
    return platform::StreamSocket(options_.stream, [this] { op_.keepPainted(); });
}

ProgramResult UnitProgrammer::ProgramUnit(const std::string& imagePath, const std::string& target,
                                          const std::string& probeAddress) {
    WaitCursorLevels cursor(op_);
    cursor.raise();
    op_.phaseChanged(UnitPhase::Preparing);
    op_.setProgressPosition(0);

    std::unique_ptr<StatusInbox> inbox = inboxFactory_(target);
    int inboxError = 0;
    if (!inbox->open(&inboxError))
        op_.messageBox(socketCreateErrorText(inboxError), mb::kIconStop);

    platform::InputFile image;
    if (!image.open(imagePath)) {
        inbox->close();
        op_.phaseChanged(UnitPhase::Finished);
        return ResultFileNotFound;
    }

    ProgramResult result;
    if (readsAsDottedAddress(target)) {
        result = networkPath(target, probeAddress, imagePath, image, *inbox);
    } else {
        result =
            DeliverToPrintQueue(op_, spooler_, target, image, proto::entryHeaderForPrintQueue(),
                                buffer_.data(), buffer_.size());
    }
    image.close();
    inbox->close();
    op_.phaseChanged(UnitPhase::Finished);
    return result;
}

ProgramResult UnitProgrammer::networkPath(const std::string& target,
                                          const std::string& probeAddress,
                                          const std::string& imagePath, platform::InputFile& image,
                                          StatusInbox& inbox) {
    const std::uint16_t dataPort = options_.endpoints.unitTcpPort;
    const std::string header = proto::entryHeaderForNetwork();

    // A first connection, dropped at once, wakes the unit's data port; units
    // expect it before the one that carries the header.
    op_.phaseChanged(UnitPhase::BootLoaderEntry);
    {
        auto wake = makeDataConnection();
        wake.create();
        op_.connectionAttempted(wake.connect(target, dataPort));
    }
    {
        auto connection = makeDataConnection();
        connection.create();
        const bool connected = connection.connect(target, dataPort);
        op_.connectionAttempted(connected);
        if (!connected) {
            const int error = connection.lastError();
            op_.messageBox("Error #" + std::to_string(error) + ": IP Address " + target + "\n" +
                               platform::systemErrorText(error) + " (" + std::to_string(error) +
                               ")",
                           mb::kIconStop);
            return ResultSocketError;
        }
        connection.sendAll(header.data(), header.size());
    }

    // Whatever reached the status port before the unit saw the header is stale.
    op_.phaseChanged(UnitPhase::Draining);
    drainStatus(inbox);

    op_.phaseChanged(UnitPhase::BootLoaderWait);
    WaitForBootLoader(probeAddress);
    sleeper_.sleepFor(timing::kPauseBetweenBootLoaderWaits);
    WaitForBootLoader(probeAddress);

    op_.phaseChanged(UnitPhase::ImageConnection);
    auto connection = makeDataConnection();
    connection.create();
    const std::uint64_t imageLength = image.size();
    op_.setProgressRange(imageLength);
    sleeper_.sleepFor(timing::kPauseBeforeImageConnection);
    bool connected = false;
    for (int attempt = 0; attempt < timing::kImageConnectionAttempts && !connected; ++attempt) {
        connected = connection.connect(target, dataPort);
        op_.connectionAttempted(connected);
    }
    if (!connected) {
        op_.messageBox("Error: IP Address " + target + "\n" +
                           platform::systemErrorText(connection.lastError()),
                       mb::kIconStop);
        return ResultSocketError;
    }

    op_.phaseChanged(UnitPhase::Streaming);
    std::uint64_t transferred = 0;
    for (;;) {
        const long got = image.read(buffer_.data(), buffer_.size());
        if (got < 0) {
            // The unit must not take a cut-off image for a whole one: drop the
            // connection hard instead of closing it in order.
            const int error = image.lastError();
            connection.abort();
            op_.messageBox("Could not read the image file " + imagePath + "\n" +
                               platform::systemErrorText(error),
                           mb::kIconStop);
            return ResultFileNotFound;
        }
        if (got == 0)
            break;
        // A failed send is not examined: the stream runs to the end of the
        // file and the unit's verdict (or its absence) decides.
        connection.sendAll(buffer_.data(), static_cast<std::size_t>(got));
        op_.dispatchPendingEvent();
        transferred += static_cast<std::uint64_t>(got);
        op_.setProgressPosition(transferred);
    }
    connection.close();
    image.close();

    WaitCursorLevels verdictCursor(op_);
    verdictCursor.raise();
    op_.phaseChanged(UnitPhase::VerdictWait);
    return awaitVerdict(inbox);
}

void UnitProgrammer::drainStatus(StatusInbox& inbox) {
    unsigned char discard[timing::kStatusDatagramSize];
    for (;;) {
        sleeper_.sleepFor(timing::kDrainSleep);
        if (inbox.receive(discard, sizeof discard) < 1)
            return;
    }
}

ProgramResult UnitProgrammer::awaitVerdict(StatusInbox& inbox) {
    unsigned char status[timing::kStatusDatagramSize];
    for (int i = 0; i < timing::kVerdictReceives; ++i) {
        sleeper_.sleepFor(timing::kVerdictSleep);
        const long got = inbox.receive(status, sizeof status);
        if (got >= 0)
            return resultFromStatus(proto::decodeStatus(status, static_cast<std::size_t>(got)));
    }
    return ResultUnconfirmed;
}

void UnitProgrammer::WaitForBootLoader(const std::string& address) {
    platform::DatagramSocket probe;
    if (CreateUDPSocket(op_, probe, 0) != 0)
        return;
    if (address.empty())
        return;
    std::array<unsigned char, timing::kProbeReplyBuffer> reply{};
    for (int counter = timing::kBootLoaderProbeCounterStart;; --counter) {
        op_.probeSent();
        if (SendUDP(op_, probe, address, options_.endpoints.unitUdpPort, proto::kQuery.data(),
                    proto::kQuery.size()) != 0)
            return;
        sleeper_.sleepFor(timing::kProbeReplySleep);
        long length = static_cast<long>(reply.size());
        ReceiveUDP(probe, reply.data(), length);
        const bool inBootLoader =
            length >= 0 && proto::isBootLoaderReply(reply.data(), static_cast<std::size_t>(length));
        if (inBootLoader || counter == 0)
            return;
    }
}
