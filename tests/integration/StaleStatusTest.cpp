// A unit has no verdict before it has its image: status datagrams from its own
// address that arrived before the image connection opened (more than the
// drain reads, and a stream of them during the boot-loader wait) are thrown
// away and counted, and the verdict that follows the image decides. The real
// executable, the real schedule, one unit alone and in a parallel batch.
#include "tests/support/FwprogProcess.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct StaleCase {
    const char* name;
    std::vector<std::string> command;  // the list file's path follows "--list"
};

class StaleStatus : public ::testing::TestWithParam<StaleCase>,
                    public testing_support::SimulatedUnits {
protected:
    testing_support::TempDir dir;
};

TEST_P(StaleStatus, NeverBecomesTheVerdict) {
    // Zeros ("success"): 15 at once after the entry header, more than the
    // drain's 10 receives, then one every 20 ms for 2.5 s, all over before
    // the image connection (the probes and pauses alone take 5 s).
    auto u = unit(2);  // the verdict: Verify Error
    u.staleStatuses = 15;
    u.staleStatusFor = 2500ms;
    ASSERT_TRUE(startSimulator({u}));
    testing_support::writeFile(dir.file("fw.bin"), testing_support::makeImage(40 * 1460));
    testing_support::writeFile(dir.file("units.txt"), u.address + "\r\n");

    std::vector<std::string> args;
    for (const std::string& arg : GetParam().command)
        args.push_back(arg == "UNIT"   ? u.address
                       : arg == "LIST" ? dir.file("units.txt").string()
                                       : arg);
    args.insert(args.end(), {"--image", dir.file("fw.bin").string(), "--json"});
    const auto ports = portOptions();
    args.insert(args.end(), ports.begin(), ports.end());
    testing_support::FwprogRun how;
    how.deadline = 60s;
    const auto run = testing_support::runFwprogProcess(args, how);
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_EQ(run.exitStatus, 1) << run.out << run.err;

    const auto json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << run.out;
    const auto& entry = json.contains("units") ? json["units"].at(0) : json;
    EXPECT_EQ(entry.value("result", -1), 102) << run.out;

    // Every stale datagram was sent before the image came, and each is counted.
    std::size_t stale = 0;
    bool imageSeen = false;
    for (const auto& event : simulator->events()) {
        if (event.unit != u.address)
            continue;
        if (event.kind == "image")
            imageSeen = true;
        if (event.kind == "status" && event.field("when") == "stale") {
            EXPECT_FALSE(imageSeen) << "a stale datagram after the image: " << event.json;
            ++stale;
        }
    }
    EXPECT_GT(stale, 15u);
    EXPECT_EQ(entry.value("stale_datagrams", 0u), stale) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Runs, StaleStatus,
    ::testing::Values(StaleCase{"Single", {"single", "--target", "UNIT"}},
                      StaleCase{"Multiple", {"multiple", "--list", "LIST"}},
                      StaleCase{"ParallelBatch", {"multiple", "--list", "LIST", "--jobs", "2"}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

}  // namespace
