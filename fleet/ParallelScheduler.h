#pragma once

#include "engine/ProgramResult.h"
#include "platform/Sleeper.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Runs the units of a list several at a time, keeping the batch's rules per
// unit: the pause after a programmed or unconfirmed unit is taken by that unit's
// slot before it takes the next record; a host-side failure (1 to 99) or a stop
// request lets the units in flight finish and starts no new one. The same
// address is never programmed twice at once, and print queues are served one
// at a time (the spooler serialises them anyway).
class ParallelScheduler {
public:
    struct Unit {
        std::size_t number;  // 1-based position in the order units were started
        std::size_t index;   // 0-based position in the list
        std::string target;
    };

    struct Callbacks {
        // Programs one unit; runs on a worker thread.
        std::function<ProgramResult(const Unit&)> programUnit;
        // Called one at a time, in the order units finish, before the slot pauses.
        std::function<void(const Unit&, ProgramResult)> unitFinished;
        // Called one at a time when a unit starts.
        std::function<void(const Unit&)> unitStarted;
        // Examined once per record, after it is taken and before its unit starts.
        std::function<bool()> stopRequested;
    };

    struct Outcome {
        std::size_t attempted = 0;    // units started (and finished)
        bool endedByFailure = false;  // a result from 1 to 99 ended the batch
        bool stopped = false;         // a stop request ended it
    };

    ParallelScheduler(std::size_t jobs, platform::Sleeper& sleeper);

    Outcome run(const std::vector<std::string>& targets, const Callbacks& callbacks);

    // True for targets the programming sequence sends to a print queue.
    static bool isPrintQueueTarget(const std::string& target);

private:
    std::size_t jobs_;
    platform::Sleeper& sleeper_;
};
