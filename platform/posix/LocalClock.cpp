#include "platform/LocalClock.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace platform {

namespace {

// How far either way the other season is looked for, in steps of a day: far
// enough to cover a whole year of rules, fine enough not to step over a
// month-long period such as Ramadan.
constexpr int kSearchDays = 370;
constexpr std::time_t kDay = 24 * 60 * 60;

// Whether the file begins like a compiled zone ("TZif").
bool isZoneFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char magic[4] = {};
    const bool zone = ::read(fd, magic, sizeof magic) == 4 && std::string(magic, 4) == "TZif";
    ::close(fd);
    return zone;
}

// A rule of the form the C library reads from TZ when no zone file has the
// name, such as "EST5EDT" or "<+0530>-5:30": a zone name of at least three
// letters (or one in angle brackets) followed by an offset. Without the offset
// the library silently falls back to UTC.
bool isPosixRule(const std::string& rule) {
    std::size_t at = 0;
    if (!rule.empty() && rule[0] == '<') {
        at = rule.find('>');
        if (at == std::string::npos || at < 4)
            return false;
        ++at;
    } else {
        while (at < rule.size() && std::isalpha(static_cast<unsigned char>(rule[at])))
            ++at;
        if (at < 3)
            return false;
    }
    if (at < rule.size() && (rule[at] == '+' || rule[at] == '-'))
        ++at;
    return at < rule.size() && std::isdigit(static_cast<unsigned char>(rule[at]));
}

// False when the C library could not read the zone it was pointed at and is
// quietly running on UTC instead.
bool zoneSettingsReadable() {
    const char* tz = std::getenv("TZ");
    if (tz == nullptr) {
        // No /etc/localtime at all is the system's documented way of saying UTC.
        return ::access("/etc/localtime", F_OK) != 0 || isZoneFile("/etc/localtime");
    }
    std::string name = tz;
    if (!name.empty() && name[0] == ':')
        name.erase(0, 1);
    if (name.empty())
        return true;  // an empty TZ means UTC
    if (name[0] == '/')
        return isZoneFile(name);
    const char* folder = std::getenv("TZDIR");
    const std::string zones = folder && *folder ? folder : "/usr/share/zoneinfo";
    if (name.find("..") == std::string::npos && isZoneFile(zones + "/" + name))
        return true;
    return tz[0] != ':' && isPosixRule(name);
}

}  // namespace

LocalClockReading localClockAt(std::time_t instant) {
    LocalClockReading reading;
    ::tzset();
    if (::localtime_r(&instant, &reading.local) == nullptr)
        return reading;
    const long offsetNow = reading.local.tm_gmtoff;  // seconds east of UTC
    long standard = offsetNow;
    if (reading.local.tm_isdst >= 0) {
        // The nearest day, before or after, that the database marks the other
        // way; its offset and the present one are the zone's pair.
        for (int day = 1; day <= kSearchDays; ++day) {
            bool found = false;
            for (const std::time_t other : {instant + day * kDay, instant - day * kDay}) {
                std::tm then{};
                if (::localtime_r(&other, &then) != nullptr && then.tm_isdst >= 0 &&
                    (then.tm_isdst > 0) != (reading.local.tm_isdst > 0)) {
                    standard = std::min(offsetNow, static_cast<long>(then.tm_gmtoff));
                    found = true;
                    break;
                }
            }
            if (found)
                break;
        }
    }
    reading.standardMinutesWest = -standard / 60;
    reading.daylightFlag = zoneSettingsReadable() ? (offsetNow > standard ? 1 : 0) : -1;
    return reading;
}

std::string isoLocalTime(std::chrono::system_clock::time_point instant) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(instant);
    std::tm local{};
    ::tzset();
    if (::localtime_r(&seconds, &local) == nullptr)
        return {};
    char text[64] = {};
    const std::size_t used = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long east = local.tm_gmtoff;
    // Offsets stay within a day; the cast keeps the text short for certain.
    const int minutes = static_cast<int>(((east < 0 ? -east : east) / 60) % (24 * 60));
    char zone[16] = {};
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", east < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return std::string(text, used) + zone;
}

LocalClockReading readLocalClock() {
    return localClockAt(std::time(nullptr));
}

}  // namespace platform
