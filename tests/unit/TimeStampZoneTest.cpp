// The zone values the time stamp carries, under real time-zone rules.
#include "engine/Protocol.h"
#include "platform/LocalClock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// Runs with TZ set to a zone and puts the old value back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ"))
            saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope() {
        if (saved_.empty())
            ::unsetenv("TZ");
        else
            ::setenv("TZ", saved_.c_str(), 1);
        ::tzset();
    }

private:
    std::string saved_;
};

std::time_t utc(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    return ::timegm(&t);
}

}  // namespace

TEST(TimeStampZone, StandardOffsetNeverIncludesDaylightSaving) {
    struct Case {
        const char* zone;
        std::time_t instant;
        long minutesWest;
        int daylight;
        const char* prefix;
    };
    const Case cases[] = {
        {"America/New_York", utc(2027, 1, 15, 17, 0), 300, 0, "TSBCJ01-15-27, 12-00-00"},
        {"America/New_York", utc(2027, 7, 15, 16, 0), 300, 1, "TSBCJ07-15-27, 12-00-00"},
        {"Europe/Berlin", utc(2027, 1, 15, 11, 0), -60, 0, "TSBCJ01-15-27, 12-00-00"},
        {"Europe/Berlin", utc(2027, 7, 15, 10, 0), -60, 1, "TSBCJ07-15-27, 12-00-00"},
        {"Asia/Kolkata", utc(2027, 3, 1, 3, 35), -330, 0, "TSBCJ03-01-27, 09-05-00"},
        {"UTC", utc(2026, 12, 7, 11, 49), 0, 0, "TSBCJ12-07-26, 11-49-00"},
    };
    for (const auto& c : cases) {
        ZoneScope zone(c.zone);
        const auto reading = platform::localClockAt(c.instant);
        EXPECT_EQ(reading.standardMinutesWest, c.minutesWest) << c.zone;
        EXPECT_EQ(reading.daylightFlag, c.daylight) << c.zone;
        const std::string text =
            proto::timeStampText(reading.local, reading.standardMinutesWest, reading.daylightFlag);
        EXPECT_EQ(text, std::string(c.prefix) + ", " + std::to_string(c.minutesWest) + ", " +
                            std::to_string(c.daylight));
    }
}

TEST(TimeStampZone, TheMachinesClockMatchesTheCLibrary) {
    ZoneScope zone("America/Los_Angeles");
    const auto reading = platform::readLocalClock();
    const std::time_t now = std::time(nullptr);
    std::tm expected{};
    ::localtime_r(&now, &expected);
    EXPECT_EQ(reading.standardMinutesWest, 480);
    EXPECT_EQ(reading.daylightFlag, expected.tm_isdst > 0 ? 1 : 0);
    EXPECT_EQ(reading.local.tm_hour, expected.tm_hour);
}
