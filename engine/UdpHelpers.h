#pragma once

#include "engine/Operator.h"
#include "platform/DatagramSocket.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace engine {

// The datagram helpers of the programming sequence. Each reports its own
// failure to the operator and returns a code, never throws.

// Binds a non-blocking datagram socket to the port on all interfaces.
// 0 on success; 1 after "Windows Socket SendTo Error\n<system text>".
[[nodiscard]] int CreateUDPSocket(Operator& op, platform::DatagramSocket& socket,
                                  std::uint16_t port);

// One datagram to the address and port. 0 on success; 3 after
// "Windows Socket SendUDP Error".
[[nodiscard]] int SendUDP(Operator& op, platform::DatagramSocket& socket,
                          const std::string& address, std::uint16_t port, const void* data,
                          std::size_t length);

// One receive that never waits. `length` is the buffer size on entry and the
// byte count on return, -1 when nothing was waiting, the receive failed or the
// datagram was longer than the buffer (then it is dropped). Always returns 0.
int ReceiveUDP(platform::DatagramSocket& socket, void* buffer, long& length);

// The text shown when a datagram socket cannot be created or bound.
std::string socketCreateErrorText(int errorCode);

}  // namespace engine
