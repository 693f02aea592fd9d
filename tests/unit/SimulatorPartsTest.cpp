#include "sim/SimulatorCommandLine.h"
#include "sim/UnitSimulator.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

namespace {

TEST(SimEvents, JsonLineEscapesEveryAwkwardByte) {
    const sim::Event event = sim::makeEvent(
        "query", "127.0.0.7",
        {{"text", std::string("a\"b\\c\n\x01\xff", 8), true}, {"bytes", "12", false}});
    EXPECT_EQ(
        event.json,
        "{\"event\":\"query\",\"unit\":\"127.0.0.7\",\"text\":\"a\\\"b\\\\c\\n\\u0001\\u00ff\","
        "\"bytes\":12}");
    EXPECT_EQ(event.field("bytes"), "12");
    EXPECT_TRUE(event.field("missing").empty());
    EXPECT_FALSE(event.has("missing"));
}

std::optional<sim::CommandLine> parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string ignored;
    return sim::parseCommandLine(args, error ? error : &ignored);
}

TEST(SimCommandLine, UnitOptionsApplyToTheLatestUnit) {
    const auto line =
        parse({"--unit", "127.0.0.7", "--product", "Box 2.10", "--status", "3", "--boot-delay",
               "250", "--unit", "127.0.0.8", "--fault", "reset=4096", "--fault", "early-status",
               "--reply-delay=40", "--udp-port", "16000", "--no-hash"});
    ASSERT_TRUE(line);
    ASSERT_EQ(line->units.size(), 2u);
    EXPECT_EQ(line->units[0].address, "127.0.0.7");
    EXPECT_EQ(line->units[0].product, "Box 2.10");
    EXPECT_EQ(line->units[0].status, 3);
    EXPECT_EQ(line->units[0].bootDelay.count(), 250);
    EXPECT_FALSE(line->units[0].resetAfter);
    EXPECT_EQ(line->units[1].resetAfter, 4096u);
    EXPECT_TRUE(line->units[1].earlyStatus);
    EXPECT_FALSE(line->units[0].earlyStatus);
    EXPECT_EQ(line->units[1].replyDelay.count(), 40);
    EXPECT_EQ(line->units[1].product, sim::UnitSettings{}.product);
    EXPECT_EQ(line->options.udpPort, 16000);
    EXPECT_EQ(line->options.tcpPort, 9100);
    EXPECT_FALSE(line->options.hashImages);
}

TEST(SimCommandLine, StatusForms) {
    auto line = parse({"--unit", "127.0.0.7", "--status", "none"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->units[0].statusShape, sim::StatusShape::None);

    line = parse({"--unit", "127.0.0.7", "--status", "-2147483648", "--fault", "long-status"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->units[0].status, INT32_MIN);
    EXPECT_EQ(line->units[0].statusShape, sim::StatusShape::Long);

    line = parse({"--unit", "127.0.0.7", "--status-hex", "01Ff00"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->units[0].rawStatus, std::string("\x01\xff\x00", 3));

    line = parse({"--unit", "127.0.0.7", "--status-hex", ""});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->units[0].rawStatus, std::string());

    line = parse({"--unit", "127.0.0.7", "--reply-hex", "1b5d0a49503a0d"});
    ASSERT_TRUE(line);
    EXPECT_EQ(line->units[0].rawReply, std::string("\x1b]\nIP:\r"));
}

TEST(SimCommandLine, EveryFaultNameIsUnderstood) {
    const auto line =
        parse({"--unit",  "127.0.0.7",        "--fault",     "refuse",
               "--fault", "stall=10",         "--stall-for", "250",
               "--fault", "drop-syn=40",      "--fault",     "no-boot-loader",
               "--fault", "repeated-status",  "--fault",     "status-during-stream",
               "--fault", "reply-nul",        "--unit",      "127.0.0.8",
               "--fault", "short-status",     "--fault",     "reply-oversized",
               "--unit",  "127.0.0.9",        "--fault",     "no-status",
               "--fault", "reply-empty",      "--unit",      "127.0.0.10",
               "--fault", "reply-no-newline", "--unit",      "127.0.0.11",
               "--fault", "stale-status=15",  "--fault",     "stale-status-for=2500"});
    ASSERT_TRUE(line);
    const auto& u = line->units;
    EXPECT_TRUE(u[0].refuse);
    EXPECT_EQ(u[0].stallAfter, 10u);
    EXPECT_EQ(u[0].stallFor, std::chrono::milliseconds(250));
    EXPECT_EQ(u[0].dropConnectionsFor, std::chrono::milliseconds(40));
    EXPECT_TRUE(u[0].noBootLoader);
    EXPECT_TRUE(u[0].repeatedStatus);
    EXPECT_TRUE(u[0].statusDuringStream);
    EXPECT_EQ(u[0].replyFault, sim::ReplyFault::NulInside);
    EXPECT_EQ(u[1].statusShape, sim::StatusShape::Short);
    EXPECT_EQ(u[1].replyFault, sim::ReplyFault::Oversized);
    EXPECT_EQ(u[2].statusShape, sim::StatusShape::None);
    EXPECT_EQ(u[2].replyFault, sim::ReplyFault::Empty);
    EXPECT_EQ(u[3].replyFault, sim::ReplyFault::NoLineFeed);
    EXPECT_EQ(u[4].staleStatuses, 15u);
    EXPECT_EQ(u[4].staleStatusFor, std::chrono::milliseconds(2500));
}

class SimCommandLineRejects : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SimCommandLineRejects, WhatItCannotUse) {
    std::string error;
    EXPECT_FALSE(parse(GetParam(), &error));
    EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(SimCommandLine, SimCommandLineRejects,
                         ::testing::ValuesIn(std::vector<std::vector<std::string>>{
                             {},
                             {"--product", "X", "--unit", "127.0.0.7"},
                             {"--unit", "printer.example"},
                             {"--unit", "127.0.0.7", "--unit", "127.0.0.7"},
                             {"--unit", "127.0.0.7", "--udp-port", "0"},
                             {"--unit", "127.0.0.7", "--tcp-port", "65536"},
                             {"--unit", "127.0.0.7", "--status-port", "+5"},
                             {"--unit", "127.0.0.7", "--status", "2147483648"},
                             {"--unit", "127.0.0.7", "--status", "1x"},
                             {"--unit", "127.0.0.7", "--status-hex", "123"},
                             {"--unit", "127.0.0.7", "--status-hex", "zz"},
                             {"--unit", "127.0.0.7", "--reply-hex", "1g"},
                             {"--unit", "127.0.0.7", "--boot-delay", "-1"},
                             {"--unit", "127.0.0.7", "--fault", "reset"},
                             {"--unit", "127.0.0.7", "--fault", "refuse=3"},
                             {"--unit", "127.0.0.7", "--fault", "stall=x"},
                             {"--unit", "127.0.0.7", "--fault", "drop-syn"},
                             {"--unit", "127.0.0.7", "--fault", "drop-syn=0"},
                             {"--unit", "127.0.0.7", "--stall-for", "soon"},
                             {"--unit", "127.0.0.7", "--fault", "melt"},
                             {"--unit", "127.0.0.7", "--exit-after", "0"},
                             {"--unit", "127.0.0.7", "--broadcast-listen", "255.255.255"},
                             {"--unit", "127.0.0.7", "--product"},
                             {"--unit", "127.0.0.7", "--no-hash=1"},
                             {"--unit", "127.0.0.7", "--verbose"},
                         }),
                         [](const auto& testCase) {
                             // The arguments after the unit (or all of them), letters and digits.
                             std::string name = "Args";
                             for (const std::string& arg : testCase.param) {
                                 if (arg == "--unit" || arg == "127.0.0.7")
                                     continue;
                                 for (const char c : arg) {
                                     if (std::isalnum(static_cast<unsigned char>(c)))
                                         name += c;
                                 }
                                 name += '_';
                             }
                             return name + std::to_string(testCase.index);
                         });

// What the simulator's command line says about one argument list: "" when it
// takes it, else its error, word for word (scripts and people read them).
struct SimLineCase {
    const char* name;
    std::vector<std::string> args;
    std::string error;
};

void PrintTo(const SimLineCase& lineCase, std::ostream* out) {
    *out << lineCase.name;
}

class SimCommandLineSays : public ::testing::TestWithParam<SimLineCase> {};

TEST_P(SimCommandLineSays, WhatItMakesOfTheArguments) {
    std::string error;
    const auto line = parse(GetParam().args, &error);
    EXPECT_EQ(line.has_value(), GetParam().error.empty());
    EXPECT_EQ(line ? std::string() : error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    SimCommandLine, SimCommandLineSays,
    ::testing::Values(
        SimLineCase{"UnitOptionBeforeAnyUnit",
                    {"--boot-delay", "5", "--unit", "127.0.0.7"},
                    "--boot-delay needs a --unit before it"},
        SimLineCase{"FaultBeforeAnyUnit",
                    {"--fault=refuse", "--unit", "127.0.0.7"},
                    "--fault needs a --unit before it"},
        SimLineCase{"GlobalOptionBeforeAnyUnit", {"--udp-port", "7", "--unit", "127.0.0.7"}, ""},
        SimLineCase{"UnitGivenAfterEquals", {"--unit=127.0.0.7", "--product=Box 1"}, ""},
        SimLineCase{"MissingValueAtTheEnd",
                    {"--unit", "127.0.0.7", "--reply-delay"},
                    "--reply-delay needs a value"},
        SimLineCase{
            "FlagWithAValue", {"--unit", "127.0.0.7", "--no-hash=1"}, "--no-hash takes no value"},
        SimLineCase{
            "UnknownOption", {"--unit", "127.0.0.7", "--verbose=2"}, "unknown option: --verbose=2"},
        SimLineCase{"FirstProblemInArgumentOrderWins",
                    {"--unit", "127.0.0.7", "--udp-port", "0", "--verbose"},
                    "not a port number for --udp-port: 0"},
        SimLineCase{"SameUnitTwice",
                    {"--unit", "127.0.0.7", "--unit=127.0.0.7"},
                    "unit given twice: 127.0.0.7"},
        SimLineCase{"NoUnit", {"--no-hash"}, "no unit given (use --unit ADDR)"},
        SimLineCase{"HighestPort", {"--unit", "127.0.0.7", "--tcp-port", "65535"}, ""},
        SimLineCase{"PortAboveRange",
                    {"--unit", "127.0.0.7", "--tcp-port", "65536"},
                    "not a port number for --tcp-port: 65536"},
        SimLineCase{"DelayOfADay", {"--unit", "127.0.0.7", "--flash-delay", "86400000"}, ""},
        SimLineCase{"DelayAboveADay",
                    {"--unit", "127.0.0.7", "--flash-delay", "86400001"},
                    "not a delay in milliseconds for --flash-delay: 86400001"},
        SimLineCase{"NegativeDelay",
                    {"--unit", "127.0.0.7", "--reboot-time", "-1"},
                    "not a delay in milliseconds for --reboot-time: -1"},
        SimLineCase{"ExitAfterZero",
                    {"--unit", "127.0.0.7", "--exit-after", "0"},
                    "not a positive count for --exit-after: 0"},
        SimLineCase{
            "MostForgedReplies", {"--unit", "127.0.0.7", "--fault", "reply-flood=65536"}, ""},
        SimLineCase{"ForgedRepliesAboveRange",
                    {"--unit", "127.0.0.7", "--fault", "reply-flood=65537"},
                    "not a count from 1 to 65536 for --fault reply-flood: 65537"},
        SimLineCase{"StaleStatusesAboveRange",
                    {"--unit", "127.0.0.7", "--fault", "stale-status=1000001"},
                    "not a count of datagrams for --fault stale-status: 1000001"},
        SimLineCase{"RefuseForZero",
                    {"--unit", "127.0.0.7", "--fault", "refuse-for=0"},
                    "not a delay in milliseconds for --fault refuse-for: 0"},
        SimLineCase{"FaultWithoutItsNumber",
                    {"--unit", "127.0.0.7", "--fault", "stall"},
                    "--fault stall needs =N"},
        SimLineCase{"FaultWithANumberItTakesNot",
                    {"--unit", "127.0.0.7", "--fault", "refuse=1"},
                    "--fault refuse takes no =N"},
        SimLineCase{"UnknownFaultWithANumber",
                    {"--unit", "127.0.0.7", "--fault", "melt=2"},
                    "unknown fault: melt"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(SimCommandLine, HelpNeedsNoUnit) {
    const auto line = parse({"--help"});
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->help);
}

}  // namespace
