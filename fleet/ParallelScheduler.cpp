#include "fleet/ParallelScheduler.h"

#include "engine/Timing.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"
#include "fleet/SharedStatusPort.h"
#include "platform/ProcessLimits.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>

namespace fleet {

namespace {

// How long a slot with nothing to start sleeps before it looks again while a
// unit waits for its next attempt: short enough that a stop request is seen
// at once, and measured on the sleeper's clock like the retry pause itself.
constexpr std::chrono::milliseconds kRetryLook{200};

}  // namespace

bool ParallelScheduler::isPrintQueueTarget(const std::string& target) {
    return !engine::readsAsDottedAddress(target);
}

bool ParallelScheduler::mayRetry(const std::string& target, engine::ProgramResult result) {
    return !isPrintQueueTarget(target) &&
           (result.isUnconfirmed() || result == engine::ResultSocketError);
}

ParallelScheduler::ParallelScheduler(std::size_t jobs, platform::Sleeper& sleeper)
    : ParallelScheduler(jobs, sleeper, Policy{}) {}

ParallelScheduler::ParallelScheduler(std::size_t jobs, platform::Sleeper& sleeper, Policy policy)
    : jobs_(std::max<std::size_t>(jobs, 1)), sleeper_(sleeper), policy_(policy) {}

ParallelScheduler::Outcome ParallelScheduler::run(const std::vector<std::string>& targets,
                                                  const Callbacks& callbacks) {
    // A unit waiting for its next attempt, with the result of its last one.
    struct Pending {
        Unit unit;
        std::chrono::steady_clock::time_point due;
        engine::ProgramResult last = engine::ResultUnconfirmed;
    };
    // An attempt that has ended, until the callbacks have been told.
    struct Ended {
        Unit unit;
        engine::ProgramResult result;
        bool retried = false;  // attemptRetried; otherwise unitFinished
    };
    // What may start now: the unit due for its next attempt, or the next
    // record; and the unit whose next attempt comes first.
    struct Choice {
        std::vector<Pending>::iterator due;
        std::vector<Pending>::iterator earliest;
        bool fresh = false;
        std::chrono::steady_clock::time_point now;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0;
    std::set<std::string> inFlight;
    std::size_t running = 0;
    std::vector<Pending> pending;
    std::mutex printQueueTurn;
    Outcome outcome;
    bool ending = false;
    const std::size_t canaryCount = std::min(policy_.canary, targets.size());
    std::size_t canaryDone = 0;  // canary units with their final result
    // Every callback but programUnit is called with the mutex released, by the
    // one slot that holds the turn to call out, so they come one at a time and
    // a slow one (the log's write and flush to the disk) holds up no slot that
    // ends an attempt. While a slot holds the turn no unit starts: each line of
    // a finished unit is written before the next unit starts. Attempts that end
    // meanwhile wait here, in the order they ended, until the holder tells them.
    bool callingOut = false;
    std::deque<Ended> ended;

    // The following are called with the mutex held.
    const auto stopWith = [&](StopReason reason) {
        ending = true;
        outcome.stopped = true;
        outcome.reason = reason;
        changed.notify_all();
    };
    // A unit's final result, as the batch's rules count it.
    const auto settle = [&](const Unit& unit, engine::ProgramResult result) {
        if (!result.isProgrammed())
            ++outcome.failed;
        const bool canary = unit.index < canaryCount;
        if (canary)
            ++canaryDone;
        if (afterUnit(result) == AfterUnit::EndBatch) {
            ending = true;
            outcome.endedByFailure = true;
        } else if (canary && !result.isProgrammed() && !ending) {
            stopWith(StopReason::CanaryFailed);
        }
    };
    // With the turn: tells every ended attempt, in order.
    const auto tellEnded = [&](std::unique_lock<std::mutex>& lock) {
        while (!ended.empty()) {
            const Ended attempt = std::move(ended.front());
            ended.pop_front();
            lock.unlock();
            if (attempt.retried) {
                if (callbacks.attemptRetried)
                    callbacks.attemptRetried(attempt.unit, attempt.result);
            } else if (callbacks.unitFinished) {
                callbacks.unitFinished(attempt.unit, attempt.result);
            }
            lock.lock();
        }
    };
    const auto letGo = [&](std::unique_lock<std::mutex>& lock) {
        tellEnded(lock);
        callingOut = false;
        changed.notify_all();
    };
    // With the turn: why no further unit may start, if any. Attempts that end
    // while the stop check is asked are told, and the check asked again: a
    // line that could not be written is a reason to stop.
    const auto stopReason = [&](std::unique_lock<std::mutex>& lock) -> std::optional<StopReason> {
        for (;;) {
            tellEnded(lock);
            if (policy_.maxFailures != 0 && outcome.failed >= policy_.maxFailures)
                return StopReason::FailureLimit;
            if (!callbacks.stopRequested)
                return std::nullopt;
            lock.unlock();
            const bool stop = callbacks.stopRequested();
            lock.lock();
            if (stop)
                return StopReason::StopRequested;
            if (ended.empty())
                return std::nullopt;
        }
    };
    const auto choose = [&] {
        Choice choice{pending.end(), pending.end(), false, sleeper_.now()};
        // Canary units run alone, each after the last has finished.
        const bool canaryPhase = canaryDone < canaryCount;
        const bool mayStart = !canaryPhase || running == 0;
        // A unit due for its next attempt goes before new records.
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (choice.earliest == pending.end() || it->due < choice.earliest->due)
                choice.earliest = it;
            if (mayStart && it->due <= choice.now &&
                !inFlight.count(SharedStatusPort::addressKey(it->unit.target)) &&
                (choice.due == pending.end() || it->due < choice.due->due))
                choice.due = it;
        }
        // Records are taken in list order; a record whose unit is already in
        // flight waits for it rather than being skipped.
        choice.fresh = mayStart && choice.due == pending.end() && next < targets.size() &&
                       !inFlight.count(SharedStatusPort::addressKey(targets[next])) &&
                       (!canaryPhase || next < canaryCount);
        return choice;
    };

    auto worker = [&] {
        for (;;) {
            Unit unit;
            std::string key;
            {
                std::unique_lock lock(mutex);
                for (;;) {
                    if (ending)
                        return;
                    if (callingOut) {
                        // Nothing starts while another slot calls out.
                        changed.wait(lock);
                        continue;
                    }
                    Choice choice = choose();
                    if (choice.due != pending.end() || choice.fresh) {
                        callingOut = true;
                        if (const auto reason = stopReason(lock)) {
                            stopWith(*reason);
                            letGo(lock);
                            return;
                        }
                        // Attempts that ended while the mutex was released
                        // may have changed what may start.
                        choice = choose();
                        if (ending || (choice.due == pending.end() && !choice.fresh)) {
                            letGo(lock);
                            continue;
                        }
                        if (choice.due != pending.end()) {
                            unit = choice.due->unit;
                            ++unit.attempt;
                            pending.erase(choice.due);
                        } else {
                            unit.index = next++;
                            unit.target = targets[unit.index];
                            unit.number = ++outcome.attempted;
                            unit.attempt = 1;
                        }
                        key = SharedStatusPort::addressKey(unit.target);
                        inFlight.insert(key);
                        ++running;
                        if (callbacks.unitStarted) {
                            lock.unlock();
                            callbacks.unitStarted(unit);
                            lock.lock();
                        }
                        letGo(lock);
                        break;
                    }
                    if (next >= targets.size() && pending.empty() && running == 0) {
                        changed.notify_all();
                        return;
                    }
                    if (choice.earliest != pending.end() && choice.earliest->due > choice.now) {
                        // Nothing to start before a unit's next attempt is due.
                        callingOut = true;
                        if (const auto reason = stopReason(lock)) {
                            stopWith(*reason);
                            letGo(lock);
                            return;
                        }
                        letGo(lock);
                        choice = choose();
                        if (ending || choice.due != pending.end() || choice.fresh ||
                            choice.earliest == pending.end() || choice.earliest->due <= choice.now)
                            continue;
                        const auto wait = std::min<std::chrono::milliseconds>(
                            kRetryLook, std::chrono::ceil<std::chrono::milliseconds>(
                                            choice.earliest->due - choice.now));
                        lock.unlock();
                        sleeper_.sleepFor(std::max(wait, std::chrono::milliseconds(1)));
                        lock.lock();
                        continue;
                    }
                    // Waiting for a unit in flight: its end wakes us.
                    changed.wait(lock);
                }
            }

            engine::ProgramResult result;
            if (isPrintQueueTarget(unit.target)) {
                std::lock_guard turn(printQueueTurn);
                result = callbacks.programUnit(unit);
            } else {
                result = callbacks.programUnit(unit);
            }

            const bool again = unit.attempt <= policy_.retries && mayRetry(unit.target, result);
            {
                std::unique_lock lock(mutex);
                --running;
                inFlight.erase(key);
                if (again && !ending) {
                    pending.push_back({unit, sleeper_.now() + policy_.retryPause, result});
                    ended.push_back({unit, result, true});
                } else {
                    settle(unit, result);
                    ended.push_back({unit, result, false});
                }
                // Told at once, unless another slot holds the turn: that one
                // tells it before it lets go, and this slot goes on.
                if (!callingOut) {
                    callingOut = true;
                    letGo(lock);
                }
                changed.notify_all();
            }
            // The unit gets time to restart, whether or not it is tried again.
            if (afterUnit(result) == AfterUnit::PauseThenNext)
                sleeper_.sleepFor(engine::timing::kPauseAfterConfirmedUnit);
        }
    };

    const std::size_t asked = std::min(jobs_, std::max<std::size_t>(targets.size(), 1));
    std::size_t count = asked;
    std::string limited;
    // A slot without the descriptors for its unit would fail that unit with a
    // socket error and end the batch: fewer slots finish the list instead.
    const std::uint64_t wanted = asked * kDescriptorsPerSlot + kDescriptorsBeside;
    if (const std::uint64_t limit = platform::raiseOpenFileLimit(wanted); limit < wanted) {
        count = std::clamp<std::size_t>(
            static_cast<std::size_t>(limit > kDescriptorsBeside ? limit - kDescriptorsBeside : 0) /
                kDescriptorsPerSlot,
            1, asked);
        limited = "this process may have only " + std::to_string(limit) +
                  " files and sockets open (its descriptor limit)";
    }
    std::vector<std::thread> workers;
    {
        // The slots wait here until every thread that can be started is.
        std::unique_lock lock(mutex);
        // One slot runs on the calling thread: the window's units must.
        for (std::size_t i = 0; count > 1 && i < count; ++i) {
            try {
                workers.emplace_back(worker);
            } catch (const std::system_error& error) {
                // Out of threads (a process limit, memory for stacks): the
                // slots already started are the batch's; this thread is its
                // only one when none could be.
                count = std::max<std::size_t>(workers.size(), 1);
                limited = "no further thread could be started (" + error.code().message() + ")";
                break;
            }
        }
        if (count < asked && callbacks.slotsLimited) {
            callingOut = true;
            lock.unlock();
            callbacks.slotsLimited(count, asked, limited);
            lock.lock();
            callingOut = false;
            changed.notify_all();
        }
    }
    if (workers.empty())
        worker();
    for (auto& thread : workers)
        thread.join();

    // Units still waiting for another attempt when the batch ended keep the
    // result of their last one, in list order.
    std::sort(pending.begin(), pending.end(),
              [](const Pending& a, const Pending& b) { return a.unit.index < b.unit.index; });
    for (const Pending& waiting : pending) {
        if (callbacks.unitFinished)
            callbacks.unitFinished(waiting.unit, waiting.last);
        if (!waiting.last.isProgrammed())
            ++outcome.failed;
    }
    return outcome;
}

}  // namespace fleet
