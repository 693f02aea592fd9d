#pragma once

#include <string>

namespace platform {

// The system's own message for an error number, ending in a line break, as the
// operator sees it after the fixed text of a failure message.
std::string systemErrorText(int errorCode);

}  // namespace platform
