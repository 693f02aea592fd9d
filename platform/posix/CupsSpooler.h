#pragma once

#include "platform/Spooler.h"

namespace platform {

// The local CUPS server through libcups, reached where cupsServer() points
// (CUPS_SERVER, client.conf, or the default socket). Only the server's own
// queues are ever seen: nothing here looks for printers on the network.
//
// Error codes from open() are the IPP status codes the server answered with:
//   1030 (0x0406, client-error-not-found)        no queue of that name, or a
//                                                 name no queue can have
//   1283 (0x0503, server-error-service-unavailable) the server cannot be reached
//   any other IPP status the server gives for Get-Printer-Attributes otherwise
//   (e.g. 1025 / 0x0401 client-error-forbidden).
class CupsSpooler final : public Spooler {
public:
    std::vector<std::string> queueNames() override;
    // Nothing when the server cannot be reached or refuses CUPS-Get-Printers;
    // a server without queues (it answers client-error-not-found) lists none.
    std::optional<std::vector<std::string>> listQueues(std::string* problem) override;
    [[nodiscard]] std::unique_ptr<PrintQueue> open(const std::string& name,
                                                   int* errorCode) override;

    static constexpr int kErrorNoSuchQueue = 0x0406;
    static constexpr int kErrorServerUnreachable = 0x0503;
};

}  // namespace platform
