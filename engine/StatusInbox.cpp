#include "engine/StatusInbox.h"

bool SocketStatusInbox::open(int* errorCode) {
    if (socket_.create(port_))
        return true;
    if (errorCode)
        *errorCode = socket_.lastError();
    return false;
}

long SocketStatusInbox::receive(void* buffer, std::size_t length) {
    return socket_.isOpen() ? socket_.receive(buffer, length) : -1;
}
