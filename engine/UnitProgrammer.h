#pragma once

#include "engine/Endpoints.h"
#include "engine/Operator.h"
#include "engine/ProgramResult.h"
#include "engine/StatusInbox.h"
#include "engine/Timing.h"
#include "platform/InputFile.h"
#include "platform/Sleeper.h"
#include "platform/Spooler.h"
#include "platform/StreamSocket.h"

#include <array>
#include <string>

// The network path is taken when the target starts with four unsigned numbers
// joined by dots; any other target names a print queue. The numbers themselves
// are never used; the text is.
bool readsAsDottedAddress(const std::string& target);

struct EngineOptions {
    Endpoints endpoints;
    platform::StreamTimeouts stream;
};

// Programs one unit: over the network when the target reads as four dotted
// numbers, otherwise through the print queue of that name.
class UnitProgrammer {
public:
    UnitProgrammer(Operator& op, platform::Sleeper& sleeper, platform::Spooler& spooler,
                   EngineOptions options = {});

    // Replaces the private status socket, e.g. by a shared port's per-unit inbox.
    void setStatusInboxFactory(StatusInboxFactory factory) { inboxFactory_ = std::move(factory); }

    // The image at imagePath to target; the boot-loader probes go to probeAddress,
    // which every caller sets to the same text as the target.
    ProgramResult ProgramUnit(const std::string& imagePath, const std::string& target,
                              const std::string& probeAddress);
    ProgramResult ProgramUnit(const std::string& imagePath, const std::string& target) {
        return ProgramUnit(imagePath, target, target);
    }

    // Probes the unit until it answers as boot loader or the probes run out.
    void WaitForBootLoader(const std::string& address);

    const EngineOptions& options() const { return options_; }

private:
    ProgramResult networkPath(const std::string& target, const std::string& probeAddress,
                              const std::string& imagePath, platform::InputFile& image,
                              StatusInbox& inbox);
    void drainStatus(StatusInbox& inbox);
    ProgramResult awaitVerdict(StatusInbox& inbox);
    platform::StreamSocket makeDataConnection();

    Operator& op_;
    platform::Sleeper& sleeper_;
    platform::Spooler& spooler_;
    EngineOptions options_;
    StatusInboxFactory inboxFactory_;
    std::array<unsigned char, timing::kBlockSize> buffer_{};
};
