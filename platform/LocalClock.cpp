#include "platform/LocalClock.h"

#include <time.h>

namespace platform {

LocalClockReading localClockAt(std::time_t instant) {
    LocalClockReading reading;
    ::tzset();
    if (::localtime_r(&instant, &reading.local) == nullptr) {
        reading.daylightFlag = -1;
        return reading;
    }
    // glibc's `timezone` is the standard-time offset in seconds west of UTC; it
    // never includes the daylight shift, which is exactly what units expect.
    reading.standardMinutesWest = ::timezone / 60;
    reading.daylightFlag = reading.local.tm_isdst > 0 ? 1 : (reading.local.tm_isdst == 0 ? 0 : -1);
    return reading;
}

LocalClockReading readLocalClock() {
    return localClockAt(std::time(nullptr));
}

}  // namespace platform
