#pragma once

#include "engine/ProgramResult.h"
#include "platform/Sleeper.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace fleet {

// Runs the units of a list several at a time (or one at a time), keeping the
// batch's rules per unit: a programmed or unconfirmed unit gets its time to
// restart, and a host-side failure (1 to 99) or a stop request lets the units
// in flight finish and starts no new one. With one slot, that slot runs on the
// calling thread and sleeps each unit's restart pause before it takes the next
// record, the last unit's included. With more, the pause is the unit's alone:
// its slot takes the next record at once, and only the same address (its next
// attempt, or the address again further down the list) waits for the pause to
// end; the run returns without waiting for the pauses of units that have no
// further attempt. The same address is never programmed twice at once, and
// print queues are served one at a time (the spooler serialises them anyway).
//
// On top of that, a policy may ask for more attempts at units that may well
// succeed on another try, a limit on failed units, and canary units that must
// all succeed, one after the other, before the rest start.
class ParallelScheduler {
public:
    // The most units programmed at once. Each slot is a thread (8 MiB of
    // address space reserved for its stack, little of it used) and holds up
    // to kDescriptorsPerSlot files and sockets while its unit runs: 5,000
    // slots are 40 GiB reserved and some 15,000 descriptors, far past the
    // usual soft limit of 1,024 but within the hard limit most systems give
    // (20,000 in the smallest containers seen).
    // It is the largest fleet the batch is measured with at once (bench_fleet
    // --busy); a larger count is more likely a typing error than a fleet.
    static constexpr std::size_t kMostJobs = 5000;
    // A unit in flight holds its image file and one socket at a time (the
    // data connection, the probes' or a query's datagram socket; each is
    // closed before the next is made): two, and one to spare (measured: 410
    // descriptors at the peak of 200 units at once, with --report).
    static constexpr std::size_t kDescriptorsPerSlot = 3;
    // Everything else: standard streams, log, report, list, the status port
    // and its wake-up, the spooler's connection.
    static constexpr std::size_t kDescriptorsBeside = 64;

    struct Unit {
        std::size_t number = 0;  // 1-based position in the order units first started
        std::size_t index = 0;   // 0-based position in the list
        std::string target;
        int attempt = 1;  // 1 for the first attempt, 2 for the first retry, ...
    };

    struct Policy {
        // Further attempts for a unit whose attempt may succeed another time
        // (see mayRetry); the batch-ending rule for host failures then applies
        // to its last attempt only.
        int retries = 0;
        // From an attempt's end to the unit's next attempt; the other units
        // go on meanwhile. The next attempt never starts before the unit's
        // restart pause has ended either.
        std::chrono::milliseconds retryPause{10000};
        // Once this many units have finally failed (any result but 0), no
        // further unit starts, as on a stop request. 0: no limit.
        std::size_t maxFailures = 0;
        // The first this many units of the list run one by one before any
        // other starts; if one of them finally fails, no further unit starts.
        std::size_t canary = 0;
    };

    // programUnit runs on the worker threads, several at once (with one slot,
    // on the thread that called run, which starts no thread). The others run
    // on whichever worker has the turn, one at a time and never with the
    // scheduler's lock held, so a slow one holds up no worker that ends an
    // attempt, and one may wait for another unit's attempt to end. While one
    // of them runs, no unit starts.
    struct Callbacks {
        // Programs one unit (one attempt).
        std::function<engine::ProgramResult(const Unit&)> programUnit;
        // Called once per unit with its final result (unit.attempt is then
        // the number of attempts made), in the order units finish; it has
        // returned before any further unit starts.
        std::function<void(const Unit&, engine::ProgramResult)> unitFinished;
        // Called after the attempts that ended together have been told
        // (unitFinished, attemptRetried), before any further unit starts:
        // their records reach the disk here, in one flush for them all.
        std::function<void()> endsTold;
        // Called for an attempt that will be followed by another after the
        // retry pause, in its place among the units' ends.
        std::function<void(const Unit&, engine::ProgramResult)> attemptRetried;
        // Called when an attempt starts, before its programUnit.
        std::function<void(const Unit&)> unitStarted;
        // Asked before each record or retry starts (again when attempts ended
        // while it was asked), and while the batch waits for a retry.
        std::function<bool()> stopRequested;
        // Called at most once, before any unit starts, when fewer slots than
        // asked can run: the process may not open enough descriptors for them
        // (after raising its own limit as far as it may), or the system would
        // start no further thread (a process limit). The batch goes on with
        // the slots it has; reason says why in words.
        std::function<void(std::size_t slots, std::size_t asked, const std::string& reason)>
            slotsLimited;
    };

    enum class StopReason {
        None,
        StopRequested,  // stopRequested() said so
        FailureLimit,   // Policy::maxFailures units failed
        CanaryFailed,   // a canary unit failed
    };

    struct Outcome {
        std::size_t attempted = 0;    // units started (each counted once, whatever its attempts)
        std::size_t failed = 0;       // units whose final result was not 0
        bool endedByFailure = false;  // a final result from 1 to 99 ended the batch
        bool stopped = false;         // it stopped before the end of the list: see reason
        StopReason reason = StopReason::None;
    };

    ParallelScheduler(std::size_t jobs, platform::Sleeper& sleeper);
    ParallelScheduler(std::size_t jobs, platform::Sleeper& sleeper, Policy policy);

    [[nodiscard]] Outcome run(const std::vector<std::string>& targets, const Callbacks& callbacks);

    // True for targets the programming sequence sends to a print queue.
    static bool isPrintQueueTarget(const std::string& target);
    // A unit on the network path that ended unconfirmed or could not be
    // reached may well succeed another time; a print queue's delivery, an
    // image that cannot be read or the unit's own verdict would not change.
    static bool mayRetry(const std::string& target, engine::ProgramResult result);

private:
    std::size_t jobs_;
    platform::Sleeper& sleeper_;
    Policy policy_;
};

}  // namespace fleet
