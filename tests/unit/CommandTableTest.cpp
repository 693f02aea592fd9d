// fwprog's command table against the commands' own readers: every option the
// table (and so --help and the bash completion) names is one the command takes.
#include "cli/CliContext.h"
#include "cli/CommandTable.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <sstream>

namespace {

struct NamedOption {
    std::string command;
    std::string option;
    bool takesValue;
};

void PrintTo(const NamedOption& named, std::ostream* out) {
    *out << "fwprog " << named.command << ' ' << named.option;
}

std::vector<NamedOption> everyNamedOption() {
    std::vector<NamedOption> all;
    for (const cli::CommandSpec& command : cli::commandTable()) {
        for (const auto* options : {&command.options, &cli::commonOptions()}) {
            for (const cli::OptionSpec& option : *options) {
                all.push_back({command.name, option.name, option.valueName != nullptr});
                if (option.shortName)
                    all.push_back({command.name, option.shortName, option.valueName != nullptr});
            }
        }
    }
    return all;
}

class TableOption : public ::testing::TestWithParam<NamedOption> {};

TEST_P(TableOption, IsTakenByItsCommand) {
    const NamedOption& named = GetParam();
    // --help last: a command that takes the option prints its help and runs nothing.
    std::vector<std::string> args = {named.command, named.option};
    if (named.takesValue)
        args.emplace_back("1");
    args.emplace_back("--help");
    std::ostringstream out, err;
    std::istringstream in;
    testing_support::ScaledSleeper sleeper(0.01);
    testing_support::NoQueues spooler;
    cli::CliContext context{out, err, in, false, false, sleeper, spooler};
    cli::runFwprog(args, context);
    EXPECT_EQ(err.str().find("unknown option"), std::string::npos) << err.str();
}

INSTANTIATE_TEST_SUITE_P(Fwprog, TableOption, ::testing::ValuesIn(everyNamedOption()),
                         [](const auto& testCase) {
                             std::string name =
                                 testCase.param.command + "_" + testCase.param.option;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return name;
                         });

// A usage error is two lines on stderr: the problem, then where the help is.
// Nothing reaches stdout and the exit status is 2.
struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    std::string problem;
    std::string helpCommand;
};

void PrintTo(const UsageCase& usage, std::ostream* out) {
    *out << usage.name;
}

class UsageError : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageError, NamesTheProblemAndWhereTheHelpIs) {
    const UsageCase& usage = GetParam();
    std::ostringstream out, err;
    std::istringstream in;
    testing_support::ScaledSleeper sleeper(0.01);
    testing_support::NoQueues spooler;
    cli::CliContext context{out, err, in, false, false, sleeper, spooler};
    EXPECT_EQ(cli::runFwprog(usage.args, context), cli::kExitUsage);
    EXPECT_EQ(err.str(), "fwprog: " + usage.problem + "\nTry '" + usage.helpCommand +
                             " --help' for more information.\n");
    EXPECT_EQ(out.str(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Fwprog, UsageError,
    ::testing::Values(
        UsageCase{"NoCommand", {}, "no command given", "fwprog"},
        UsageCase{"UnknownCommand", {"frobnicate"}, "unknown command: frobnicate", "fwprog"},
        UsageCase{"SingleWithoutTarget",
                  {"single", "--image", "fw.bin"},
                  "--target is required",
                  "fwprog single"},
        UsageCase{
            "SingleValueMissing", {"single", "--image"}, "--image needs a value", "fwprog single"},
        UsageCase{"MultipleUnknownOption",
                  {"multiple", "--bogus", "--help"},
                  "unknown option: --bogus",
                  "fwprog multiple"},
        UsageCase{"MultipleNoJobs",
                  {"multiple", "--image", "fw", "--list", "l.txt", "--jobs", "0"},
                  "--jobs needs a whole number from 1 to 5000: 0",
                  "fwprog multiple"},
        UsageCase{"DiscoverShortWait",
                  {"discover", "--wait", "4"},
                  "--wait takes milliseconds from 5 to 600000: 4",
                  "fwprog discover"},
        UsageCase{"TimestampWithoutTerminal",
                  {"timestamp"},
                  "standard input is not a terminal to confirm on; pass --yes",
                  "fwprog timestamp"},
        UsageCase{"CheckWithoutTarget",
                  {"check"},
                  "name at least one target (an address or a print queue)",
                  "fwprog check"},
        UsageCase{"SingleTargetThatIsNoAddress",
                  {"single", "--image", "fw.bin", "--target", "127.0.0.300"},
                  "--target 127.0.0.300: not an IPv4 address (four numbers from 0 to 255 "
                  "joined by dots)",
                  "fwprog single"},
        UsageCase{
            "QueuesWithAnArgument", {"queues", "unit7"}, "unknown option: unit7", "fwprog queues"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
