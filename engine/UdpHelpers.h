#pragma once

#include "engine/Operator.h"
#include "platform/DatagramSocket.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace engine {

// The datagram helpers of the programming sequence. Each reports its own
// failure to the operator and returns what happened, never throws.

// How a helper that can fail ended; a failure has been told to the operator.
enum class UdpResult {
    Done,
    NotCreated,  // the socket could not be created or bound
    NotSent,     // the datagram could not be sent
};

// Binds a non-blocking datagram socket to the port on all interfaces: Done, or
// NotCreated after "Windows Socket SendTo Error\n<system text>".
[[nodiscard]] UdpResult CreateUDPSocket(Operator& op, platform::DatagramSocket& socket,
                                        std::uint16_t port);

// One datagram to the address and port: Done, or NotSent after "Windows Socket
// SendUDP Error".
[[nodiscard]] UdpResult SendUDP(Operator& op, platform::DatagramSocket& socket,
                                const std::string& address, std::uint16_t port, const void* data,
                                std::size_t length);

// One receive that never waits: the datagram's byte count, or nothing when
// nothing was waiting, the receive failed or the datagram was longer than the
// buffer's capacity (then it is dropped).
[[nodiscard]] std::optional<std::size_t> ReceiveUDP(platform::DatagramSocket& socket, void* buffer,
                                                    std::size_t capacity);

// The text shown when a datagram socket cannot be created or bound.
std::string socketCreateErrorText(int errorCode);

}  // namespace engine
