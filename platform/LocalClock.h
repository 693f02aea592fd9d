#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace platform {

// The local wall clock and the zone values the units expect with it.
struct LocalClockReading {
    std::tm local{};               // current time, broken down in the local zone
    long standardMinutesWest = 0;  // standard-time offset, positive west of UTC
    int daylightFlag = -1;         // 1 while the clock is ahead of standard time, 0 not,
                                   // -1 when the zone settings cannot be read
};

// Reads the clock once and the zone right after, as the time-stamp message needs.
LocalClockReading readLocalClock();

// The same for a given instant (used by the batch log and by tests).
//
// Units take "standard time" as the zone's own time without any seasonal
// shift and the flag as "one shift ahead of it". The time-zone database does
// not always agree: for Dublin it calls Irish summer time standard and winter a
// negative shift, for Casablanca the Ramadan hour is a negative shift. So the
// two values are worked out from what the clock really shows: the standard
// offset is the lesser of the zone's two offsets around the instant (the one
// in effect now and the one of the nearest period the database marks the
// other way), and the flag is 1 exactly while the present offset is the
// greater one.
LocalClockReading localClockAt(std::time_t instant);

// The instant as local ISO 8601 text with its offset from UTC, to the second:
// "2026-12-08T16:18:02+01:00" ("...Z" never: a zone at UTC gives "+00:00").
std::string isoLocalTime(std::chrono::system_clock::time_point instant);

}  // namespace platform
