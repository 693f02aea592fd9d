// What `fwprog single` shows an operator at a terminal while it programs a
// unit, seen through a pseudo-terminal on standard error: the phase on one
// line redrawn in place, the progress bar, the countdown of the verdict wait.
#include "tests/support/FwprogProcess.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using testing_support::FwprogRun;

namespace {

struct StatusLine : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;

    StatusLine() {
        testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(30 * 1460 + 9));
    }

    testing_support::FwprogResult single(const std::string& target, bool stderrTerminal) {
        std::vector<std::string> args = {"single", "--image", dir.file("fw.bin").string(),
                                         "--target", target};
        const auto ports = portOptions();
        args.insert(args.end(), ports.begin(), ports.end());
        FwprogRun how;
        how.stderrTerminal = stderrTerminal;
        how.deadline = 60s;
        return testing_support::runFwprogProcess(args, how);
    }

    // The line as the terminal shows it once redrawn with text.
    static std::string drawn(const std::string& text) { return "\r" + text + "\x1b[K"; }
};

}  // namespace

TEST_F(StatusLine, ATerminalSeesEachPhaseRedrawnInPlaceAndStdoutOnlyTheResult) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "Wine gives the program no terminal of ours";
    // The unit takes a while to write its flash: the countdown has time to run.
    const auto u = unit(0, 2500ms);
    ASSERT_TRUE(startSimulator({u}));

    const auto run = single(u.address, /*stderrTerminal=*/true);
    ASSERT_TRUE(run.started && !run.timedOut) << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, "1 Unit Updated\nIP: " + u.address + " Successfully Programmed\n");

    const std::string& err = run.err;
    const std::vector<std::string> inOrder = {
        drawn("entering the boot loader"),
        drawn("waiting for the boot loader: probe 1"),
        drawn("waiting for the boot loader: probe 2"),
        drawn("connecting for the image"),
        "] 100.0%",
        drawn("waiting for the verdict: 20 s left"),
        drawn("waiting for the verdict: 19 s left"),
    };
    std::size_t at = 0;
    for (const std::string& expected : inOrder) {
        const std::size_t found = err.find(expected, at);
        ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << expected
                                            << "\nin: " << ::testing::PrintToString(err);
        at = found + expected.size();
    }
    // Everything before the bar is one line drawn over and over; the bar
    // keeps a line of its own; the countdown is erased once the verdict came.
    const std::size_t bar = err.find("] 100.0%");
    EXPECT_EQ(err.substr(0, bar).find('\n'), std::string::npos) << ::testing::PrintToString(err);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << ::testing::PrintToString(err);
    EXPECT_EQ(err.substr(err.size() - 4), "\r\x1b[K") << ::testing::PrintToString(err);
}
