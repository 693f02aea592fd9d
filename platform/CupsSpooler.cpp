#include "platform/CupsSpooler.h"

// Placeholder until the print-queue delivery lands: no queues, every open fails.
#include <cerrno>

namespace platform {

std::vector<std::string> CupsSpooler::queueNames() {
    return {};
}

std::unique_ptr<PrintQueue> CupsSpooler::open(const std::string&, int* errorCode) {
    if (errorCode)
        *errorCode = ENOENT;
    return nullptr;
}

}  // namespace platform
