#pragma once

#include <string>

namespace platform {

// The system's own message for an error number, ending in a line break, as the
// operator sees it after the fixed text of a failure message. Error numbers are
// the system's own kind: errno values on POSIX, Win32 and Winsock codes on
// Windows; each backend only ever hands out its own.
std::string systemErrorText(int errorCode);
// The same message without the line break, for a message that goes on after it.
std::string systemErrorMessage(int errorCode);

// The error number the calling thread's last failed system call left.
[[nodiscard]] int lastSystemError();
// True for the error of a call that a signal cut short before it did anything:
// such a call is simply made again.
[[nodiscard]] bool isInterruption(int errorCode);

// The few errors portable code tells apart, as this system numbers them.
namespace errors {
extern const int kMessageTooLong;     // a datagram longer than the receive buffer
extern const int kCancelled;          // a wait ended by a stop request
extern const int kTimedOut;           // a wait gave up
extern const int kConnectionRefused;  // nothing listens at the port
extern const int kInvalidArgument;    // a value no call could take (an unreadable address)
extern const int kAddressInUse;       // a port another socket holds
extern const int kAccessDenied;       // the system forbade it (a firewall's rule, a
                                      // broadcast without permission)
extern const int kIsDirectory;        // a folder where a file was expected
extern const int kNotFound;           // no such file
}  // namespace errors

}  // namespace platform
