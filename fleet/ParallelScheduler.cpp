#include "fleet/ParallelScheduler.h"

#include "engine/Timing.h"
#include "engine/UnitProgrammer.h"
#include "fleet/BatchRun.h"
#include "fleet/SharedStatusPort.h"
#include "platform/ProcessLimits.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <thread>

namespace fleet {

namespace {

using Clock = std::chrono::steady_clock;
using Unit = ParallelScheduler::Unit;
using Policy = ParallelScheduler::Policy;
using Callbacks = ParallelScheduler::Callbacks;
using Outcome = ParallelScheduler::Outcome;
using StopReason = ParallelScheduler::StopReason;

// How long a slot with nothing to start sleeps before it looks again while a
// unit waits for its next attempt or its restart: short enough that a stop
// request is seen at once, and measured on the sleeper's clock like the
// pauses themselves.
constexpr std::chrono::milliseconds kRetryLook{200};

// The slots (up to asked) that the descriptors this process may open leave
// room for; reason says why when that is fewer. A slot without the
// descriptors for its unit would fail that unit with a socket error and end
// the batch: fewer slots finish the list instead.
std::size_t slotsWithDescriptors(std::size_t asked, std::string& reason) {
    const std::uint64_t wanted =
        asked * ParallelScheduler::kDescriptorsPerSlot + ParallelScheduler::kDescriptorsBeside;
    const std::uint64_t limit = platform::raiseOpenFileLimit(wanted);
    if (limit >= wanted)
        return asked;
    reason = "this process may have only " + std::to_string(limit) +
             " files and sockets open (its descriptor limit)";
    const std::uint64_t room = limit > ParallelScheduler::kDescriptorsBeside
                                   ? limit - ParallelScheduler::kDescriptorsBeside
                                   : 0;
    return std::clamp<std::size_t>(
        static_cast<std::size_t>(room / ParallelScheduler::kDescriptorsPerSlot), 1, asked);
}

// One run of the list: its slots and what they share.
//
// Locking. mutex_ guards every member declared after it; the members before
// it are set once and only read. programUnit runs without the mutex, several
// at once (print queues one at a time, each holding printQueueTurn_). Every
// other callback is called with the mutex released and only by the slot that
// holds the turn to call out (callingOut_), so they come one at a time, a
// slow one (the log's write and flush to the disk) holds up no slot that ends
// an attempt, and one may wait for another unit's attempt to end. While a
// slot holds the turn no unit starts: each line of a finished unit is written
// before the next unit starts. An attempt that ends while another slot holds
// the turn waits in ended_, in the order attempts ended, and its slot goes on;
// the holder tells it before it lets go. Whatever may let a unit start
// notifies changed_; one slot at a time (clockWatched_) waits on the
// sleeper's clock for a unit held back by time, the others on changed_.
//
// The restart pause. A programmed or unconfirmed unit gets time to restart.
// With one slot, that slot sleeps it before it takes the next record (the
// last unit's included) and runs on the calling thread. With more, the pause
// belongs to the unit: its address counts as busy until the pause is over
// (restarting_), so that neither its next attempt nor the same address
// further down the list starts sooner, while the slot takes the next record
// at once. Such a batch ends without waiting for the pauses of units that
// have no further attempt.
class SchedulerRun {
public:
    SchedulerRun(std::size_t jobs, platform::Sleeper& sleeper, const Policy& policy,
                 const std::vector<std::string>& targets, const Callbacks& callbacks);

    Outcome run();

private:
    // A unit waiting for its next attempt, with the result of its last one.
    struct Pending {
        Unit unit;
        Clock::time_point due;
        engine::ProgramResult last = engine::ResultUnconfirmed;
    };
    // An attempt that has ended, until the callbacks have been told.
    struct Ended {
        Unit unit;
        engine::ProgramResult result;
        bool retried = false;  // attemptRetried; otherwise unitFinished
    };
    // What may start now: the unit due for its next attempt, or else the next
    // record; and the moment a unit held back only by the clock may start.
    struct Choice {
        std::vector<Pending>::iterator retry;
        bool record = false;
        std::optional<Clock::time_point> wake;
    };

    // Each slot's loop, on a thread of its own or the calling thread.
    void slot();
    engine::ProgramResult attempt(const Unit& unit);

    // These are called with the mutex held (the lock passed in).
    std::optional<Unit> nextUnit(std::unique_lock<std::mutex>& lock);
    std::optional<Unit> startUnit(std::unique_lock<std::mutex>& lock);
    void waitForClock(std::unique_lock<std::mutex>& lock);
    void attemptEnded(std::unique_lock<std::mutex>& lock, const Unit& unit,
                      engine::ProgramResult result);
    Choice choose(Clock::time_point now);
    std::optional<Clock::time_point> restartEnds(const std::string& key, Clock::time_point now);
    void settle(const Unit& unit, engine::ProgramResult result);
    void stopWith(StopReason reason);
    bool allDone() const;
    // These take the turn, or are called with it: they release the mutex
    // while a callback runs.
    void tellEnded(std::unique_lock<std::mutex>& lock);
    void letGo(std::unique_lock<std::mutex>& lock);
    std::optional<StopReason> stopReason(std::unique_lock<std::mutex>& lock);
    void tellSlotsLimited(std::unique_lock<std::mutex>& lock, std::size_t slots, std::size_t asked,
                          const std::string& reason);
    void tellStillWaiting();

    const std::size_t jobs_;
    platform::Sleeper& sleeper_;
    const Policy& policy_;
    const std::vector<std::string>& targets_;
    const Callbacks& callbacks_;
    const std::size_t canaryCount_;
    const bool slotTakesPause_;  // one slot: it sleeps each unit's restart pause
    std::mutex printQueueTurn_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;                                 // the next record
    std::set<std::string> inFlight_;                       // addresses of the units in flight
    std::map<std::string, Clock::time_point> restarting_;  // addresses until their pause ends
    std::size_t running_ = 0;                              // units in flight
    std::vector<Pending> pending_;
    std::size_t canaryDone_ = 0;  // canary units with their final result
    Outcome outcome_;
    bool ending_ = false;
    bool callingOut_ = false;
    bool clockWatched_ = false;
    std::deque<Ended> ended_;
};

SchedulerRun::SchedulerRun(std::size_t jobs, platform::Sleeper& sleeper, const Policy& policy,
                           const std::vector<std::string>& targets, const Callbacks& callbacks)
    : jobs_(jobs),
      sleeper_(sleeper),
      policy_(policy),
      targets_(targets),
      callbacks_(callbacks),
      canaryCount_(std::min(policy.canary, targets.size())),
      slotTakesPause_(jobs <= 1) {}

Outcome SchedulerRun::run() {
    const std::size_t asked = std::min(jobs_, std::max<std::size_t>(targets_.size(), 1));
    std::string limited;
    const std::size_t count = slotsWithDescriptors(asked, limited);
    if (count < asked) {
        std::unique_lock lock(mutex_);
        tellSlotsLimited(lock, count, asked, limited);
    }
    // Each slot goes to work as soon as its thread runs: starting thousands
    // of threads takes a good part of a second, which units already started
    // spend on their schedule rather than waiting for the last thread.
    std::vector<std::thread> workers;
    workers.reserve(count > 1 ? count : 0);
    for (std::size_t i = 0; count > 1 && i < count; ++i) {
        try {
            workers.emplace_back([this] { slot(); });
        } catch (const std::system_error& error) {
            // Out of threads (a process limit, memory for stacks): the slots
            // already started are the batch's, told as soon as that is known;
            // this thread is its only one when none could be.
            const std::size_t started = std::max<std::size_t>(workers.size(), 1);
            std::unique_lock lock(mutex_);
            tellSlotsLimited(lock, started, asked,
                             "no further thread could be started (" + error.code().message() + ")");
            break;
        }
    }
    // A single slot runs on this thread.
    if (workers.empty())
        slot();
    for (auto& thread : workers)
        thread.join();
    tellStillWaiting();
    return outcome_;
}

void SchedulerRun::slot() {
    for (;;) {
        std::optional<Unit> unit;
        {
            std::unique_lock lock(mutex_);
            unit = nextUnit(lock);
        }
        if (!unit)
            return;
        const engine::ProgramResult result = attempt(*unit);
        {
            std::unique_lock lock(mutex_);
            attemptEnded(lock, *unit, result);
        }
        // The one slot gives the unit time to restart before it takes the
        // next record, whether or not the unit is tried again.
        if (slotTakesPause_ && afterUnit(result) == AfterUnit::PauseThenNext)
            sleeper_.sleepFor(engine::timing::kPauseAfterConfirmedUnit);
    }
}

engine::ProgramResult SchedulerRun::attempt(const Unit& unit) {
    if (!ParallelScheduler::isPrintQueueTarget(unit.target))
        return callbacks_.programUnit(unit);
    std::lock_guard turn(printQueueTurn_);
    return callbacks_.programUnit(unit);
}

// The slot's next unit, once it may start; none when the slot has nothing
// more to do.
std::optional<Unit> SchedulerRun::nextUnit(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        if (ending_)
            return std::nullopt;
        // No record is left and no unit waits for another attempt: a slot
        // has nothing more to do, whoever calls out. An attempt still in
        // flight that is to be tried again is tried by the slot that ran it,
        // so this one ends rather than waiting for the turn or waking at every
        // unit's end (thousands of units ending together made each wake-up of
        // them all cost thousands of wake-ups).
        if (next_ >= targets_.size() && pending_.empty() && running_ > 0)
            return std::nullopt;
        if (callingOut_) {
            // Nothing starts while another slot calls out.
            changed_.wait(lock);
            continue;
        }
        const Choice choice = choose(sleeper_.now());
        if (choice.retry != pending_.end() || choice.record) {
            if (auto unit = startUnit(lock))
                return unit;
            continue;
        }
        if (allDone()) {
            changed_.notify_all();
            return std::nullopt;
        }
        if (choice.wake && !clockWatched_)
            waitForClock(lock);
        else
            changed_.wait(lock);  // a unit in flight or the slot on the clock wakes it
    }
}

// Takes the turn, asks whether the batch stops, and starts what may start
// then: the unit, with unitStarted told; none when nothing may.
std::optional<Unit> SchedulerRun::startUnit(std::unique_lock<std::mutex>& lock) {
    callingOut_ = true;
    if (const auto reason = stopReason(lock)) {
        stopWith(*reason);
        letGo(lock);
        return std::nullopt;
    }
    // Attempts that ended while the mutex was released may have changed what
    // may start.
    const Choice choice = choose(sleeper_.now());
    if (ending_ || (choice.retry == pending_.end() && !choice.record)) {
        letGo(lock);
        return std::nullopt;
    }
    Unit unit;
    if (choice.retry != pending_.end()) {
        unit = choice.retry->unit;
        ++unit.attempt;
        pending_.erase(choice.retry);
    } else {
        unit.index = next_++;
        unit.target = targets_[unit.index];
        unit.number = ++outcome_.attempted;
        unit.attempt = 1;
    }
    inFlight_.insert(SharedStatusPort::addressKey(unit.target));
    ++running_;
    if (callbacks_.unitStarted) {
        lock.unlock();
        callbacks_.unitStarted(unit);
        lock.lock();
    }
    letGo(lock);
    return unit;
}

// Nothing may start before a unit's next attempt or restart is due: asks
// whether the batch stops, then sleeps towards that moment in short steps.
void SchedulerRun::waitForClock(std::unique_lock<std::mutex>& lock) {
    clockWatched_ = true;
    callingOut_ = true;
    if (const auto reason = stopReason(lock))
        stopWith(*reason);
    letGo(lock);
    const Clock::time_point now = sleeper_.now();
    const Choice choice = choose(now);
    if (!ending_ && choice.retry == pending_.end() && !choice.record && choice.wake) {
        const auto wait =
            std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*choice.wake - now),
                       std::chrono::milliseconds(1), kRetryLook);
        lock.unlock();
        sleeper_.sleepFor(wait);
        lock.lock();
    }
    clockWatched_ = false;
    changed_.notify_all();
}

// Counts the attempt's result and hands it to the callbacks: told at once,
// unless another slot holds the turn (that one tells it before it lets go,
// and this slot goes on).
void SchedulerRun::attemptEnded(std::unique_lock<std::mutex>& lock, const Unit& unit,
                                engine::ProgramResult result) {
    const bool again =
        unit.attempt <= policy_.retries && ParallelScheduler::mayRetry(unit.target, result);
    const std::string key = SharedStatusPort::addressKey(unit.target);
    --running_;
    inFlight_.erase(key);
    const Clock::time_point now = sleeper_.now();
    if (!slotTakesPause_ && afterUnit(result) == AfterUnit::PauseThenNext)
        restarting_[key] = now + engine::timing::kPauseAfterConfirmedUnit;
    if (again && !ending_) {
        pending_.push_back({unit, now + policy_.retryPause, result});
        ended_.push_back({unit, result, true});
    } else {
        settle(unit, result);
        ended_.push_back({unit, result, false});
    }
    if (!callingOut_) {
        callingOut_ = true;
        letGo(lock);
    }
    changed_.notify_all();
}

SchedulerRun::Choice SchedulerRun::choose(Clock::time_point now) {
    Choice choice{pending_.end(), false, std::nullopt};
    const auto heldUntil = [&](Clock::time_point moment) {
        if (!choice.wake || moment < *choice.wake)
            choice.wake = moment;
    };
    // Canary units run alone, each after the last has finished.
    const bool canaryPhase = canaryDone_ < canaryCount_;
    if (canaryPhase && running_ > 0)
        return choice;
    // A unit due for its next attempt goes before new records. One whose
    // address is in flight waits for that unit's end.
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        const std::string key = SharedStatusPort::addressKey(it->unit.target);
        if (inFlight_.count(key))
            continue;
        const Clock::time_point ready = std::max(it->due, restartEnds(key, now).value_or(it->due));
        if (ready > now)
            heldUntil(ready);
        else if (choice.retry == pending_.end() || it->due < choice.retry->due)
            choice.retry = it;
    }
    if (choice.retry != pending_.end() || next_ >= targets_.size() ||
        (canaryPhase && next_ >= canaryCount_))
        return choice;
    // Records are taken in list order; a record whose address is in flight or
    // restarting waits for it rather than being skipped.
    const std::string key = SharedStatusPort::addressKey(targets_[next_]);
    if (inFlight_.count(key))
        return choice;
    if (const auto end = restartEnds(key, now))
        heldUntil(*end);
    else
        choice.record = true;
    return choice;
}

// When the restart pause of the unit at this address ends, if it has not.
std::optional<Clock::time_point> SchedulerRun::restartEnds(const std::string& key,
                                                           Clock::time_point now) {
    const auto found = restarting_.find(key);
    if (found == restarting_.end())
        return std::nullopt;
    if (found->second <= now) {
        restarting_.erase(found);
        return std::nullopt;
    }
    return found->second;
}

// A unit's final result, as the batch's rules count it.
void SchedulerRun::settle(const Unit& unit, engine::ProgramResult result) {
    if (!result.isProgrammed())
        ++outcome_.failed;
    const bool canary = unit.index < canaryCount_;
    if (canary)
        ++canaryDone_;
    if (afterUnit(result) == AfterUnit::EndBatch) {
        ending_ = true;
        outcome_.endedByFailure = true;
    } else if (canary && !result.isProgrammed() && !ending_) {
        stopWith(StopReason::CanaryFailed);
    }
}

void SchedulerRun::stopWith(StopReason reason) {
    ending_ = true;
    outcome_.stopped = true;
    outcome_.reason = reason;
    changed_.notify_all();
}

bool SchedulerRun::allDone() const {
    return next_ >= targets_.size() && pending_.empty() && running_ == 0;
}

// With the turn: tells every ended attempt, in order.
// The attempts that ended meanwhile are taken all at once and told with the
// mutex released: with thousands of units ending together, taking the mutex
// back after each one (against every slot that ends an attempt) cost more
// than telling them.
void SchedulerRun::tellEnded(std::unique_lock<std::mutex>& lock) {
    while (!ended_.empty()) {
        std::deque<Ended> attempts;
        attempts.swap(ended_);
        lock.unlock();
        for (const Ended& attempt : attempts) {
            if (attempt.retried) {
                if (callbacks_.attemptRetried)
                    callbacks_.attemptRetried(attempt.unit, attempt.result);
            } else if (callbacks_.unitFinished) {
                callbacks_.unitFinished(attempt.unit, attempt.result);
            }
        }
        if (callbacks_.endsTold)
            callbacks_.endsTold();
        lock.lock();
    }
}

// Gives the turn back, once every ended attempt has been told. One waiting
// slot is woken to take it: every idle slot sees the same state, so the one
// woken does what any could, and wakes the next when it lets go in turn.
// Waking them all made starting thousands of slots cost seconds of CPU.
void SchedulerRun::letGo(std::unique_lock<std::mutex>& lock) {
    tellEnded(lock);
    callingOut_ = false;
    changed_.notify_one();
}

// With the turn: why no further unit may start, if any. Attempts that end
// while the stop check is asked are told, and the check asked again: a line
// that could not be written is a reason to stop.
std::optional<StopReason> SchedulerRun::stopReason(std::unique_lock<std::mutex>& lock) {
    for (;;) {
        tellEnded(lock);
        if (policy_.maxFailures != 0 && outcome_.failed >= policy_.maxFailures)
            return StopReason::FailureLimit;
        if (!callbacks_.stopRequested)
            return std::nullopt;
        lock.unlock();
        const bool stop = callbacks_.stopRequested();
        lock.lock();
        if (stop)
            return StopReason::StopRequested;
        if (ended_.empty())
            return std::nullopt;
    }
}

// With the turn, once no slot holds it: before any thread starts when the
// descriptors are short, or as soon as a thread could not be started.
void SchedulerRun::tellSlotsLimited(std::unique_lock<std::mutex>& lock, std::size_t slots,
                                    std::size_t asked, const std::string& reason) {
    if (!callbacks_.slotsLimited)
        return;
    // Slots may be at work already: the turn is taken like theirs.
    while (callingOut_)
        changed_.wait(lock);
    callingOut_ = true;
    lock.unlock();
    callbacks_.slotsLimited(slots, asked, reason);
    lock.lock();
    letGo(lock);
}

// Units still waiting for another attempt when the batch ended keep the
// result of their last one, in list order. The slots have ended.
void SchedulerRun::tellStillWaiting() {
    std::sort(pending_.begin(), pending_.end(),
              [](const Pending& a, const Pending& b) { return a.unit.index < b.unit.index; });
    for (const Pending& waiting : pending_) {
        if (callbacks_.unitFinished)
            callbacks_.unitFinished(waiting.unit, waiting.last);
        if (!waiting.last.isProgrammed())
            ++outcome_.failed;
    }
}

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
    SchedulerRun run(jobs_, sleeper_, policy_, targets, callbacks);
    return run.run();
}

}  // namespace fleet
