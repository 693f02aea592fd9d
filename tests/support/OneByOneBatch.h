#pragma once

#include "engine/Operator.h"
#include "engine/ProgramResult.h"
#include "fleet/Batch.h"
#include "platform/DatagramSocket.h"
#include "platform/Sleeper.h"
#include "tests/support/NoQueues.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>

namespace testing_support {

// A fake programming step and the operator's say in a one-by-one batch, as
// the window runs it: every record's unit goes to programUnit.
struct BatchTestHooks {
    std::function<engine::ProgramResult(const std::string& target)> programUnit;
    std::function<bool()> stopRequested;
    std::function<std::tm()> localTime;
    std::function<void(const std::string& text)> showSummary;  // unset: a box on the operator
    std::function<void(const std::string& logPath)> logClosed;
    engine::WindowHooks* window = nullptr;  // whose wait cursor shows over the batch
};

class TestBatchObserver final : public fleet::BatchObserver {
public:
    TestBatchObserver(engine::Operator& op, const BatchTestHooks& hooks) : op_(op), hooks_(hooks) {}
    engine::Operator& batchOperator() override { return op_; }
    engine::WindowHooks* window() override { return hooks_.window; }
    void statusPortUnavailable(std::uint16_t port, int) override {
        ADD_FAILURE() << "the batch bound status port " << port << " of its own";
    }
    bool stopRequested() override { return hooks_.stopRequested && hooks_.stopRequested(); }
    bool showsSummary() const override { return static_cast<bool>(hooks_.showSummary); }
    void showSummary(const std::string& text) override { hooks_.showSummary(text); }
    void logClosed(const std::string& path) override {
        if (hooks_.logClosed)
            hooks_.logClosed(path);
    }

private:
    engine::Operator& op_;
    const BatchTestHooks& hooks_;
};

// Runs the batch one unit at a time with a status port lent (never bound:
// the fake step hears no unit).
inline fleet::BatchOutcome runOneByOneBatch(const fleet::BatchRequest& request,
                                            engine::Operator& op, platform::Sleeper& sleeper,
                                            const BatchTestHooks& hooks) {
    NoQueues spooler;
    platform::DatagramSocket lentPort;
    TestBatchObserver observer(op, hooks);
    fleet::BatchSettings settings;
    settings.files = request;
    settings.localTime = hooks.localTime;
    fleet::BatchServices services{
        sleeper, spooler, &lentPort,
        [&hooks](const fleet::ParallelScheduler::Unit& unit, engine::Operator&, engine::UnitRun&) {
            return hooks.programUnit(unit.target);
        }};
    return fleet::Batch(settings, services, observer).run().outcome;
}

}  // namespace testing_support
