#pragma once

#include "platform/Spooler.h"

namespace testing_support {

// A spooler with no queues: every open fails with a fixed code. For tests
// whose targets are all network units.
class NoQueues final : public platform::Spooler {
public:
    static constexpr int kOpenError = 1801;
    std::vector<std::string> queueNames() override { return {}; }
    std::unique_ptr<platform::PrintQueue> open(const std::string&, int* error) override {
        *error = kOpenError;
        return nullptr;
    }
};

}  // namespace testing_support
