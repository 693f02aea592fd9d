#include "platform/SystemSpooler.h"

#include "platform/posix/CupsSpooler.h"

namespace platform {

std::unique_ptr<Spooler> systemSpooler() {
    return std::make_unique<CupsSpooler>();
}

namespace spooler_errors {
const int kNoSuchQueue = CupsSpooler::kErrorNoSuchQueue;
const int kServerUnreachable = CupsSpooler::kErrorServerUnreachable;
}  // namespace spooler_errors

std::string spoolerStartAdvice() {
    return "start it (systemctl start cups)";
}

}  // namespace platform
