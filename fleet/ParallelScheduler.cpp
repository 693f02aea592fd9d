#include "fleet/ParallelScheduler.h"

#include "engine/Timing.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"
#include "fleet/SharedStatusPort.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
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

    // Called with the mutex held.
    const auto stopReason = [&]() -> std::optional<StopReason> {
        if (policy_.maxFailures != 0 && outcome.failed >= policy_.maxFailures)
            return StopReason::FailureLimit;
        if (callbacks.stopRequested && callbacks.stopRequested())
            return StopReason::StopRequested;
        return std::nullopt;
    };
    const auto stopWith = [&](StopReason reason) {
        ending = true;
        outcome.stopped = true;
        outcome.reason = reason;
        changed.notify_all();
    };
    const auto finish = [&](const Unit& unit, engine::ProgramResult result) {
        if (callbacks.unitFinished)
            callbacks.unitFinished(unit, result);
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

    auto worker = [&] {
        for (;;) {
            Unit unit;
            std::string key;
            {
                std::unique_lock lock(mutex);
                for (;;) {
                    if (ending)
                        return;
                    // Canary units run alone, each after the last has finished.
                    const bool canaryPhase = canaryDone < canaryCount;
                    const bool mayStart = !canaryPhase || running == 0;
                    const auto now = sleeper_.now();
                    // A unit due for its next attempt goes before new records.
                    auto due = pending.end();
                    auto earliest = pending.end();
                    for (auto it = pending.begin(); it != pending.end(); ++it) {
                        if (earliest == pending.end() || it->due < earliest->due)
                            earliest = it;
                        if (mayStart && it->due <= now &&
                            !inFlight.count(SharedStatusPort::addressKey(it->unit.target)) &&
                            (due == pending.end() || it->due < due->due))
                            due = it;
                    }
                    // Records are taken in list order; a record whose unit is
                    // already in flight waits for it rather than being skipped.
                    const bool fresh =
                        mayStart && due == pending.end() && next < targets.size() &&
                        !inFlight.count(SharedStatusPort::addressKey(targets[next])) &&
                        (!canaryPhase || next < canaryCount);
                    if (due != pending.end() || fresh) {
                        if (const auto reason = stopReason()) {
                            stopWith(*reason);
                            return;
                        }
                        if (due != pending.end()) {
                            unit = due->unit;
                            ++unit.attempt;
                            pending.erase(due);
                        } else {
                            unit.index = next++;
                            unit.target = targets[unit.index];
                            unit.number = ++outcome.attempted;
                            unit.attempt = 1;
                        }
                        key = SharedStatusPort::addressKey(unit.target);
                        inFlight.insert(key);
                        ++running;
                        if (callbacks.unitStarted)
                            callbacks.unitStarted(unit);
                        break;
                    }
                    if (next >= targets.size() && pending.empty() && running == 0) {
                        changed.notify_all();
                        return;
                    }
                    if (earliest != pending.end() && earliest->due > now) {
                        // Nothing to start before a unit's next attempt is due.
                        if (const auto reason = stopReason()) {
                            stopWith(*reason);
                            return;
                        }
                        const auto wait = std::min<std::chrono::milliseconds>(
                            kRetryLook,
                            std::chrono::ceil<std::chrono::milliseconds>(earliest->due - now));
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
                std::lock_guard lock(mutex);
                --running;
                inFlight.erase(key);
                if (again && !ending) {
                    pending.push_back({unit, sleeper_.now() + policy_.retryPause, result});
                    if (callbacks.attemptRetried)
                        callbacks.attemptRetried(unit, result);
                } else {
                    finish(unit, result);
                }
                changed.notify_all();
            }
            // The unit gets time to restart, whether or not it is tried again.
            if (afterUnit(result) == AfterUnit::PauseThenNext)
                sleeper_.sleepFor(engine::timing::kPauseAfterConfirmedUnit);
        }
    };

    std::vector<std::thread> workers;
    const std::size_t count = std::min(jobs_, std::max<std::size_t>(targets.size(), 1));
    for (std::size_t i = 0; i < count; ++i)
        workers.emplace_back(worker);
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
