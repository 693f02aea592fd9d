// However fwprog ends while an image is on its way (a hang-up of its session,
// a request to terminate, a second Ctrl-C, SIGKILL), the unit's image
// connection is reset, never closed in order: a unit that was only slow and
// reads on must meet a reset, not a clean end of a cut-off image. The real
// executable in a process of its own, the real schedule, real signals.
#include "tests/support/FwprogProcess.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Far more than the kernel holds between the two ends of a connection, so
// that fwprog is still sending when the unit stops reading.
constexpr std::size_t kImageSize = 16 * 1024 * 1024;
constexpr std::uint64_t kStallAfter = 256 * 1024;
// Long enough for every signal to have done its work; then the unit reads on.
constexpr auto kStallFor = 3s;

enum class Mode { Single, Multiple, Jobs };

struct DeathCase {
    const char* name;
    Mode mode;
    std::vector<int> signals;  // sent in order once the stream has stalled
    int exitStatus;            // 0 when the last signal ends the process itself
    int endingSignal;          // the signal that ended it, when it did
    // The first interrupt of a batch lets the unit in progress finish: the
    // unit then takes the whole image (and, the only one of its list, ends
    // the batch with its list done: exit status 0).
    bool wholeImage;
};

class ProcessDeath : public ::testing::TestWithParam<DeathCase>,
                     public testing_support::SimulatedUnits {
protected:
    testing_support::TempDir dir;
};

TEST_P(ProcessDeath, LeavesTheUnitNoCleanEndOfACutOffImage) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "signals are a POSIX process's";
    const DeathCase& c = GetParam();
    auto u = unit();
    u.stallAfter = kStallAfter;
    u.stallFor = kStallFor;
    ASSERT_TRUE(startSimulator({u}));
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(kImageSize));
    testing_support::writeFile(dir.file("units.txt"), u.address + "\r\n");

    std::vector<std::string> args;
    if (c.mode == Mode::Single)
        args = {"single", "--target", u.address};
    else
        args = {"multiple", "--list", dir.file("units.txt").string()};
    if (c.mode == Mode::Jobs)
        args.insert(args.end(), {"--jobs", "2"});
    args.insert(args.end(), {"--image", dir.file("fw.bin").string()});
    const auto ports = portOptions();
    args.insert(args.end(), ports.begin(), ports.end());

    testing_support::FwprogRun how;
    how.deadline = 90s;
    const auto stalled = [&] { return simulator->count("stall", u.address) > 0; };
    for (const int signal : c.signals)
        how.signals.push_back({signal, stalled});
    const auto run = testing_support::runFwprogProcess(args, how);
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.signalsSent, c.signals.size());
    EXPECT_EQ(run.signal, c.endingSignal) << run.err;
    if (c.endingSignal == 0) {
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
    }

    // The stall ends after its time; what the unit finds then tells how the
    // host's end was closed.
    const auto end = simulator->waitFor(
        [&](const sim::Event& e) {
            return e.unit == u.address && (e.kind == "image" || e.kind == "aborted");
        },
        kStallFor + 30s);
    ASSERT_TRUE(end.has_value()) << "the unit saw no end of its image connection";
    if (c.wholeImage) {
        EXPECT_EQ(end->kind, "image");
        EXPECT_EQ(end->field("bytes"), std::to_string(kImageSize));
    } else {
        EXPECT_EQ(end->kind, "aborted") << end->json;
    }
    EXPECT_EQ(simulator->count("status", u.address), c.wholeImage ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, ProcessDeath,
    ::testing::Values(
        DeathCase{"SingleHangUp", Mode::Single, {SIGHUP}, 130, 0, false},
        DeathCase{"SingleKill", Mode::Single, {SIGKILL}, 0, SIGKILL, false},
        DeathCase{"MultipleInterruptTwice", Mode::Multiple, {SIGINT, SIGINT}, 130, 0, false},
        DeathCase{"MultipleTerminateTwice", Mode::Multiple, {SIGTERM, SIGTERM}, 130, 0, false},
        DeathCase{"MultipleHangUpLetsTheUnitFinish", Mode::Multiple, {SIGHUP}, 0, 0, true},
        DeathCase{"JobsHangUpTwice", Mode::Jobs, {SIGHUP, SIGHUP}, 130, 0, false},
        DeathCase{"JobsKill", Mode::Jobs, {SIGKILL}, 0, SIGKILL, false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
