#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "engine/ProgramResult.h"
#include "engine/StatusInbox.h"
#include "engine/Timing.h"
#include "engine/WindowHooks.h"
#include "platform/InputFile.h"
#include "platform/NetworkInterfaces.h"
#include "platform/Sleeper.h"
#include "platform/Spooler.h"
#include "platform/StopCheck.h"
#include "platform/StreamSocket.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace engine {

// The network path is taken when the target starts with four unsigned numbers
// joined by dots; any other target names a print queue. The numbers themselves
// are never used; the text is.
[[nodiscard]] bool readsAsDottedAddress(const std::string& target);

struct EngineOptions {
    Endpoints endpoints;
    platform::StreamTimeouts stream;
    // Asked at every wait of a run (pauses, probes, connects, the stream, the
    // verdict wait); once true, the run ends there with ResultUnconfirmed, a
    // stream in progress reset and a print-queue job cancelled. Empty: every
    // run goes to its end (the window; a batch, whose stop waits for the unit).
    platform::StopCheck stop;
    // How long the verdict wait lasts, in receives kVerdictSleep apart: the
    // units' own 20 s unless a slow unit needs longer.
    std::chrono::milliseconds verdictWait = timing::kVerdictWait;
    // Ask the unit who it is (product and version) before the entry header,
    // and after the verdict wait until it answers as an application again,
    // for at most afterWait; the answers go into UnitRun. For a report that
    // proves what each unit runs; the sequence itself never needs it.
    bool identifyUnit = false;
    std::chrono::milliseconds afterWait = timing::kIdentifyAfterWait;
};

// What the last run did besides giving its result, for front ends that tell
// the operator more than the result.
struct UnitRun {
    ProgramResult result = ResultUnconfirmed;
    std::uint64_t imageBytes = 0;      // the image's length when the run opened it
    std::uint64_t bytesDelivered = 0;  // image bytes the data connection or the queue took
    // The image did not go out whole: a send failed, the image could not be
    // read, or a stop ended its stream or job.
    bool imageCutOff = false;
    bool stopped = false;                // a stop request ended the run early
    std::uint64_t foreignDatagrams = 0;  // status datagrams from other senders, ignored
    // The unit's own status datagrams that arrived before its image
    // connection opened (read by the drain, or thrown away once the image
    // connection was open): stale, never its verdict.
    std::uint64_t staleDatagrams = 0;
    // The verdict wait was reached, and how many datagrams of any sender and
    // size reached the status port during it.
    bool verdictAwaited = false;
    std::uint64_t statusDatagrams = 0;
    // What the image path named instead of a regular file ("a FIFO", ...),
    // when it was refused for that.
    std::string imageNotRegular;
    // The system's error number when the image could not be opened for another
    // reason (it does not exist, it may not be read); 0 otherwise.
    int imageOpenError = 0;
    // This host's end of the data connection to the unit: the source address
    // the routing table chose, and the interface that holds it (empty for a
    // print queue, or when no connection was made).
    std::string sourceAddress;
    std::string interfaceName;
    // With EngineOptions::identifyUnit: the product and version the unit
    // answered before the entry header (its boot loader's "BootLoader" when it
    // was in it), and after the verdict once it answered as an application.
    // Empty when it did not answer in time.
    std::string productBefore;
    std::string productAfter;
};

// Programs one unit: over the network when the target reads as four dotted
// numbers, otherwise through the print queue of that name.
class UnitProgrammer {
public:
    UnitProgrammer(Operator& op, platform::Sleeper& sleeper, platform::Spooler& spooler,
                   EngineOptions options = {});

    // Replaces the run's own status socket, e.g. by a status port bound before
    // any unit was contacted, or a shared port's per-unit inbox. Without one,
    // each run binds the status port itself and takes only its unit's verdict.
    void setStatusInboxFactory(StatusInboxFactory factory) { inboxFactory_ = std::move(factory); }
    // This computer's interfaces as a batch found them, to name the one each
    // unit was reached through; without them each run lists them itself.
    void setKnownInterfaces(std::shared_ptr<const platform::Ipv4Interfaces> interfaces) {
        interfaces_ = std::move(interfaces);
    }

    // The window whose thread the runs block: its wait cursor is shown while a
    // run works, its painting goes on during connects and sends, and one of its
    // events runs per streamed block. Without one, runs show nothing of that.
    void setWindow(WindowHooks& window) { window_ = &window; }

    // The image at imagePath to target, which the boot-loader probes go to as well.
    [[nodiscard]] ProgramResult ProgramUnit(const std::string& imagePath,
                                            const std::string& target);

    // What the last ProgramUnit did.
    const UnitRun& lastRun() const { return run_; }

    // Probes the unit until it answers as boot loader or the probes run out
    // (or a stop is asked for).
    void WaitForBootLoader(const std::string& address);

    const EngineOptions& options() const { return options_; }

private:
    [[nodiscard]] ProgramResult networkPath(const std::string& target, const std::string& imagePath,
                                            platform::InputFile& image, StatusInbox& inbox);
    [[nodiscard]] std::optional<ProgramResult> streamImage(platform::StreamSocket& connection,
                                                           const std::string& imagePath,
                                                           platform::InputFile& image);
    // False, after the operator is told, when target reaches no single unit
    // (0.0.0.0, a broadcast address).
    [[nodiscard]] bool reachesOneUnit(const std::string& target);
    [[nodiscard]] bool drainStatus(StatusInbox& inbox);
    [[nodiscard]] ProgramResult awaitVerdict(StatusInbox& inbox);
    [[nodiscard]] ProgramResult sleepThroughVerdictWait(StatusInbox& inbox,
                                                        platform::WakeCondition& arrival,
                                                        std::int64_t receives);
    // The product field of the unit's own answer to the query, asked every
    // second for at most wait; nothing when no answer that counts came. An
    // answer from the unit's boot loader counts only when bootLoaderCounts.
    [[nodiscard]] std::optional<std::string> queryProduct(const std::string& address,
                                                          std::chrono::milliseconds wait,
                                                          bool bootLoaderCounts);
    // A fresh data connection, created (its outcome is not examined: the
    // connect that follows reports any failure).
    std::unique_ptr<platform::StreamSocket> makeDataConnection();
    // A pause of the schedule; false when a stop request cut it short.
    [[nodiscard]] bool pause(std::chrono::milliseconds duration);
    // True once a stop has been asked for (and remembered for the run).
    [[nodiscard]] bool stopped();
    // The steps of networkPath. Where a step returns an optional, nothing
    // means the run goes on; otherwise it is the run's result.
    [[nodiscard]] std::optional<ProgramResult> sendEntryHeader(const std::string& target);
    [[nodiscard]] std::optional<ProgramResult> openImageConnection(
        const std::string& target, std::unique_ptr<platform::StreamSocket>& connection);
    [[nodiscard]] ProgramResult verdictAfterStream(const std::string& target, StatusInbox& inbox);
    WindowHooks& window() { return window_ != nullptr ? *window_ : noWindow_; }

    Operator& op_;
    WindowHooks* window_ = nullptr;
    NoWindow noWindow_;
    platform::Sleeper& sleeper_;
    platform::Spooler& spooler_;
    EngineOptions options_;
    StatusInboxFactory inboxFactory_;
    std::shared_ptr<const platform::Ipv4Interfaces> interfaces_;
    UnitRun run_;
    std::array<unsigned char, timing::kBlockSize> buffer_{};
};

// A run whose verdict comes to a status port bound before any unit was
// contacted, lent to the run: only the unit's own address counts there, or
// any sender with anySender.
struct LentPortRun {
    ProgramResult result;
    UnitRun run;
};
[[nodiscard]] LentPortRun programWithLentPort(Operator& op, platform::Sleeper& sleeper,
                                              platform::Spooler& spooler, EngineOptions options,
                                              platform::DatagramSocket& statusPort, bool anySender,
                                              const std::string& imagePath,
                                              const std::string& target);

}  // namespace engine
