#include "engine/UdpHelpers.h"

#include "platform/ErrorText.h"

namespace engine {

std::string socketCreateErrorText(int errorCode) {
    return "Windows Socket SendTo Error\n" + platform::systemErrorText(errorCode);
}

UdpResult CreateUDPSocket(Operator& op, platform::DatagramSocket& socket, std::uint16_t port) {
    if (socket.create(port))
        return UdpResult::Done;
    op.messageBox(socketCreateErrorText(socket.lastError()), BoxIcon::Stop);
    return UdpResult::NotCreated;
}

UdpResult SendUDP(Operator& op, platform::DatagramSocket& socket, const std::string& address,
                  std::uint16_t port, const void* data, std::size_t length) {
    if (socket.sendTo(address, port, data, length) >= 0)
        return UdpResult::Done;
    op.messageBox("Windows Socket SendUDP Error", BoxIcon::None);
    return UdpResult::NotSent;
}

std::optional<std::size_t> ReceiveUDP(platform::DatagramSocket& socket, void* buffer,
                                      std::size_t capacity) {
    if (!socket.isOpen())
        return std::nullopt;
    const long got = socket.receive(buffer, capacity);
    if (got < 0)
        return std::nullopt;
    return static_cast<std::size_t>(got);
}

}  // namespace engine
