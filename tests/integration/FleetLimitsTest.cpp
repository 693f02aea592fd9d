// A parallel batch on a computer that runs short: fwprog started as its own
// process under a real process limit, and with its status port flooded while
// the program is held still, as a busy computer holds it.
#include "tests/support/FwprogProcess.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testing_support::FwprogRun;
using testing_support::runFwprogProcess;
using testing_support::writeFile;

namespace {

struct FleetLimits : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    std::string image = testing_support::makeImage(3 * 1460 + 11);

    FleetLimits() { writeFile(dir.file("fw.bin"), image); }

    std::vector<std::string> multiple(const std::vector<sim::UnitSettings>& units,
                                      std::size_t jobs) {
        writeFile(dir.file("units.txt"), listOf(units));
        std::vector<std::string> args = {"multiple",
                                         "--image",
                                         dir.file("fw.bin").string(),
                                         "--list",
                                         dir.file("units.txt").string(),
                                         "--jobs",
                                         std::to_string(jobs),
                                         "--json"};
        const auto ports = portOptions();
        args.insert(args.end(), ports.begin(), ports.end());
        return args;
    }
};

// The process state letter of /proc/PID/stat ('T' once a SIGSTOP has taken).
char processState(int pid) {
    const std::string stat = testing_support::readFile("/proc/" + std::to_string(pid) + "/stat");
    const auto end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() ? stat[end + 2] : '?';
}

}  // namespace

TEST_F(FleetLimits, JobsBeyondAProcessLimitGoOnWithTheThreadsThatStartedAndProgramEveryUnit) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "a process limit on threads is a Linux test";
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: fwprog runs as a user of its own, so that the process "
                        "limit counts its threads alone (root itself is never held to it)";
    std::vector<sim::UnitSettings> units;
    for (int i = 0; i < 5; ++i)
        units.push_back(unit());
    ASSERT_TRUE(startSimulator(units));
    const auto args = multiple(units, 5);
    // The other user reads the image and the list and writes the log here.
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    for (const char* name : {"fw.bin", "units.txt"})
        std::filesystem::permissions(dir.file(name), std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::group_read |
                                                         std::filesystem::perms::others_read);

    FwprogRun how;
    how.userId = 2000000000u + static_cast<unsigned>(::getpid());
    // The main thread, the status port's reader and two slots: the third slot's
    // thread is refused (EAGAIN), as under any process or memory limit.
    how.processLimit = 4;
    how.deadline = 150s;
    const auto run = runFwprogProcess(args, how);
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.signal, 0) << "the batch was aborted: " << run.err;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_TRUE(std::regex_search(
        run.err, std::regex("fwprog: only [12] of the 5 units asked for can be programmed at "
                            "once: no further thread could be started \\(.+\\); the batch goes on "
                            "[12] at a time\n")))
        << run.err;

    // Every unit is accounted for: programmed, whole, and in the result.
    const auto result = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(result.is_object()) << run.out;
    EXPECT_EQ(result.value("attempted", 0), 5);
    ASSERT_EQ(result["units"].size(), 5u) << run.out;
    for (const auto& entry : result["units"])
        EXPECT_EQ(entry.value("result", -1), 0) << entry.dump();
    for (const auto& u : units)
        EXPECT_EQ(simulator->count("image", u.address), 1u) << u.address;
    const std::string log = testing_support::readFile(dir.file("Status.txt"));
    for (const auto& u : units)
        EXPECT_NE(log.find("IP: " + u.address + " Successfully Programmed"), std::string::npos)
            << log;
}

struct QueueCase {
    const char* name;
    int datagrams;  // sent to the status port while fwprog is held still
    bool beyondTheQueue;
};

struct StatusPortQueue : FleetLimits, ::testing::WithParamInterface<QueueCase> {};

// The queue is sized for the batch: a burst far beyond the kernel's default
// (about 250 small datagrams) waits whole while the program cannot read, and
// what even the larger queue cannot hold is counted and told.
TEST_P(StatusPortQueue, HoldsABurstForTheBatchAndCountsWhatItDropped) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "the kernel's drop count is Linux's";
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to raise the queue past net.core.rmem_max";
    const auto units = std::vector{unit(), unit()};
    ASSERT_TRUE(startSimulator(units));
    const std::string stranger = testing_support::uniqueLoopbackAddress();
    const int count = GetParam().datagrams;

    FwprogRun how;
    how.deadline = 90s;
    how.whileRunning = [&](int pid) {
        // The status port is bound and sized before the first unit is asked.
        ASSERT_TRUE(
            simulator->waitFor([](const auto& event) { return event.kind == "query"; }, 30s))
            << "fwprog never reached a unit";
        ::kill(pid, SIGSTOP);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (processState(pid) != 'T' && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        ::inet_pton(AF_INET, stranger.c_str(), &from.sin_addr);
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(simOptions.statusPort);
        ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        const char zeros[4] = {};
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(
                ::sendto(s, zeros, sizeof zeros, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                4);
        ::close(s);
        ::kill(pid, SIGCONT);
    };
    const auto run = runFwprogProcess(multiple(units, 2), how);
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.timedOut) << run.err;
    const auto result = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_TRUE(result.is_object()) << run.out << run.err;
    ASSERT_TRUE(result.contains("status_datagrams_dropped")) << run.out;
    const auto read = result.value("foreign_datagrams", 0);
    const auto dropped = result["status_datagrams_dropped"];
    ASSERT_TRUE(dropped.is_number()) << run.out;
    // Every datagram of the burst either waited for the program or is counted.
    EXPECT_EQ(read + dropped.get<int>(), count) << run.out;
    if (GetParam().beyondTheQueue) {
        EXPECT_GT(dropped.get<int>(), 0) << run.out;
        EXPECT_NE(
            run.err.find("fwprog: this computer dropped " + dropped.dump() +
                         " status datagrams on UDP port " + std::to_string(simOptions.statusPort)),
            std::string::npos)
            << run.err;
    } else {
        EXPECT_EQ(dropped.get<int>(), 0) << run.out;
        EXPECT_EQ(run.err.find("dropped"), std::string::npos) << run.err;
    }
}

INSTANTIATE_TEST_SUITE_P(FleetLimits, StatusPortQueue,
                         ::testing::Values(QueueCase{"AThousandWaitWhole", 1000, false},
                                           QueueCase{"TwentyThousandAreCounted", 20000, true}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });
