// The option reader both command lines use (fwprog's and the simulated
// unit's): what it makes of each form of an argument, and the help lines it
// makes from a table.
#include "platform/OptionReader.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

const std::vector<platform::OptionSpec> kTable = {
    {"--image", "FILE", "the image"},
    {"--yes", nullptr, "do not ask", "-y"},
    {"--wait", "MS", "how long"},
};

// What next() read from the whole command line: "NAME=VALUE" for each option
// taken (the name as given), then "error: ..." when it stopped at a problem.
std::string walk(std::vector<std::string> args) {
    platform::OptionReader reader(std::move(args), kTable);
    std::string seen;
    while (const auto taken = reader.next())
        seen +=
            std::string(kTable[taken->index].name) + "(" + taken->name + ")=" + taken->value + " ";
    if (reader.error())
        seen += "error: " + *reader.error();
    return seen;
}

struct WalkCase {
    const char* name;
    std::vector<std::string> args;
    std::string seen;
};

void PrintTo(const WalkCase& walkCase, std::ostream* out) {
    *out << walkCase.name;
}

class OptionReaderWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(OptionReaderWalk, ReadsTheArgumentsAgainstTheTable) {
    EXPECT_EQ(walk(GetParam().args), GetParam().seen);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, OptionReaderWalk,
    ::testing::Values(
        WalkCase{"ValueAfterTheName", {"--image", "a.bin"}, "--image(--image)=a.bin "},
        WalkCase{"ValueAfterEquals", {"--image=a.bin"}, "--image(--image)=a.bin "},
        WalkCase{"EqualsInsideTheValue", {"--image=a=b.bin"}, "--image(--image)=a=b.bin "},
        WalkCase{"EmptyValueAfterEquals", {"--image="}, "--image(--image)= "},
        WalkCase{"ValueThatLooksLikeAnOption", {"--image", "--yes"}, "--image(--image)=--yes "},
        WalkCase{"ShortNameOfAFlag", {"-y", "--yes"}, "--yes(-y)= --yes(--yes)= "},
        WalkCase{"RepeatedOptionIsTakenEachTime",
                 {"--wait", "5", "--wait=7"},
                 "--wait(--wait)=5 --wait(--wait)=7 "},
        WalkCase{"MissingValueAtTheEnd",
                 {"--yes", "--image"},
                 "--yes(--yes)= error: --image needs a value"},
        WalkCase{"UnknownOption", {"--verbose"}, "error: unknown option: --verbose"},
        WalkCase{"UnknownOptionIsNamedWithItsValue",
                 {"--verbose=2"},
                 "error: unknown option: --verbose=2"},
        WalkCase{"PositionalArgument", {"a.bin"}, "error: unknown option: a.bin"},
        WalkCase{"NameThatOnlyStartsLikeAnOption",
                 {"--imagefile", "a.bin"},
                 "error: unknown option: --imagefile"},
        WalkCase{"FlagWithAValue", {"--yes=1"}, "error: --yes takes no value"},
        WalkCase{"ShortNameCarriesNoEquals", {"-y=1"}, "error: unknown option: -y=1"},
        WalkCase{"FirstProblemInArgumentOrderWins",
                 {"--wait", "5", "--verbose", "--image"},
                 "--wait(--wait)=5 error: unknown option: --verbose"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

// fwprog asks for its options by name, in its own order.
TEST(OptionReaderByName, TakesAValueInEitherFormAndOnlyTheOptionAsked) {
    platform::OptionReader reader({"--wait=5", "--image", "a.bin", "--yes=1"}, kTable);
    std::string value;
    EXPECT_FALSE(reader.takeValue("--image", value));
    EXPECT_TRUE(reader.takeValue("--wait", value));
    EXPECT_EQ(value, "5");
    EXPECT_TRUE(reader.takeValue("--image", value));
    EXPECT_EQ(value, "a.bin");
    // A flag is taken only as itself.
    EXPECT_FALSE(reader.take("--yes"));
    EXPECT_EQ(reader.current(), "--yes=1");
    EXPECT_FALSE(reader.error());
}

TEST(OptionReaderByName, KeepsTheFirstProblemAndEndsTheWalk) {
    platform::OptionReader reader({"--wait", "5", "--image"}, kTable);
    std::string value;
    ASSERT_TRUE(reader.takeValue("--wait", value));
    EXPECT_TRUE(reader.takeValue("--image", value));
    EXPECT_TRUE(reader.atEnd());
    reader.fail("a later problem");
    EXPECT_EQ(reader.error(), "--image needs a value");
}

TEST(OptionHelp, LinesUpTheHelpAfterTheLongestLabel) {
    EXPECT_EQ(platform::optionLines(kTable),
              "  --image FILE  the image\n"
              "  --yes, -y     do not ask\n"
              "  --wait MS     how long\n");
}

TEST(OptionHelp, AFixedColumnKeepsTwoBlanksAfterALongLabelAndIndentsFurtherLines) {
    const std::vector<platform::OptionSpec> table = {
        {"--broadcast-listen", "ADDR", "where broadcasts arrive\n0.0.0.0 in a namespace"},
        {"--udp-port", "N", "management port"},
    };
    EXPECT_EQ(platform::optionLines(table, 18),
              "  --broadcast-listen ADDR  where broadcasts arrive\n"
              "                  0.0.0.0 in a namespace\n"
              "  --udp-port N    management port\n");
}

}  // namespace
