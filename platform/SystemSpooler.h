#pragma once

#include "platform/Spooler.h"

#include <memory>
#include <string>

namespace platform {

// This computer's own print spooler: CUPS on POSIX systems, the print spooler
// service (winspool) on Windows.
[[nodiscard]] std::unique_ptr<Spooler> systemSpooler();

// Codes open() of the system spooler sets, as that spooler numbers them.
namespace spooler_errors {
extern const int kNoSuchQueue;        // no queue of that name
extern const int kServerUnreachable;  // the spooler itself cannot be reached
}  // namespace spooler_errors

// What the operator does to start the spooler when it cannot be reached.
std::string spoolerStartAdvice();

}  // namespace platform
