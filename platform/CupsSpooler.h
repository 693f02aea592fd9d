#pragma once

#include "platform/Spooler.h"

namespace platform {

// The system spooler through libcups. Never probes the network for printers.
class CupsSpooler final : public Spooler {
public:
    std::vector<std::string> queueNames() override;
    std::unique_ptr<PrintQueue> open(const std::string& name, int* errorCode) override;
};

}  // namespace platform
