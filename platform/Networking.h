#pragma once

namespace platform {

// Readies the system's sockets for this process; false when they cannot be
// used at all. Some systems need this once before the first socket (Windows
// Sockets); elsewhere it has nothing to do. Every socket class calls it
// itself, so a program calls it only to say early that networking is missing.
[[nodiscard]] bool startNetworking();

}  // namespace platform
