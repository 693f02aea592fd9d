#include "fleet/ParallelScheduler.h"
#include "tests/support/ScaledSleeper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Records how many units run at once, overall and per target.
struct ConcurrencyProbe {
    std::mutex mutex;
    int running = 0;
    int maxRunning = 0;
    std::map<std::string, int> perTarget;
    int maxPerTarget = 0;
    int queuesRunning = 0;
    int maxQueuesRunning = 0;

    void enter(const std::string& target) {
        std::lock_guard lock(mutex);
        maxRunning = std::max(maxRunning, ++running);
        maxPerTarget = std::max(maxPerTarget, ++perTarget[target]);
        if (fleet::ParallelScheduler::isPrintQueueTarget(target))
            maxQueuesRunning = std::max(maxQueuesRunning, ++queuesRunning);
    }
    void leave(const std::string& target) {
        std::lock_guard lock(mutex);
        --running;
        --perTarget[target];
        if (fleet::ParallelScheduler::isPrintQueueTarget(target))
            --queuesRunning;
    }
};

}  // namespace

TEST(ParallelScheduler, RunsUpToJobsAtOnceButNeverOneAddressTwiceOrTwoQueues) {
    testing_support::ScaledSleeper sleeper(0.001);
    fleet::ParallelScheduler scheduler(4, sleeper);
    ConcurrencyProbe probe;
    std::vector<std::string> targets = {"10.0.0.1", "10.0.0.2", "10.0.0.1", "queueA",  "queueB",
                                        "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.1"};
    std::vector<std::string> finished;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        probe.enter(unit.target);
        std::this_thread::sleep_for(30ms);
        probe.leave(unit.target);
        return engine::ResultProgrammed;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult) { finished.push_back(unit.target); };
    const auto outcome = scheduler.run(targets, callbacks);
    EXPECT_EQ(outcome.attempted, targets.size());
    EXPECT_FALSE(outcome.endedByFailure);
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(finished.size(), targets.size());
    EXPECT_EQ(probe.maxPerTarget, 1) << "the same address was programmed twice at once";
    EXPECT_EQ(probe.maxQueuesRunning, 1) << "print queues must take turns";
    EXPECT_GT(probe.maxRunning, 1);
    EXPECT_LE(probe.maxRunning, 4);
    // Every programmed unit's slot paused before taking the next record.
    EXPECT_EQ(sleeper.requested().size(), targets.size());
}

TEST(ParallelScheduler, HostFailureLetsUnitsInFlightFinishAndStartsNoMore) {
    testing_support::ScaledSleeper sleeper(0.001);
    fleet::ParallelScheduler scheduler(3, sleeper);
    std::vector<std::string> targets = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"};
    std::vector<std::pair<std::string, engine::ProgramResult>> finished;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        if (unit.target == "10.0.0.2") {
            std::this_thread::sleep_for(10ms);
            return engine::ResultSocketError;
        }
        std::this_thread::sleep_for(80ms);
        return engine::ResultProgrammed;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult result) {
        finished.emplace_back(unit.target, result);
    };
    const auto outcome = scheduler.run(targets, callbacks);
    EXPECT_TRUE(outcome.endedByFailure);
    EXPECT_EQ(outcome.attempted, 3u);
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].first, "10.0.0.2") << "logged as it finished, before the slower ones";
}

TEST(ParallelScheduler, StopRequestStartsNoFurtherUnit) {
    testing_support::ScaledSleeper sleeper(0.001);
    fleet::ParallelScheduler scheduler(2, sleeper);
    std::atomic<bool> stop{false};
    std::vector<std::string> targets(10, "");
    for (int i = 0; i < 10; ++i)
        targets[static_cast<std::size_t>(i)] = "10.0.1." + std::to_string(i + 1);
    std::atomic<int> finished{0};
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.stopRequested = [&] { return stop.load(); };
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        if (unit.number == 3)
            stop = true;
        std::this_thread::sleep_for(20ms);
        return engine::ResultVerifyError;  // unit verdicts go on without a pause
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit&, engine::ProgramResult) {
        ++finished;
    };
    const auto outcome = scheduler.run(targets, callbacks);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_FALSE(outcome.endedByFailure);
    EXPECT_GE(outcome.attempted, 3u);
    EXPECT_LE(outcome.attempted, 4u);
    EXPECT_EQ(finished.load(), static_cast<int>(outcome.attempted));
    EXPECT_TRUE(sleeper.requested().empty());
}

// A unit waiting for its next attempt when the batch stops keeps the result of
// its last one: it is logged, once, and counted as attempted.
TEST(ParallelScheduler, AUnitWaitingForAnotherAttemptWhenTheBatchStopsKeepsItsLastResult) {
    testing_support::ScaledSleeper sleeper(0.001);
    fleet::ParallelScheduler::Policy policy;
    policy.retries = 3;
    policy.retryPause = 60s;
    fleet::ParallelScheduler scheduler(1, sleeper, policy);
    std::atomic<bool> stop{false};
    std::map<std::string, int> attempts;
    std::vector<std::pair<std::string, engine::ProgramResult>> finished;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.stopRequested = [&] { return stop.load(); };
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        ++attempts[unit.target];
        if (unit.target == "10.0.0.2")
            stop = true;  // while the first unit waits for its next attempt
        return unit.target == "10.0.0.1" ? engine::ResultUnconfirmed : engine::ResultVerifyError;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult result) {
        finished.emplace_back(unit.target, result);
        EXPECT_EQ(unit.attempt, 1) << unit.target;
    };
    const auto outcome = scheduler.run({"10.0.0.1", "10.0.0.2", "10.0.0.3"}, callbacks);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.reason, fleet::ParallelScheduler::StopReason::StopRequested);
    EXPECT_EQ(outcome.attempted, 2u);
    EXPECT_EQ(outcome.failed, 2u);
    EXPECT_EQ(attempts["10.0.0.1"], 1);
    EXPECT_EQ(attempts.count("10.0.0.3"), 0u);
    const std::vector<std::pair<std::string, engine::ProgramResult>> expected = {
        {"10.0.0.2", engine::ResultVerifyError}, {"10.0.0.1", engine::ResultUnconfirmed}};
    EXPECT_EQ(finished, expected);
}
