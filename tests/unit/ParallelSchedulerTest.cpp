#include "fleet/ParallelScheduler.h"
#include "tests/support/Eventually.h"
#include "tests/support/ScaledSleeper.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
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

// A clock that moves only as pauses are slept: each pause returns at once and
// moves the clock on by its length, so a test reads the batch's schedule on
// it however the threads run. A pause as long as the one held (if any) waits
// for release() first, and moves the clock when it returns.
class FakeClockSleeper final : public platform::Sleeper {
public:
    void sleepFor(std::chrono::milliseconds duration) override {
        std::unique_lock lock(mutex_);
        requested_.push_back(duration);
        if (duration == held_)
            changed_.wait_for(lock, 10s, [&] { return released_; });
        elapsed_ += duration;
    }
    std::chrono::steady_clock::time_point now() const override {
        if (onClockRead)
            onClockRead();
        return std::chrono::steady_clock::time_point{} + elapsed();
    }
    std::chrono::milliseconds elapsed() const {
        std::lock_guard lock(mutex_);
        return elapsed_;
    }
    std::vector<std::chrono::milliseconds> requested() const {
        std::lock_guard lock(mutex_);
        return requested_;
    }
    void hold(std::chrono::milliseconds duration) {
        std::lock_guard lock(mutex_);
        held_ = duration;
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    // Called whenever the scheduler reads the clock; set before the run.
    std::function<void()> onClockRead;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::chrono::milliseconds elapsed_{0};
    std::chrono::milliseconds held_{-1};
    bool released_ = false;
    std::vector<std::chrono::milliseconds> requested_;
};

// Tells when the slot that ran a unit has handed the unit's result over: the
// scheduler notes on its clock when an attempt ends, with the result, so the
// slot's first reading of the clock after programUnit returned is that.
class HandOver {
public:
    // The last thing programUnit does for the unit.
    void returning() {
        thread_ = std::this_thread::get_id();
        returned_ = true;
    }
    // From the sleeper's onClockRead.
    void clockRead() {
        if (returned_ && thread_.load() == std::this_thread::get_id())
            done_.raise();
    }
    bool wait() { return done_.wait(); }

private:
    std::atomic<std::thread::id> thread_;
    std::atomic<bool> returned_{false};
    Signal done_;
};

// The restart pause a programmed or unconfirmed unit gets.
constexpr std::chrono::milliseconds kRestart = 4000ms;

}  // namespace

TEST(ParallelScheduler, RunsUpToJobsAtOnceButNeverOneAddressTwiceOrTwoQueues) {
    testing_support::ScaledSleeper sleeper(0.001);
    fleet::ParallelScheduler scheduler(4, sleeper);
    ConcurrencyProbe probe;
    std::vector<std::string> targets = {"10.0.0.1", "10.0.0.2", "10.0.0.1", "queueA",  "queueB",
                                        "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.1"};
    std::vector<std::string> finished;
    // Each unit's start and end on the sleeper's clock, by target.
    std::mutex timesMutex;
    std::map<std::string, std::vector<std::pair<std::chrono::steady_clock::time_point,
                                                std::chrono::steady_clock::time_point>>>
        times;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        const auto start = sleeper.now();
        probe.enter(unit.target);
        probe.awaitCompany();
        // Time for another unit to run into this one's address or queue turn.
        // A fixed hold, since a unit rightly held back gives no event to wait
        // for: a slow machine can make a wrong start less likely to overlap
        // this one, never a right run fail.
        std::this_thread::sleep_for(30ms);
        probe.leave(unit.target);
        std::lock_guard lock(timesMutex);
        times[unit.target].emplace_back(start, sleeper.now());
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
    // No slot waited out a unit's restart, yet the address listed three times
    // restarted before it was programmed again.
    const auto asked = sleeper.requested();
    EXPECT_EQ(std::count(asked.begin(), asked.end(), kRestart), 0);
    const auto& again = times["10.0.0.1"];
    ASSERT_EQ(again.size(), 3u);
    for (std::size_t i = 1; i < again.size(); ++i)
        EXPECT_GE(again[i].first - again[i - 1].second, kRestart) << "start " << i + 1;
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
// its result over and goes on; still no unit starts before every finished
// unit's line has been written, in the order the units finished.
TEST(ParallelScheduler, ASlowUnitFinishedHoldsUpNoSlotYetNoUnitStartsBeforeTheLinesAreWritten) {
    FakeClockSleeper sleeper;
    HandOver second;
    sleeper.onClockRead = [&] { second.clockRead(); };
    fleet::ParallelScheduler scheduler(2, sleeper);
    Signal secondStarted, firstLineBegun;
    std::mutex eventsMutex;
    std::vector<std::string> events;
    const auto note = [&](const std::string& event) {
        std::lock_guard lock(eventsMutex);
        events.push_back(event);
    };
    bool handedOverDuringFirstLine = false;
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
            second.returning();
        }
        return engine::ResultProgrammed;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult) {
        if (unit.target == "10.0.0.1") {
            firstLineBegun.raise();
            // The second unit's slot gets past the end of its attempt.
            handedOverDuringFirstLine = second.wait();
        }
        note("line " + unit.target);
    };
    const auto outcome = scheduler.run({"10.0.0.1", "10.0.0.2", "10.0.0.3"}, callbacks);
    EXPECT_TRUE(handedOverDuringFirstLine) << "the other slot waited for the first unit's line";
    EXPECT_EQ(outcome.attempted, 3u);
    const std::vector<std::string> expected = {"start 10.0.0.1", "start 10.0.0.2", "line 10.0.0.1",
                                               "line 10.0.0.2",  "start 10.0.0.3", "line 10.0.0.3"};
    EXPECT_EQ(events, expected);
}

// A callback may wait for another unit's attempt to end: none is called with
// the lock held that the ending attempt needs.
TEST(ParallelScheduler, AStopCheckThatWaitsForAnotherUnitsAttemptToEndDoesNotDeadlock) {
    FakeClockSleeper sleeper;
    HandOver first;
    sleeper.onClockRead = [&] { first.clockRead(); };
    fleet::ParallelScheduler scheduler(2, sleeper);
    std::atomic<int> started{0};
    Signal askedBeforeSecond;
    bool asked = false, handedOverDuringQuestion = false;
    std::vector<std::string> finished;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.unitStarted = [&](const fleet::ParallelScheduler::Unit&) { ++started; };
    callbacks.stopRequested = [&] {
        if (started == 1 && !asked) {
            asked = true;
            askedBeforeSecond.raise();
            handedOverDuringQuestion = first.wait();
        }
        return false;
    };
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        if (unit.target == "10.0.0.1") {
            askedBeforeSecond.wait();  // ends while the stop check for the second unit runs
            first.returning();
        }
        return engine::ResultProgrammed;
    };
    callbacks.unitFinished = [&](const fleet::ParallelScheduler::Unit& unit,
                                 engine::ProgramResult) { finished.push_back(unit.target); };
    const auto outcome = scheduler.run({"10.0.0.1", "10.0.0.2"}, callbacks);
    EXPECT_TRUE(handedOverDuringQuestion) << "the first unit's slot could not end its attempt";
    EXPECT_EQ(outcome.attempted, 2u);
    EXPECT_EQ(finished, (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

// With several slots a unit's restart pause is its own: the slot that ran a
// programmed unit takes the next record at once, after a canary unit too, and
// the batch ends without waiting for the pauses.
struct SlotGoesOnCase {
    const char* name;
    std::size_t jobs;
    std::size_t canary;
    std::size_t units;
};

void PrintTo(const SlotGoesOnCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class SlotGoesOn : public ::testing::TestWithParam<SlotGoesOnCase> {};

TEST_P(SlotGoesOn, ASlotTakesTheNextRecordWhileItsUnitRestarts) {
    const SlotGoesOnCase& param = GetParam();
    FakeClockSleeper sleeper;
    fleet::ParallelScheduler::Policy policy;
    policy.canary = param.canary;
    fleet::ParallelScheduler scheduler(param.jobs, sleeper, policy);
    std::vector<std::string> targets;
    for (std::size_t i = 0; i < param.units; ++i)
        targets.push_back("10.0.2." + std::to_string(i + 1));
    Signal lastStarted;
    std::chrono::milliseconds lastStartedAt{-1};
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        // The first unit ends at once; the others but the last stay in flight
        // until the last has started, so that only the first one's slot can
        // take the last record.
        if (unit.index + 1 == param.units) {
            lastStartedAt = sleeper.elapsed();
            lastStarted.raise();
        } else if (unit.index > 0) {
            lastStarted.wait();
        }
        return engine::ResultProgrammed;
    };
    const auto outcome = scheduler.run(targets, callbacks);
    EXPECT_EQ(outcome.attempted, param.units);
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(lastStartedAt, 0ms) << "the first unit's slot waited out its restart";
    EXPECT_TRUE(sleeper.requested().empty());
}

INSTANTIATE_TEST_SUITE_P(ParallelScheduler, SlotGoesOn,
                         ::testing::Values(SlotGoesOnCase{"AfterAProgrammedUnit", 2, 0, 3},
                                           SlotGoesOnCase{"AfterACanaryUnit", 4, 1, 5}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

// The same address waits for its unit's restart pause to end before it is
// programmed again: further down the list, or for its next attempt even when
// the retry pause is shorter. A slot that would wait out the pause itself is
// held there, so that the other slot shows what it would start meanwhile.
struct SameAddressCase {
    const char* name;
    std::vector<std::string> targets;
    int retries;
};

void PrintTo(const SameAddressCase& testCase, std::ostream* out) {
    *out << testCase.name;
}

class SameAddress : public ::testing::TestWithParam<SameAddressCase> {};

TEST_P(SameAddress, WaitsForItsUnitsRestart) {
    const SameAddressCase& param = GetParam();
    FakeClockSleeper sleeper;
    sleeper.hold(kRestart);
    fleet::ParallelScheduler::Policy policy;
    policy.retries = param.retries;
    policy.retryPause = 1000ms;
    fleet::ParallelScheduler scheduler(2, sleeper, policy);
    std::vector<std::chrono::milliseconds> starts;  // of the address listed twice or retried
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        if (unit.target != "10.0.4.1")
            return engine::ResultVerifyError;  // no restart: the other slot is free at once
        // Its attempt ends as it starts.
        starts.push_back(sleeper.elapsed());
        const bool first = starts.size() == 1;
        if (!first)
            sleeper.release();
        return first && param.retries > 0 ? engine::ResultUnconfirmed : engine::ResultProgrammed;
    };
    const auto outcome = scheduler.run(param.targets, callbacks);
    EXPECT_FALSE(outcome.stopped);
    EXPECT_EQ(outcome.failed, 1u);  // the other address's verdict
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_GE(starts[1] - starts[0], kRestart)
        << "programmed again " << (starts[1] - starts[0]).count() << " ms after it ended";
}

INSTANTIATE_TEST_SUITE_P(
    ParallelScheduler, SameAddress,
    ::testing::Values(SameAddressCase{"LaterInTheList", {"10.0.4.1", "10.0.4.2", "10.0.4.1"}, 0},
                      SameAddressCase{"ItsNextAttempt", {"10.0.4.1", "10.0.4.2"}, 1}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// One slot runs on the calling thread (the window's batch programs its units
// on its own thread) and waits out each unit's restart before the next, the
// last unit's included.
TEST(ParallelScheduler, OneSlotRunsOnTheCallingThreadAndPausesAfterEveryUnit) {
    FakeClockSleeper sleeper;
    fleet::ParallelScheduler scheduler(1, sleeper);
    const auto caller = std::this_thread::get_id();
    std::vector<std::string> events;
    fleet::ParallelScheduler::Callbacks callbacks;
    callbacks.programUnit = [&](const fleet::ParallelScheduler::Unit& unit) {
        EXPECT_EQ(std::this_thread::get_id(), caller) << unit.target;
        events.push_back(unit.target + " at " + std::to_string(sleeper.elapsed().count()));
        return unit.target == "10.0.5.2" ? engine::ResultVerifyError : engine::ResultProgrammed;
    };
    callbacks.stopRequested = [&] {
        events.push_back("stop? at " + std::to_string(sleeper.elapsed().count()));
        return false;
    };
    const auto outcome = scheduler.run({"10.0.5.1", "10.0.5.2", "10.0.5.3"}, callbacks);
    EXPECT_EQ(outcome.attempted, 3u);
    // The unit's own verdict goes on at once; the others restart first.
    const std::vector<std::string> expected = {"stop? at 0",    "10.0.5.1 at 0",
                                               "stop? at 4000", "10.0.5.2 at 4000",
                                               "stop? at 4000", "10.0.5.3 at 4000"};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(sleeper.requested(), (std::vector<std::chrono::milliseconds>{kRestart, kRestart}));
}
