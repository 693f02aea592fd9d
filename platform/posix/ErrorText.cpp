#include "platform/ErrorText.h"

#include <cerrno>
#include <system_error>

namespace platform {

std::string systemErrorText(int errorCode) {
    return systemErrorMessage(errorCode) + "\n";
}

std::string systemErrorMessage(int errorCode) {
    return std::system_category().message(errorCode);
}

int lastSystemError() {
    return errno;
}

bool isInterruption(int errorCode) {
    return errorCode == EINTR;
}

}  // namespace platform

namespace platform::errors {
const int kMessageTooLong = EMSGSIZE;
const int kCancelled = ECANCELED;
const int kTimedOut = ETIMEDOUT;
const int kConnectionRefused = ECONNREFUSED;
const int kInvalidArgument = EINVAL;
const int kAddressInUse = EADDRINUSE;
const int kAccessDenied = EACCES;
const int kIsDirectory = EISDIR;
const int kNotFound = ENOENT;
}  // namespace platform::errors
