#include "platform/ErrorText.h"

#include <system_error>

namespace platform {

std::string systemErrorText(int errorCode) {
    return std::system_category().message(errorCode) + "\n";
}

}  // namespace platform
