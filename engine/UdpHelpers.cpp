#include "engine/UdpHelpers.h"

#include "platform/ErrorText.h"

namespace engine {

std::string socketCreateErrorText(int errorCode) {
    return "Windows Socket SendTo Error\n" + platform::systemErrorText(errorCode);
}

int CreateUDPSocket(Operator& op, platform::DatagramSocket& socket, std::uint16_t port) {
    if (socket.create(port))
        return 0;
    op.messageBox(socketCreateErrorText(socket.lastError()), BoxIcon::Stop);
    return 1;
}

int SendUDP(Operator& op, platform::DatagramSocket& socket, const std::string& address,
            std::uint16_t port, const void* data, std::size_t length) {
    if (socket.sendTo(address, port, data, length) >= 0)
        return 0;
    op.messageBox("Windows Socket SendUDP Error", BoxIcon::None);
    return 3;
}

int ReceiveUDP(platform::DatagramSocket& socket, void* buffer, long& length) {
    length = socket.isOpen() ? socket.receive(buffer, static_cast<std::size_t>(length)) : -1;
    return 0;
}

}  // namespace engine
