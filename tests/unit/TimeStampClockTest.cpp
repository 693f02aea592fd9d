// The time-stamp message built from this machine's own clock under several
// zones: the text must be the local time of the moment, the offset that of
// standard time whatever the season, and the flag must say whether daylight
// saving time is in effect right now.
#include "fleet/TimeStampBroadcast.h"
#include "platform/LocalClock.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <ostream>
#include <string>

namespace {

class ZoneTest : public ::testing::TestWithParam<std::pair<const char*, long>> {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("TZ"))
            saved_ = old;
        hadTz_ = std::getenv("TZ") != nullptr;
        ::setenv("TZ", GetParam().first, 1);
        ::tzset();
    }
    void TearDown() override {
        if (hadTz_)
            ::setenv("TZ", saved_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved_;
    bool hadTz_ = false;
};

// The message for an instant, worked out from UTC and the zone's known offsets
// rather than from the C library's local-time conversion.
std::string expectedMessage(std::time_t instant, long standardMinutesWest, int daylight) {
    const std::time_t shifted = instant - standardMinutesWest * 60 + (daylight ? 3600 : 0);
    std::tm wall{};
    ::gmtime_r(&shifted, &wall);
    char text[64];
    std::strftime(text, sizeof text, "TSBCJ%m-%d-%y, %H-%M-%S", &wall);
    return std::string(text) + ", " + std::to_string(standardMinutesWest) + ", " +
           std::to_string(daylight);
}

}  // namespace

TEST_P(ZoneTest, MessageFromTheMachinesClock) {
    const long standardMinutesWest = GetParam().second;
    const std::time_t before = std::time(nullptr);
    const platform::LocalClockReading reading = platform::readLocalClock();
    const std::time_t after = std::time(nullptr);

    EXPECT_EQ(reading.standardMinutesWest, standardMinutesWest);
    ASSERT_TRUE(reading.daylightFlag == 0 || reading.daylightFlag == 1) << reading.daylightFlag;
    // Daylight saving time is in effect exactly when the zone's present offset
    // is not its standard one.
    EXPECT_EQ(reading.daylightFlag == 1, reading.local.tm_gmtoff != -standardMinutesWest * 60)
        << "offset now " << reading.local.tm_gmtoff;

    const std::string message = fleet::timeStampMessage(reading);
    EXPECT_TRUE(message == expectedMessage(before, standardMinutesWest, reading.daylightFlag) ||
                message == expectedMessage(after, standardMinutesWest, reading.daylightFlag))
        << message << " vs " << expectedMessage(before, standardMinutesWest, reading.daylightFlag);
}

INSTANTIATE_TEST_SUITE_P(Zones, ZoneTest,
                         ::testing::Values(std::pair{"America/New_York", 300L},
                                           std::pair{"Europe/Berlin", -60L},
                                           std::pair{"Asia/Kolkata", -330L}, std::pair{"UTC", 0L},
                                           std::pair{"Australia/Adelaide", -570L}),
                         [](const auto& testCase) {
                             std::string name = testCase.param.first;
                             for (char& c : name)
                                 if (c == '/')
                                     c = '_';
                             return name;
                         });

// Daylight saving time in January, standard time in July; the offset sent
// stays that of standard time in both.
struct SeasonCase {
    const char* name;
    const char* zone;
    int month;
    long minutesWest;
    int daylight;
};

void PrintTo(const SeasonCase& c, std::ostream* out) {
    *out << c.name;
}

class SouthernSeason : public ::testing::TestWithParam<SeasonCase> {};

TEST_P(SouthernSeason, KeepsTheStandardOffset) {
    const SeasonCase& c = GetParam();
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", c.zone, 1);
    ::tzset();
    std::tm noon{};
    noon.tm_year = 2027 - 1900;
    noon.tm_mon = c.month - 1;
    noon.tm_mday = 15;
    noon.tm_hour = 12;
    const std::time_t instant = ::timegm(&noon);
    const auto reading = platform::localClockAt(instant);
    EXPECT_EQ(fleet::timeStampMessage(reading),
              expectedMessage(instant, c.minutesWest, c.daylight));
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

INSTANTIATE_TEST_SUITE_P(
    ZoneSeasons, SouthernSeason,
    ::testing::Values(SeasonCase{"SydneyJanuary", "Australia/Sydney", 1, -600, 1},
                      SeasonCase{"SydneyJuly", "Australia/Sydney", 7, -600, 0}),
    [](const auto& testCase) { return std::string(testCase.param.name); });
