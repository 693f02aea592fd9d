#include "fleet/SharedStatusPort.h"

#include "platform/ErrorText.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace fleet {

namespace {

// A unit that keeps sending cannot make its queue grow without bound.
constexpr std::size_t kMaxQueuedPerUnit = 256;
// Anything larger than a status datagram is dropped by the reader of the
// queue anyway; keep enough to know it was oversize.
constexpr std::size_t kReadBuffer = 2048;
// How long the reader sleeps on a quiet port before it looks whether it is
// still wanted; a stop wakes it at once anyway.
constexpr std::chrono::milliseconds kQuietLook{100};
// The kernel charges about 830 bytes of its own bookkeeping for each small
// datagram waiting on a loopback or Ethernet socket: 4 KiB a unit in flight
// holds its verdict and a few repeats even if every unit answers in the same
// instant, and 1 MiB beside them takes a neighbour's burst.
constexpr int kQueuePerUnit = 4096;
constexpr int kQueueBeside = 1 << 20;
// Past this the port would only hold datagrams nobody waits for.
constexpr int kQueueMost = 256 << 20;

}  // namespace

class SharedInbox final : public engine::StatusInbox {
public:
    SharedInbox(SharedStatusPort& port, std::string key) : port_(port), key_(std::move(key)) {}
    ~SharedInbox() override { close(); }
    // When the shared port could not be bound, the batch has told the operator
    // once; each unit then runs on without a verdict, as a lone run would.
    bool open(int*) override {
        if (!port_.bound_)
            return true;
        queue_ = port_.subscribe(key_);
        foreignAtOpen_ = port_.foreignDatagrams();
        return true;
    }
    long receive(void* buffer, std::size_t length) override {
        return queue_ ? SharedStatusPort::take(*queue_, buffer, length) : -1;
    }
    // The reader thread has filed what arrived so far: emptying the unit's
    // queue throws it away at once, whatever the rate.
    std::uint64_t discardWaiting(std::chrono::milliseconds) override {
        return queue_ ? SharedStatusPort::discardQueued(*queue_) : 0;
    }
    // The whole port's count: a unit's own verdict and every other datagram
    // that got through to this computer alike.
    std::uint64_t datagramsArrived() const override { return port_.arrivedDatagrams(); }
    void close() override {
        if (queue_) {
            foreignWhileOpen_ = port_.foreignDatagrams() - foreignAtOpen_;
            port_.unsubscribe(key_);
            queue_.reset();
        }
    }
    // Strangers' datagrams that reached the shared port while this unit was
    // in flight: nobody's verdict, but what this unit's run had to read past.
    std::uint64_t foreignDatagrams() const override {
        return queue_ ? port_.foreignDatagrams() - foreignAtOpen_ : foreignWhileOpen_;
    }
    platform::WakeCondition* arrival() override { return queue_.get(); }

private:
    SharedStatusPort& port_;
    std::string key_;
    std::shared_ptr<SharedStatusPort::Queue> queue_;  // while subscribed
    std::uint64_t foreignAtOpen_ = 0;
    std::uint64_t foreignWhileOpen_ = 0;
};

SharedStatusPort::SharedStatusPort(std::uint16_t port) : port_(port) {}

SharedStatusPort::~SharedStatusPort() {
    stop();
}

std::string SharedStatusPort::addressKey(const std::string& target) {
    return engine::statusSenderKey(target);
}

int SharedStatusPort::receiveBufferFor(std::size_t unitsAtOnce) {
    const std::size_t units =
        std::min<std::size_t>(unitsAtOnce, (kQueueMost - kQueueBeside) / kQueuePerUnit);
    return kQueueBeside + static_cast<int>(units) * kQueuePerUnit;
}

bool SharedStatusPort::start(int* errorCode, std::size_t unitsAtOnce) {
    if (!socket_.create(port_)) {
        if (errorCode)
            *errorCode = socket_.lastError();
        return false;
    }
    // As large as the system grants, quietly smaller where it refuses: the
    // drops it would then cause are counted and told.
    receiveBuffer_ = socket_.raiseReceiveBuffer(receiveBufferFor(unitsAtOnce));
    countsDrops_ = socket_.setCountDrops(true);
    bound_ = true;
    // A wait of its own for each start: a stop's wake-up ends every later wait.
    wait_.emplace();
    running_ = true;
    try {
        reader_ = std::thread([this] { readLoop(); });
    } catch (const std::system_error& error) {
        // Out of threads (a process limit): no verdict could be heard.
        running_ = false;
        wait_.reset();
        socket_.close();
        bound_ = false;
        if (errorCode)
            *errorCode = error.code().value();
        return false;
    }
    return true;
}

void SharedStatusPort::stop() {
    if (running_.exchange(false)) {
        wait_->wake();
        reader_.join();
        noteDrops();
    }
    wait_.reset();
    socket_.close();
    bound_ = false;
}

void SharedStatusPort::readLoop() {
    std::string buffer(kReadBuffer + 1, '\0');
    while (running_) {
        if (wait_->untilReadable(socket_, kQuietLook) !=
            platform::WakeableWait::Outcome::Readable) {
            noteDrops();
            continue;
        }
        for (;;) {
            std::string sender;
            const long got = socket_.receive(buffer.data(), buffer.size(), &sender);
            if (got >= 0 || socket_.lastError() == platform::errors::kMessageTooLong)
                ++arrived_;
            if (got < 0) {
                if (socket_.lastError() == platform::errors::kMessageTooLong)
                    ++foreign_;  // larger than any status: nobody's verdict
                else
                    break;
                continue;
            }
            file(sender, buffer.data(), static_cast<std::size_t>(got));
        }
        noteDrops();
    }
}

void SharedStatusPort::file(const std::string& sender, const char* data, std::size_t length) {
    // The port's lock is held throughout, so a unit that closes its inbox
    // meanwhile cannot be handed a datagram it will never read.
    std::lock_guard lock(mutex_);
    const auto found = queues_.find(sender);
    if (found == queues_.end()) {
        ++foreign_;
        return;
    }
    ++attributed_;
    Queue& queue = *found->second;
    {
        std::lock_guard queueLock(queue.mutex);
        if (queue.datagrams.size() >= kMaxQueuedPerUnit) {
            ++queue.overflowed;
            return;
        }
        queue.datagrams.emplace_back(data, length);
        queue.waiting.store(queue.datagrams.size(), std::memory_order_release);
    }
    // Woken with the queue's lock free, so the unit takes it at once rather
    // than waking only to wait for this thread to let go of it.
    queue.filed.notify_all();
}

void SharedStatusPort::noteDrops() {
    // Drops at the end of a burst come with no later datagram to tell of them,
    // so the kernel is asked each time the queue has been emptied.
    socket_.refreshDropCount();
    dropped_ = socket_.droppedDatagrams();
}

std::unique_ptr<engine::StatusInbox> SharedStatusPort::inboxFor(const std::string& target) {
    return std::make_unique<SharedInbox>(*this, addressKey(target));
}

std::shared_ptr<SharedStatusPort::Queue> SharedStatusPort::subscribe(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto& queue = queues_[key];
    if (!queue)
        queue = std::make_shared<Queue>();
    ++queue->users;
    return queue;
}

void SharedStatusPort::unsubscribe(const std::string& key) {
    std::lock_guard lock(mutex_);
    auto queue = queues_.find(key);
    if (queue != queues_.end() && --queue->second->users <= 0)
        queues_.erase(queue);
}

bool SharedStatusPort::Queue::waitFor(std::chrono::nanoseconds duration) {
    if (met())
        return true;
    std::unique_lock lock(mutex);
    return filed.wait_for(lock, duration, [this] { return !datagrams.empty(); });
}

long SharedStatusPort::take(Queue& queue, void* buffer, std::size_t length) {
    if (queue.waiting.load(std::memory_order_acquire) == 0)
        return -1;
    std::lock_guard lock(queue.mutex);
    if (queue.datagrams.empty())
        return -1;
    std::string datagram = std::move(queue.datagrams.front());
    queue.datagrams.pop_front();
    queue.waiting.store(queue.datagrams.size(), std::memory_order_release);
    if (datagram.size() > length)
        return -1;  // dropped whole, as the socket itself would
    std::memcpy(buffer, datagram.data(), datagram.size());
    return static_cast<long>(datagram.size());
}

std::uint64_t SharedStatusPort::discardQueued(Queue& queue) {
    std::lock_guard lock(queue.mutex);
    const std::uint64_t discarded = queue.datagrams.size() + queue.overflowed;
    queue.datagrams.clear();
    queue.overflowed = 0;
    queue.waiting.store(0, std::memory_order_release);
    return discarded;
}

}  // namespace fleet
