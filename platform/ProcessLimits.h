#pragma once

#include <cstdint>

namespace platform {

// Raises this process's limit on open descriptors (files and sockets) toward
// wanted, as far as its hard limit lets a process raise its own, and returns
// the limit in force afterwards. Never lowers it. A system with no such limit
// per process returns wanted.
std::uint64_t raiseOpenFileLimit(std::uint64_t wanted);

}  // namespace platform
