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

}  // namespace
