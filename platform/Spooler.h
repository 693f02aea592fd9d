#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// What a queue is doing and whether it takes jobs.
struct QueueState {
    enum class Activity { Idle, Processing, Stopped };
    Activity activity = Activity::Idle;
    bool acceptingJobs = true;
    std::string message;  // the spooler's own words on the state, often empty
};

// One open print queue. Each call mirrors one spooler operation and reports
// success; a queue is closed exactly once, by close() or by its destructor.
class PrintQueue {
public:
    virtual ~PrintQueue() = default;
    // The queue's port, e.g. "FILE:"; nothing when the queue's details cannot be read.
    [[nodiscard]] virtual std::optional<std::string> portName() = 0;
    // Its state; nothing when the spooler does not tell.
    [[nodiscard]] virtual std::optional<QueueState> state() { return std::nullopt; }
    [[nodiscard]] virtual bool startDocument(const std::string& documentName,
                                             const std::string& dataType) = 0;
    [[nodiscard]] virtual bool startPage() = 0;
    [[nodiscard]] virtual bool write(const void* data, std::size_t length) = 0;
    [[nodiscard]] virtual bool endPage() = 0;
    [[nodiscard]] virtual bool endDocument() = 0;
    // Withdraws the document in progress: its job is cancelled, nothing of it
    // reaches the port, and the queue is ready for the next document.
    [[nodiscard]] virtual bool abortDocument() = 0;
    virtual void close() = 0;
};

class Spooler {
public:
    virtual ~Spooler() = default;
    // Queue names in the spooler's own order; empty when there are none or the
    // spooler cannot be reached.
    virtual std::vector<std::string> queueNames() = 0;
    // The same names, or nothing with *problem saying what failed when the
    // spooler could not be asked (not reached, or it refused the question); a
    // spooler that holds no queues answers an empty list.
    virtual std::optional<std::vector<std::string>> listQueues(std::string* problem) {
        static_cast<void>(problem);
        return queueNames();
    }
    // The open queue, or nothing with *errorCode set to the spooler's reason.
    [[nodiscard]] virtual std::unique_ptr<PrintQueue> open(const std::string& name,
                                                           int* errorCode) = 0;
};

}  // namespace platform
