#include "platform/ProcessLimits.h"

#include <sys/resource.h>

#include <algorithm>

namespace platform {

std::uint64_t raiseOpenFileLimit(std::uint64_t wanted) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0)
        return wanted;
    if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= wanted)
        return files.rlim_cur == RLIM_INFINITY ? wanted : files.rlim_cur;
    const rlim_t before = files.rlim_cur;
    files.rlim_cur = files.rlim_max == RLIM_INFINITY
                         ? static_cast<rlim_t>(wanted)
                         : std::min(files.rlim_max, static_cast<rlim_t>(wanted));
    if (::setrlimit(RLIMIT_NOFILE, &files) != 0)
        return before;
    return files.rlim_cur;
}

}  // namespace platform
