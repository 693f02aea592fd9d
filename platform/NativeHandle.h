#pragma once

#include <cstdint>

namespace platform {

// What a platform class holds of the system's own object (a file descriptor on
// POSIX; a HANDLE or SOCKET, both pointer-sized, on Windows), without naming a
// system type. -1 means none on both: it is also Windows' INVALID_HANDLE_VALUE
// and INVALID_SOCKET.
#ifdef _WIN32
using NativeHandle = std::intptr_t;
#else
using NativeHandle = int;
#endif
inline constexpr NativeHandle kNoHandle = -1;

}  // namespace platform
