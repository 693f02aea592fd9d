#pragma once

#include <string>

namespace platform {

// The system's own message for an error number, ending in a line break, as the
// operator sees it after the fixed text of a failure message.
std::string systemErrorText(int errorCode);
// The same message without the line break, for a message that goes on after it.
std::string systemErrorMessage(int errorCode);

// The error number the calling thread's last failed system call left.
[[nodiscard]] int lastSystemError();
// True for the error of a call that a signal cut short before it did anything:
// such a call is simply made again.
[[nodiscard]] bool isInterruption(int errorCode);

}  // namespace platform
