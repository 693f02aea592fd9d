#include "fleet/ParallelScheduler.h"

#include "engine/Timing.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"
#include "fleet/SharedStatusPort.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

bool ParallelScheduler::isPrintQueueTarget(const std::string& target) {
    return !readsAsDottedAddress(target);
}

ParallelScheduler::ParallelScheduler(std::size_t jobs, platform::Sleeper& sleeper)
    : jobs_(std::max<std::size_t>(jobs, 1)), sleeper_(sleeper) {}

ParallelScheduler::Outcome ParallelScheduler::run(const std::vector<std::string>& targets,
                                                  const Callbacks& callbacks) {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0;
    std::set<std::string> inFlight;
    std::mutex printQueueTurn;
    Outcome outcome;
    bool ending = false;

    auto worker = [&] {
        for (;;) {
            Unit unit;
            std::string key;
            {
                std::unique_lock lock(mutex);
                // Records are taken in list order; a record whose unit is
                // already in flight waits for it rather than being skipped.
                changed.wait(lock, [&] {
                    return ending || next >= targets.size() ||
                           !inFlight.count(SharedStatusPort::addressKey(targets[next]));
                });
                if (ending || next >= targets.size())
                    return;
                if (callbacks.stopRequested && callbacks.stopRequested()) {
                    ending = true;
                    outcome.stopped = true;
                    changed.notify_all();
                    return;
                }
                unit.index = next++;
                unit.target = targets[unit.index];
                unit.number = ++outcome.attempted;
                key = SharedStatusPort::addressKey(unit.target);
                inFlight.insert(key);
                if (callbacks.unitStarted)
                    callbacks.unitStarted(unit);
            }

            ProgramResult result;
            if (isPrintQueueTarget(unit.target)) {
                std::lock_guard turn(printQueueTurn);
                result = callbacks.programUnit(unit);
            } else {
                result = callbacks.programUnit(unit);
            }

            const AfterUnit after = afterUnit(result);
            {
                std::lock_guard lock(mutex);
                if (callbacks.unitFinished)
                    callbacks.unitFinished(unit, result);
                inFlight.erase(key);
                if (after == AfterUnit::EndBatch) {
                    ending = true;
                    outcome.endedByFailure = true;
                }
                changed.notify_all();
            }
            if (after == AfterUnit::PauseThenNext)
                sleeper_.sleepFor(timing::kPauseAfterConfirmedUnit);
        }
    };

    std::vector<std::thread> workers;
    const std::size_t count = std::min(jobs_, std::max<std::size_t>(targets.size(), 1));
    for (std::size_t i = 0; i < count; ++i)
        workers.emplace_back(worker);
    for (auto& thread : workers)
        thread.join();
    return outcome;
}
