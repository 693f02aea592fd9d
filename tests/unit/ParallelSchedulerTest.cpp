#include "fleet/ParallelScheduler.h"
#include "tests/support/Eventually.h"
#include "tests/support/ScaledSleeper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

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
    std::condition_variable company;
    bool companyAwaited = false;

    void enter(const std::string& target) {
        std::lock_guard lock(mutex);
        maxRunning = std::max(maxRunning, ++running);
        maxPerTarget = std::max(maxPerTarget, ++perTarget[target]);
        if (fleet::ParallelScheduler::isPrintQueueTarget(target))
            maxQueuesRunning = std::max(maxQueuesRunning, ++queuesRunning);
    }
    // Waits, once for the whole run, until a second unit runs beside this one:
    // units run at once however the threads are scheduled.
    void awaitCompany() {
        std::unique_lock lock(mutex);
        if (!companyAwaited) {
            companyAwaited = true;
            company.wait_for(lock, 10s, [&] { return running > 1; });
        }
        company.notify_all();
    }
    void leave(const std::string& target) {
        std::lock_guard lock(mutex);
        --running;
        --perTarget[target];
        if (fleet::ParallelScheduler::isPrintQueueTarget(target))
            --queuesRunning;
    }
};

// Counts the pauses slots take after their units (a slot pauses only once the
// scheduler has taken its unit's result), without sleeping.
class CountingSleeper final : public platform::Sleeper {
public:
    void sleepFor(std::chrono::milliseconds) override {
        std::lock_guard lock(mutex_);
        ++pauses_;
        changed_.notify_all();
    }
    // Waits until at least count pauses were asked for, or gives up after a
    // time far beyond what they take; returns the count reached.
    int waitForPauses(int count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return pauses_ >= count; });
        return pauses_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int pauses_ = 0;
};

// A flag one thread raises and another waits for, for at most a long time.
class Signal {
public:
    void raise() {
        std::lock_guard lock(mutex_);
        raised_ = true;
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return raised_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
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
        probe.awaitCompany();
        // Time for another unit to run into this one's address or queue turn.
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
    Signal failureLogged;
    std::atomic<int> inFlight{0};
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        ++inFlight;
        if (unit.target == "10.0.0.2") {  // fails once all three slots have their unit
            std::ignore = testing_support::eventually([&] { return inFlight.load() == 3; });
            return engine::ResultSocketError;
        }
        failureLogged.wait();  // the others end after the failure
        return engine::ResultProgrammed;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult result) {
        finished.emplace_back(unit.target, result);
        if (unit.target == "10.0.0.2")
            failureLogged.raise();
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
        else if (unit.number > 3)  // ends only once the third has asked for the stop
            std::ignore = testing_support::eventually([&] { return stop.load(); });
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

// The log line of a finished unit is written (and flushed to the disk) by
// unitFinished. While one is slow, a slot whose attempt ends meanwhile hands
// its result over and goes on to its pause; still no unit starts before every
// finished unit's line has been written, in the order the units finished.
TEST(ParallelScheduler, ASlowUnitFinishedHoldsUpNoSlotYetNoUnitStartsBeforeTheLinesAreWritten) {
    CountingSleeper sleeper;
    fleet::ParallelScheduler scheduler(2, sleeper);
    Signal secondStarted, firstLineBegun;
    std::mutex eventsMutex;
    std::vector<std::string> events;
    const auto note = [&](const std::string& event) {
        std::lock_guard lock(eventsMutex);
        events.push_back(event);
    };
    int pausesDuringFirstLine = -1;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.unitStarted = [&](const fleet::ParallelScheduler::Unit& unit) {
        note("start " + unit.target);
    };
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        if (unit.target == "10.0.0.1")
            secondStarted.wait();  // both units are in flight before either ends
        if (unit.target == "10.0.0.2") {
            secondStarted.raise();
            firstLineBegun.wait();  // ends while the first unit's line is written
        }
        return engine::ResultProgrammed;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult) {
        if (unit.target == "10.0.0.1") {
            firstLineBegun.raise();
            // The second unit's slot gets past the end of its attempt to its pause.
            pausesDuringFirstLine = sleeper.waitForPauses(1);
        }
        note("line " + unit.target);
    };
    const auto outcome = scheduler.run({"10.0.0.1", "10.0.0.2", "10.0.0.3"}, callbacks);
    EXPECT_EQ(pausesDuringFirstLine, 1) << "the other slot waited for the first unit's line";
    EXPECT_EQ(outcome.attempted, 3u);
    const std::vector<std::string> expected = {"start 10.0.0.1", "start 10.0.0.2", "line 10.0.0.1",
                                               "line 10.0.0.2",  "start 10.0.0.3", "line 10.0.0.3"};
    EXPECT_EQ(events, expected);
}

// A callback may wait for another unit's attempt to end: none is called with
// the lock held that the ending attempt needs.
TEST(ParallelScheduler, AStopCheckThatWaitsForAnotherUnitsAttemptToEndDoesNotDeadlock) {
    CountingSleeper sleeper;
    fleet::ParallelScheduler scheduler(2, sleeper);
    std::atomic<int> started{0};
    Signal askedBeforeSecond;
    int pausesDuringQuestion = -1;
    std::vector<std::string> finished;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.unitStarted = [&](const fleet::ParallelScheduler::Unit&) { ++started; };
    callbacks.stopRequested = [&] {
        if (started == 1 && pausesDuringQuestion < 0) {
            askedBeforeSecond.raise();
            pausesDuringQuestion = sleeper.waitForPauses(1);
        }
        return false;
    };
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        if (unit.target == "10.0.0.1")
            askedBeforeSecond.wait();  // ends while the stop check for the second unit runs
        return engine::ResultProgrammed;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult) { finished.push_back(unit.target); };
    const auto outcome = scheduler.run({"10.0.0.1", "10.0.0.2"}, callbacks);
    EXPECT_EQ(pausesDuringQuestion, 1) << "the first unit's slot could not end its attempt";
    EXPECT_EQ(outcome.attempted, 2u);
    EXPECT_EQ(finished, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}
