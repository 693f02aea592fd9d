#pragma once

#include <ctime>

namespace platform {

// The local wall clock and the zone values the units expect with it.
struct LocalClockReading {
    std::tm local{};               // current time, broken down in the local zone
    long standardMinutesWest = 0;  // standard-time offset, positive west of UTC
    int daylightFlag = -1;         // 1 in daylight saving time, 0 not, -1 unknown
};

// Reads the clock once and the zone right after, as the time-stamp message needs.
LocalClockReading readLocalClock();

// The same for a given instant (used by the batch log and by tests).
LocalClockReading localClockAt(std::time_t instant);

}  // namespace platform
