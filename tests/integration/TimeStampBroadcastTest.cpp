// The time-stamp broadcast received by simulated units on the loopback
// broadcast address.
#include "engine/Endpoints.h"
#include "fleet/TimeStampBroadcast.h"
#include "sim/UnitSimulator.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testing_support::everyUnitReadEarlierDatagrams;
using testing_support::freeTcpPort;
using testing_support::freeUdpPort;
using testing_support::RecordingOperator;
using testing_support::uniqueLoopbackAddress;

// 11:49:29 on 7 December 2026, five hours west of UTC, no daylight saving time.
platform::LocalClockReading decemberMorning() {
    platform::LocalClockReading reading;
    reading.local.tm_year = 2026 - 1900;
    reading.local.tm_mon = 11;
    reading.local.tm_mday = 7;
    reading.local.tm_hour = 11;
    reading.local.tm_min = 49;
    reading.local.tm_sec = 29;
    reading.standardMinutesWest = 300;
    reading.daylightFlag = 0;
    return reading;
}

struct TimeStamp : ::testing::Test {
    sim::SimulatorOptions simOptions;
    engine::Endpoints endpoints;
    RecordingOperator op;
    std::vector<sim::UnitSettings> units;
    std::unique_ptr<sim::UnitSimulator> simulator;
    int clockReads = 0;

    TimeStamp() {
        simOptions.udpPort = freeUdpPort();
        simOptions.tcpPort = freeTcpPort();
        simOptions.statusPort = freeUdpPort();
        endpoints.unitUdpPort = simOptions.udpPort;
        endpoints.broadcastAddress = "127.255.255.255";
        for (int i = 0; i < 3; ++i) {
            units.emplace_back();
            units.back().address = uniqueLoopbackAddress();
        }
    }

    void SetUp() override {
        simulator = std::make_unique<sim::UnitSimulator>(units, simOptions);
        std::string error;
        ASSERT_TRUE(simulator->start(&error)) << error;
    }

    fleet::TimeStampBroadcast::ClockReader fixedClock() {
        return [this] {
            ++clockReads;
            return decemberMorning();
        };
    }

    // The text each unit logged, waiting for it where it has not come yet.
    std::vector<std::string> receivedTexts(std::chrono::milliseconds wait = 3000ms) {
        std::vector<std::string> texts;
        for (const auto& unit : units) {
            auto event = simulator->waitFor(
                [&](const sim::Event& e) {
                    return e.kind == "timestamp" && e.unit == unit.address;
                },
                wait);
            texts.push_back(event ? event->field("text") : "(nothing)");
        }
        return texts;
    }
};

}  // namespace

TEST_F(TimeStamp, EveryUnitReceivesTheTextAloneAndNothingIsShown) {
    fleet::TimeStampBroadcast broadcast(op, endpoints, fixedClock());
    EXPECT_EQ(broadcast.run(), fleet::TimeStampBroadcast::Outcome::Sent);

    const std::string expected = "TSBCJ12-07-26, 11-49-29, 300, 0";
    ASSERT_EQ(expected.size(), 31u);
    EXPECT_EQ(broadcast.text(), expected);
    // No NUL, no line end: what each unit logs is the whole datagram.
    EXPECT_EQ(receivedTexts(), std::vector<std::string>(3, expected));
    EXPECT_EQ(clockReads, 1);

    ASSERT_EQ(op.messages.size(), 1u) << "only the question, nothing after a success";
    EXPECT_EQ(op.messages[0].text, "Set all Networked Time Stamps to Current Time");
    EXPECT_EQ(op.messages[0].style, engine::kOkCancelQuestion);
    ASSERT_TRUE(everyUnitReadEarlierDatagrams(*simulator));
    EXPECT_EQ(simulator->count("timestamp"), 3u) << "one datagram, not repeated";
}

TEST_F(TimeStamp, CancelSendsNothing) {
    op.answer = engine::BoxAnswer::Cancel;
    fleet::TimeStampBroadcast declined(op, endpoints, fixedClock());
    EXPECT_EQ(declined.run(), fleet::TimeStampBroadcast::Outcome::Cancelled);
    EXPECT_EQ(clockReads, 0);
    EXPECT_EQ(op.messages.size(), 1u);
    ASSERT_TRUE(everyUnitReadEarlierDatagrams(*simulator));
    EXPECT_EQ(simulator->count("timestamp"), 0u);
    EXPECT_EQ(simulator->count("datagram"), 0u);

    // The same units do hear it once the operator agrees.
    op.answer = engine::BoxAnswer::Ok;
    fleet::TimeStampBroadcast agreed(op, endpoints, fixedClock());
    EXPECT_EQ(agreed.run(), fleet::TimeStampBroadcast::Outcome::Sent);
    EXPECT_EQ(receivedTexts(), std::vector<std::string>(3, agreed.text()));
}

TEST_F(TimeStamp, TheMachinesClockInAHalfHourZoneEastOfUtc) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "Asia/Kolkata", 1);
    ::tzset();
    fleet::TimeStampBroadcast broadcast(op, endpoints);
    const auto outcome = broadcast.run();
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();

    ASSERT_EQ(outcome, fleet::TimeStampBroadcast::Outcome::Sent);
    const std::string& text = broadcast.text();
    EXPECT_EQ(text.substr(0, 5), "TSBCJ");
    EXPECT_EQ(text.size(), 32u) << text;
    EXPECT_EQ(text.substr(text.size() - 9), ", -330, 0") << text;
    EXPECT_EQ(receivedTexts(), std::vector<std::string>(3, text));
}

TEST_F(TimeStamp, AFailedSendIsShown) {
    engine::Endpoints broken = endpoints;
    broken.unitUdpPort = 0;  // the kernel refuses to send to port 0
    fleet::TimeStampBroadcast unsendable(op, broken, fixedClock());
    EXPECT_EQ(unsendable.run(), fleet::TimeStampBroadcast::Outcome::SendFailed);
    ASSERT_EQ(op.messages.size(), 2u);
    EXPECT_EQ(op.messages[1].text, "Send Error");
    EXPECT_EQ(op.messages[1].style, engine::BoxIcon::None);
    ASSERT_TRUE(everyUnitReadEarlierDatagrams(*simulator));
    EXPECT_EQ(simulator->count("timestamp"), 0u);
}

TEST_F(TimeStamp, NoSocketToBeHadIsShownAndNothingGoesOut) {
#if defined(FWPROG_ADDRESS_SANITIZER)
    GTEST_SKIP() << "with no descriptor left, the sanitizer runtime cannot read the process's "
                    "memory map and reports false type errors; the optimised build runs this";
#endif
    // The simulator's thread is running: the child starts afresh rather than
    // from a fork of this process.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fleet::TimeStampBroadcast broadcast(op, endpoints, fixedClock());
    EXPECT_EXIT(
        {
            rlimit none{};
            ::getrlimit(RLIMIT_NOFILE, &none);
            none.rlim_cur = 0;
            ::setrlimit(RLIMIT_NOFILE, &none);
            op.messages.clear();
            const bool asExpected =
                broadcast.run() == fleet::TimeStampBroadcast::Outcome::CreateFailed &&
                op.messages.size() == 2 && op.messages[1].text == "Create Error" &&
                op.messages[1].style == engine::BoxIcon::None;
            std::_Exit(asExpected ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    ASSERT_TRUE(everyUnitReadEarlierDatagrams(*simulator));
    EXPECT_EQ(simulator->count("timestamp"), 0u);
}
