#include "engine/StatusInbox.h"

#include "platform/ErrorText.h"

#include "platform/SocketAddress.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace engine {

namespace {

// A stranger's flood is read past within one receive, but never without end:
// a sender faster than the reader must not hold the run in one receive.
constexpr int kForeignPerReceive = 1024;
// Stale datagrams waiting on a lent socket are few (the kernel's queue is
// small); the bound only guards against a sender that never stops.
constexpr int kStaleDiscardLimit = 4096;

}  // namespace

std::string statusSenderKey(const std::string& target) {
    if (auto address = platform::ipv4AsReached(target))
        return platform::ipv4Text(*address);
    return target;
}

SocketStatusInbox::SocketStatusInbox(std::uint16_t port, StatusSenders senders)
    : port_(port), senders_(std::move(senders)) {}

SocketStatusInbox::SocketStatusInbox(platform::DatagramSocket& bound, StatusSenders senders)
    : lent_(&bound), senders_(std::move(senders)) {}

bool SocketStatusInbox::open(int* errorCode) {
    foreign_ = 0;
    arrived_ = 0;
    if (lent_) {
        open_ = lent_->isOpen();
        unsigned char stale[1];
        for (int i = 0; open_ && i < kStaleDiscardLimit; ++i) {
            if (lent_->receive(stale, sizeof stale) < 0 &&
                lent_->lastError() != platform::errors::kMessageTooLong)
                break;
        }
        return true;
    }
    open_ = own_.create(port_);
    if (!open_ && errorCode)
        *errorCode = own_.lastError();
    return open_;
}

long SocketStatusInbox::receive(void* buffer, std::size_t length) {
    if (!open_)
        return -1;
    platform::DatagramSocket& s = socket();
    // Read into a buffer of our own: a stranger's datagram must not leave its
    // bytes in the caller's.
    std::vector<unsigned char> datagram(length);
    std::string sender;
    for (int foreign = 0; foreign < kForeignPerReceive; ++foreign) {
        const long got = s.receive(datagram.data(), datagram.size(), &sender);
        if (got < 0 && s.lastError() != platform::errors::kMessageTooLong)
            return -1;  // nothing waiting
        ++arrived_;
        if (!senders_.accepts(sender)) {
            ++foreign_;
            continue;
        }
        if (got > 0)
            std::memcpy(buffer, datagram.data(), static_cast<std::size_t>(got));
        return got;  // -1 for the unit's own oversize datagram: dropped whole
    }
    return -1;
}

std::uint64_t SocketStatusInbox::discardWaiting(std::chrono::milliseconds limit) {
    if (!open_)
        return 0;
    platform::DatagramSocket& s = socket();
    const auto end = std::chrono::steady_clock::now() + limit;
    // Only who sent it matters: a longer datagram is dropped whole by the
    // receive, and its sender told all the same.
    unsigned char datagram[4];
    std::string sender;
    std::uint64_t own = 0;
    while (std::chrono::steady_clock::now() < end) {
        const long got = s.receive(datagram, sizeof datagram, &sender);
        if (got < 0 && s.lastError() != platform::errors::kMessageTooLong)
            break;  // nothing waiting any more
        ++arrived_;
        if (senders_.accepts(sender))
            ++own;
        else
            ++foreign_;
    }
    return own;
}

void SocketStatusInbox::close() {
    if (!lent_)
        own_.close();
    open_ = false;
}

}  // namespace engine
