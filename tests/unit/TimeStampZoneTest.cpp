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

// One zone at one chosen instant: what the message must carry.
struct ZoneCase {
    const char* name;  // for the test's name
    const char* zone;  // TZ
    std::time_t instant;
    long minutesWest;
    int daylight;
    const char* prefix;  // the message up to the zone values
};

class TimeStampZone : public ::testing::TestWithParam<ZoneCase> {};

TEST_P(TimeStampZone, OffsetIsStandardTimeAndTheFlagSaysWhetherTheClockIsAheadOfIt) {
    const ZoneCase& c = GetParam();
    ZoneScope zone(c.zone);
    const auto reading = platform::localClockAt(c.instant);
    EXPECT_EQ(reading.standardMinutesWest, c.minutesWest);
    EXPECT_EQ(reading.daylightFlag, c.daylight);
    const std::string text = engine::proto::timeStampText(
        reading.local, reading.standardMinutesWest, reading.daylightFlag);
    EXPECT_EQ(text, std::string(c.prefix) + ", " + std::to_string(c.minutesWest) + ", " +
                        std::to_string(c.daylight));
}

// Ireland keeps GMT in winter and Irish summer time (one hour ahead) in summer;
// the database calls the summer hour standard and winter a negative shift.
// Morocco keeps +01 but goes back to +00 for Ramadan, also a negative shift in
// the database: its standard time is +00, and the clock is ahead of it outside
// Ramadan. Lord Howe Island moves by half an hour.
INSTANTIATE_TEST_SUITE_P(
    Zones, TimeStampZone,
    ::testing::Values(ZoneCase{"DublinDecember", "Europe/Dublin", utc(2026, 12, 15, 12, 0), 0, 0,
                               "TSBCJ12-15-26, 12-00-00"},
                      ZoneCase{"DublinJuly", "Europe/Dublin", utc(2027, 7, 15, 11, 0), 0, 1,
                               "TSBCJ07-15-27, 12-00-00"},
                      ZoneCase{"CasablancaRamadan", "Africa/Casablanca", utc(2027, 2, 20, 12, 0), 0,
                               0, "TSBCJ02-20-27, 12-00-00"},
                      ZoneCase{"CasablancaJuly", "Africa/Casablanca", utc(2027, 7, 15, 11, 0), 0, 1,
                               "TSBCJ07-15-27, 12-00-00"},
                      ZoneCase{"NewYorkJanuary", "America/New_York", utc(2027, 1, 15, 17, 0), 300,
                               0, "TSBCJ01-15-27, 12-00-00"},
                      ZoneCase{"NewYorkJuly", "America/New_York", utc(2027, 7, 15, 16, 0), 300, 1,
                               "TSBCJ07-15-27, 12-00-00"},
                      ZoneCase{"BerlinJanuary", "Europe/Berlin", utc(2027, 1, 15, 11, 0), -60, 0,
                               "TSBCJ01-15-27, 12-00-00"},
                      ZoneCase{"BerlinJuly", "Europe/Berlin", utc(2027, 7, 15, 10, 0), -60, 1,
                               "TSBCJ07-15-27, 12-00-00"},
                      ZoneCase{"Kolkata", "Asia/Kolkata", utc(2027, 3, 1, 3, 35), -330, 0,
                               "TSBCJ03-01-27, 09-05-00"},
                      ZoneCase{"LordHoweJanuary", "Australia/Lord_Howe", utc(2027, 1, 15, 1, 0),
                               -630, 1, "TSBCJ01-15-27, 12-00-00"},
                      ZoneCase{"LordHoweJuly", "Australia/Lord_Howe", utc(2027, 7, 15, 1, 30), -630,
                               0, "TSBCJ07-15-27, 12-00-00"},
                      ZoneCase{"Utc", "UTC", utc(2026, 12, 7, 11, 49), 0, 0,
                               "TSBCJ12-07-26, 11-49-00"},
                      // A rule in TZ itself, not a zone file: read like any zone.
                      ZoneCase{"PosixRuleJuly", "EST5EDT,M3.2.0,M11.1.0", utc(2027, 7, 15, 16, 0),
                               300, 1, "TSBCJ07-15-27, 12-00-00"},
                      // A zone that does not exist: the C library runs on UTC and says
                      // nothing, so the flag says the settings could not be read.
                      ZoneCase{"BogusZone", "Nowhere/Bogus", utc(2027, 7, 15, 12, 0), 0, -1,
                               "TSBCJ07-15-27, 12-00-00"},
                      ZoneCase{"BogusZoneFile", ":Nowhere/Bogus", utc(2027, 7, 15, 12, 0), 0, -1,
                               "TSBCJ07-15-27, 12-00-00"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

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
