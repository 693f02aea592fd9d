#include "platform/ProcessLimits.h"

namespace platform {

// Windows limits handles per process only by memory (about 16 million).
std::uint64_t raiseOpenFileLimit(std::uint64_t wanted) {
    return wanted;
}

}  // namespace platform
