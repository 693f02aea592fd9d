#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace testing_support {

// Sends the same datagram again and again from a loopback address to a port on
// 127.0.0.1, on a thread of its own, from start() until stop() or the time
// limit: a neighbour that floods the host's status port.
class DatagramFlood {
public:
    DatagramFlood(std::string fromAddress, std::uint16_t toPort, std::string bytes,
                  std::chrono::microseconds gap = std::chrono::microseconds(200),
                  std::chrono::milliseconds limit = std::chrono::seconds(5));
    ~DatagramFlood();
    DatagramFlood(const DatagramFlood&) = delete;
    DatagramFlood& operator=(const DatagramFlood&) = delete;

    void start();
    void stop();
    std::uint64_t sent() const { return sent_.load(); }
    const std::string& from() const { return from_; }

private:
    std::string from_;
    std::uint16_t port_;
    std::string bytes_;
    std::chrono::microseconds gap_;
    std::chrono::milliseconds limit_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::thread thread_;
};

}  // namespace testing_support
