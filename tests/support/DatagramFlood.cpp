#include "tests/support/DatagramFlood.h"

#include "platform/DatagramSocket.h"

namespace testing_support {

DatagramFlood::DatagramFlood(std::string fromAddress, std::uint16_t toPort, std::string bytes,
                             std::chrono::microseconds gap, std::chrono::milliseconds limit)
    : from_(std::move(fromAddress)),
      port_(toPort),
      bytes_(std::move(bytes)),
      gap_(gap),
      limit_(limit) {}

DatagramFlood::~DatagramFlood() {
    stop();
}

void DatagramFlood::start() {
    if (running_.exchange(true))
        return;
    thread_ = std::thread([this] {
        platform::DatagramSocket socket;
        if (!socket.create(0, from_))
            return;
        const auto end = std::chrono::steady_clock::now() + limit_;
        while (running_ && std::chrono::steady_clock::now() < end) {
            if (socket.sendTo("127.0.0.1", port_, bytes_.data(), bytes_.size()) >= 0)
                ++sent_;
            std::this_thread::sleep_for(gap_);
        }
    });
}

void DatagramFlood::stop() {
    running_ = false;
    if (thread_.joinable())
        thread_.join();
}

}  // namespace testing_support
