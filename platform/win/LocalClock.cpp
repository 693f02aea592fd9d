#include "platform/LocalClock.h"

#include <windows.h>

#include <cstdio>

namespace platform {

namespace {

// Seconds between 1601-01-01 (FILETIME's start) and 1970-01-01.
constexpr long long kEpochDifference = 11644473600LL;

SYSTEMTIME systemTimeOf(std::time_t instant) {
    const unsigned long long ticks =
        (static_cast<unsigned long long>(instant) + kEpochDifference) * 10000000ULL;
    FILETIME file{static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME result{};
    FileTimeToSystemTime(&file, &result);
    return result;
}

long long secondsOf(const SYSTEMTIME& time) {
    FILETIME file{};
    SystemTimeToFileTime(&time, &file);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
    return static_cast<long long>(ticks / 10000000ULL) - kEpochDifference;
}

int dayOfYear(const SYSTEMTIME& time) {
    static const int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int year = time.wYear;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return kBefore[time.wMonth - 1] + time.wDay - 1 + (leap && time.wMonth > 2 ? 1 : 0);
}

struct ZoneAt {
    std::tm local{};
    long eastSeconds = 0;   // the offset in effect at the instant
    long standardWest = 0;  // minutes west of UTC without any seasonal shift
    bool readable = false;
};

// The zone Windows is set to, as its rules stood in the instant's year. Windows
// keeps "standard" as the zone's own time and its daylight time as the shift
// ahead of it, which is what units expect; no working out as on POSIX.
ZoneAt zoneAt(std::time_t instant) {
    ZoneAt zone;
    const SYSTEMTIME utc = systemTimeOf(instant);
    SYSTEMTIME local = utc;
    DYNAMIC_TIME_ZONE_INFORMATION dynamic{};
    TIME_ZONE_INFORMATION rules{};
    if (GetDynamicTimeZoneInformation(&dynamic) != TIME_ZONE_ID_INVALID &&
        GetTimeZoneInformationForYear(utc.wYear, &dynamic, &rules) &&
        SystemTimeToTzSpecificLocalTime(&rules, &utc, &local)) {
        zone.readable = true;
        zone.standardWest = rules.Bias + rules.StandardBias;
        zone.eastSeconds = static_cast<long>(secondsOf(local) - secondsOf(utc));
    } else {
        local = utc;
    }
    zone.local.tm_year = local.wYear - 1900;
    zone.local.tm_mon = local.wMonth - 1;
    zone.local.tm_mday = local.wDay;
    zone.local.tm_hour = local.wHour;
    zone.local.tm_min = local.wMinute;
    zone.local.tm_sec = local.wSecond;
    zone.local.tm_wday = local.wDayOfWeek;
    zone.local.tm_yday = dayOfYear(local);
    zone.local.tm_isdst = zone.readable ? (zone.eastSeconds > -zone.standardWest * 60 ? 1 : 0) : -1;
    return zone;
}

}  // namespace

LocalClockReading localClockAt(std::time_t instant) {
    const ZoneAt zone = zoneAt(instant);
    LocalClockReading reading;
    reading.local = zone.local;
    reading.standardMinutesWest = zone.readable ? zone.standardWest : 0;
    reading.daylightFlag =
        zone.readable ? (zone.eastSeconds > -zone.standardWest * 60 ? 1 : 0) : -1;
    return reading;
}

std::string isoLocalTime(std::chrono::system_clock::time_point instant) {
    const ZoneAt zone = zoneAt(std::chrono::system_clock::to_time_t(instant));
    char text[64] = {};
    const std::size_t used = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &zone.local);
    const long east = zone.eastSeconds;
    const int minutes = static_cast<int>(((east < 0 ? -east : east) / 60) % (24 * 60));
    char offset[16] = {};
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", east < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return std::string(text, used) + offset;
}

LocalClockReading readLocalClock() {
    return localClockAt(std::time(nullptr));
}

}  // namespace platform
