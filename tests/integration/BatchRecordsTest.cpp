// The batch's records - the status log and the --report file - against the
// files a new user really has: a log of a changed image, a relative image
// name, a mistyped or FIFO list beside an existing log and report, a disk
// that fills while units are in flight, a log with a second name. Units are
// simulated on loopback; fwprog runs in-process with scaled time, or as the
// real executable where a hang or a private mount namespace is the point.
#include "cli/CliContext.h"
#include "fleet/UnitReport.h"
#include "sim/UnitSimulator.h"
#include "tests/support/FwprogProcess.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>

using namespace std::chrono_literals;
using testing_support::readFile;
using testing_support::writeFile;

namespace {

struct BatchRecords : ::testing::Test, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.01};
    testing_support::NoQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> interrupts{0};
    std::string image = testing_support::makeImage(5 * 1460 + 3);
    std::string imagePath = dir.file("fw.bin").string();

    BatchRecords() {
        writeFile(imagePath, image);
        // Written well before any batch here begins, as a real image is.
        std::filesystem::last_write_time(imagePath,
                                         std::filesystem::file_time_type::clock::now() - 1h);
    }

    std::string listPath() const { return dir.file("units.txt").string(); }
    std::string logPath() const { return dir.file("Status.txt").string(); }

    void start(const std::vector<sim::UnitSettings>& units) {
        writeFile(listPath(), listOf(units));
        ASSERT_TRUE(startSimulator(units));
    }

    int fwprog(std::vector<std::string> extra = {}) {
        out.str({});
        err.str({});
        cli::CliContext context{out, err, in, false, false, sleeper, spooler};
        context.streamTimeouts.refusedRetryPause = 30ms;
        context.interrupts = &interrupts;
        std::vector<std::string> args = {"multiple", "--image", imagePath, "--list",
                                         listPath(), "--jobs",  "3"};
        for (const auto& option : portOptions())
            args.push_back(option);
        for (auto& option : extra)
            args.push_back(std::move(option));
        return cli::runFwprog(args, context);
    }

    static std::string line(const std::string& target, const char* outcome) {
        return "IP: " + target + " " + outcome + "\r\n";
    }
};

}  // namespace

// --- resume: only with proof of the same image ----------------------------

TEST_F(BatchRecords, ResumeFromTheLogOfAnImageChangedAtTheSamePathSkipsNothing) {
    const auto a = unit();
    start({a});
    ASSERT_EQ(fwprog(), cli::kExitSuccess) << err.str();
    // The file is rewritten in place: same path, same file, other bytes.
    writeFile(imagePath, testing_support::makeImage(image.size(), 99));

    EXPECT_EQ(fwprog({"--resume", logPath()}), cli::kExitSuccess) << err.str();
    EXPECT_EQ(simulator->count("image", a.address), 2u) << "the unit never got these bytes";
    EXPECT_NE(err.str().find("was modified after the batch that wrote it began"), std::string::npos)
        << err.str();
    EXPECT_NE(err.str().find("no unit is skipped"), std::string::npos) << err.str();
}

TEST_F(BatchRecords, ResumeFromALogWithARelativeNameWrittenInAnotherFolderSkipsNothing) {
    const auto a = unit();
    start({a});
    // An earlier batch in another folder, of that folder's image, named as
    // this batch names its own image. The folder is deeper than the current
    // one, so the name leads somewhere else from there.
    const std::string relative =
        std::filesystem::relative(imagePath, std::filesystem::current_path()).string();
    std::filesystem::path folder = dir.file("elsewhere");
    for (const auto& part : std::filesystem::current_path())
        folder /= "d" + std::to_string(part.string().size());
    std::filesystem::create_directories((folder / relative).parent_path());
    writeFile(folder / relative, testing_support::makeImage(image.size(), 99));
    const std::string earlier = (folder / "Status.txt").string();
    writeFile(earlier, "File Name: " + relative + "\r\nDate: 01/02/27, Time: 10:00\r\n" +
                           line(a.address, "Successfully Programmed"));
    imagePath = relative;

    EXPECT_EQ(fwprog({"--resume", earlier}), cli::kExitSuccess) << err.str();
    EXPECT_EQ(simulator->count("image", a.address), 1u) << err.str();
    EXPECT_NE(err.str().find("was written for the image " + relative + " (taken as " +
                             (folder / relative).string() + ")"),
              std::string::npos)
        << err.str();
}

// A report proves each unit by the SHA-256 and size of the image it got.
struct ResumeFromReport : BatchRecords, ::testing::WithParamInterface<const char*> {};

TEST_P(ResumeFromReport, SkipsTheUnitsItProvesAndOnlyWhileTheImageIsTheSame) {
    const auto a = unit(), b = unit(), c = unit();
    start({a, b, c});
    writeFile(listPath(), listOf({a, b}));
    const std::string report = dir.file(std::string("first.") + GetParam()).string();
    ASSERT_EQ(fwprog({"--report", report}), cli::kExitSuccess) << err.str();

    // The list grows by one unit: the two the report proves are left alone.
    writeFile(listPath(), listOf({a, b, c}));
    EXPECT_EQ(fwprog({"--resume", report, "--json"}), cli::kExitSuccess) << err.str();
    EXPECT_EQ(simulator->count("image", a.address), 1u);
    EXPECT_EQ(simulator->count("image", b.address), 1u);
    EXPECT_EQ(simulator->count("image", c.address), 1u);
    EXPECT_NE(err.str().find("fwprog: skipped " + a.address), std::string::npos) << err.str();
    EXPECT_NE(out.str().find(R"("skipped": [")" + a.address + R"(", ")" + b.address + "\"]"),
              std::string::npos)
        << out.str();

    // Other bytes at the same path, even of the same size: nothing is skipped.
    writeFile(imagePath, testing_support::makeImage(image.size(), 99));
    EXPECT_EQ(fwprog({"--resume", report}), cli::kExitSuccess) << err.str();
    EXPECT_EQ(simulator->count("image", a.address), 2u);
    EXPECT_EQ(simulator->count("image", b.address), 2u);
    EXPECT_NE(err.str().find("2 units it has as programmed got other image bytes"),
              std::string::npos)
        << err.str();
}

INSTANTIATE_TEST_SUITE_P(Formats, ResumeFromReport, ::testing::Values("jsonl", "csv"),
                         [](const auto& testCase) { return std::string(testCase.param); });

TEST_F(BatchRecords, AnImagePathWithALineBreakCannotForgeALogLine) {
    const auto a = unit(), b = unit();
    start({a, b});
    // A name that, written raw, would put b's "programmed" line into the log.
    const std::string forged =
        dir.file("fw\r\n" + line(b.address, "Successfully Programmed") + "x.bin").string();
    writeFile(forged, image);
    std::filesystem::last_write_time(forged, std::filesystem::file_time_type::clock::now() - 1h);
    writeFile(listPath(), listOf({a}));
    imagePath = forged;
    const std::string report = dir.file("report.csv").string();
    ASSERT_EQ(fwprog({"--report", report}), cli::kExitSuccess) << err.str();
    const std::string log = readFile(logPath());
    EXPECT_EQ(log.find("\r\nIP: " + b.address), std::string::npos) << log;
    EXPECT_NE(log.find("fw\\x0d\\x0aIP: " + b.address), std::string::npos) << log;
    // In the CSV report, the path is one quoted cell of one row.
    const std::string csv = readFile(report);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 2) << csv;
    EXPECT_NE(csv.find(",\"" + dir.path().string() + "/fw\\x0d\\x0aIP: "), std::string::npos)
        << csv;

    // Resumed from that log, b is programmed, and a is skipped: the escaped
    // name still leads to the image.
    writeFile(listPath(), listOf({a, b}));
    EXPECT_EQ(fwprog({"--resume", logPath()}), cli::kExitSuccess) << err.str();
    EXPECT_EQ(simulator->count("image", a.address), 1u) << err.str();
    EXPECT_EQ(simulator->count("image", b.address), 1u) << err.str();
}

// --- a record with a second name ----------------------------------------------

struct HardLinkedRecord : BatchRecords, ::testing::WithParamInterface<const char*> {};

TEST_P(HardLinkedRecord, IsRefusedAndTheOtherNameKeepsItsBytes) {
    const auto a = unit();
    start({a});
    const std::string which = GetParam();
    const std::string path = which == "log" ? logPath() : dir.file("report.jsonl").string();
    const std::string kept = dir.file("kept.txt").string();
    writeFile(kept, "someone's notes\n");
    ASSERT_EQ(::link(kept.c_str(), path.c_str()), 0);
    std::vector<std::string> extra;
    if (which == "report")
        extra = {"--report", path};

    EXPECT_EQ(fwprog(extra), cli::kExitFailure) << err.str();
    EXPECT_NE(err.str().find("It has 2 hard links"), std::string::npos) << err.str();
    EXPECT_EQ(readFile(kept), "someone's notes\n");
    EXPECT_EQ(simulator->count("connection"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Records, HardLinkedRecord, ::testing::Values("log", "report"),
                         [](const auto& testCase) { return std::string(testCase.param); });

// --- a list that contacts no unit changes no file ---------------------------

namespace {

struct BadList {
    const char* name;
    // Makes the list in dir; returns its path.
    std::string (*make)(testing_support::TempDir& dir);
};

const BadList kBadLists[] = {
    {"Mistyped", [](testing_support::TempDir& dir) { return dir.file("unts.txt").string(); }},
    {"NulByte",
     [](testing_support::TempDir& dir) {
         const std::string path = dir.file("units.txt").string();
         writeFile(path, std::string("127.0.0.1\r\n127.0.0.2\0\r\n", 23));
         return path;
     }},
    {"Fifo",
     [](testing_support::TempDir& dir) {
         const std::string path = dir.file("units.txt").string();
         EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
         return path;
     }},
};

struct ListBesideRecords : ::testing::TestWithParam<BadList> {};

}  // namespace

TEST_P(ListBesideRecords, LeavesTheLogAndTheReportByteForByte) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "Windows has no FIFO in the file system";
    testing_support::TempDir dir;
    writeFile(dir.file("fw.bin"), "image");
    const std::string log = dir.file("Status.txt").string();
    const std::string report = dir.file("report.csv").string();
    const std::string logBytes =
        "File Name: fw.bin\r\nDate: 12/01/26, Time: 09:00\r\n"
        "IP: 10.0.0.7 Successfully Programmed\r\n1 Units Updated\r\n";
    const std::string reportBytes = "target,result\r\n10.0.0.7,0\r\n";
    writeFile(log, logBytes);
    writeFile(report, reportBytes);
    const std::string list = GetParam().make(dir);

    testing_support::FwprogRun how;
    how.deadline = 10s;
    const auto run = testing_support::runFwprogProcess(
        {"multiple", "--image", dir.file("fw.bin").string(), "--list", list, "--log", log,
         "--report", report, "--status-port", std::to_string(testing_support::freeUdpPort())},
        how);
    ASSERT_FALSE(run.timedOut) << "the list was waited on";
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find(list), std::string::npos) << run.err;
    EXPECT_EQ(readFile(log), logBytes);
    EXPECT_EQ(readFile(report), reportBytes);
    EXPECT_EQ(run.out, "") << "no log was written, so none is pointed at";
}

INSTANTIATE_TEST_SUITE_P(Lists, ListBesideRecords, ::testing::ValuesIn(kBadLists),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

// --- a full disk --------------------------------------------------------------

namespace {

struct FullDiskCase {
    const char* name;
    bool logOnFullDisk;  // otherwise the report is
    const char* jobs;
    std::size_t units;
};

struct FullDisk : ::testing::TestWithParam<FullDiskCase>, testing_support::SimulatedUnits {};

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream stream(text);
    for (std::string one; std::getline(stream, one);)
        lines.push_back(nlohmann::json::parse(one));
    return lines;
}

}  // namespace

// The record on a tmpfs of two pages, one of them taken: the file can grow
// to 4096 bytes, and the write that crosses that fails part way. fwprog runs
// in a mount namespace of its own, so the tmpfs is seen by nobody else; what
// it wrote there is copied out once it has ended.
TEST_P(FullDisk, FinishesAndRecordsEveryUnitInFlightWithoutATornLine) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "mount namespaces are Linux's";
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs in a mount namespace needs root here";
    const FullDiskCase& c = GetParam();
    testing_support::TempDir dir;
    std::filesystem::create_directories(dir.file("full"));
    std::filesystem::create_directories(dir.file("out"));
    const std::string full = dir.file("full").string();
    const std::string outDir = dir.file("out").string();

    // For the log: an image path that fills the log's page but for a few
    // bytes, so the first unit's line is the one that meets the full disk.
    // For the report: lines of some 1,000 bytes, so the fourth or so fills it.
    std::string imagePath = dir.path().string() + std::string(600, '/') + "fw.bin";
    if (c.logOnFullDisk) {
        const std::size_t header = 4096 - 20;
        const std::size_t dateLine = std::string("Date: 12/08/26, Time: 23:59\r\n").size();
        const std::size_t length = header - dateLine - std::string("File Name: \r\n").size();
        imagePath = dir.path().string() +
                    std::string(length - dir.path().string().size() - 6, '/') + "fw.bin";
        ASSERT_EQ(imagePath.size(), length);
    }
    writeFile(dir.file("fw.bin"), testing_support::makeImage(3 * 1460 + 1));

    std::vector<sim::UnitSettings> units;
    for (std::size_t i = 0; i < c.units; ++i)
        units.push_back(unit());
    writeFile(dir.file("units.txt"), listOf(units));
    ASSERT_TRUE(startSimulator(units));

    const std::string name = c.logOnFullDisk ? "Status.txt" : "report.jsonl";
    const std::string log =
        c.logOnFullDisk ? full + "/Status.txt" : dir.file("Status.txt").string();
    const std::string report =
        c.logOnFullDisk ? dir.file("report.jsonl").string() : full + "/report.jsonl";
    const std::string script = "mount -t tmpfs -o size=8k fwprog-full '" + full + "' || exit 0\n" +
                               "head -c 4096 /dev/zero > '" + full + "/filler' || exit 0\n" +  //
                               "touch '" + outDir + "/namespace'\n" +                          //
                               "\"$@\"; status=$?\n" +                                         //
                               "cp '" + full + "/" + name + "' '" + outDir + "/" + name + "'\n" +
                               "exit $status\n";
    testing_support::FwprogRun how;
    how.wrapper = {
        "/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh"};
    how.deadline = 90s;
    std::vector<std::string> args = {"multiple",
                                     "--image",
                                     imagePath,
                                     "--list",
                                     dir.file("units.txt").string(),
                                     "--log",
                                     log,
                                     "--report",
                                     report,
                                     "--jobs",
                                     c.jobs,
                                     "--after-wait",
                                     "0",
                                     "--json"};
    for (const auto& option : portOptions())
        args.push_back(option);
    const auto run = testing_support::runFwprogProcess(args, how);
    if (!std::filesystem::exists(dir.file("out/namespace")))
        GTEST_SKIP() << "no private mount namespace with a tmpfs could be made here: " << run.err;
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 1) << run.err;

    const nlohmann::json outcome = nlohmann::json::parse(run.out);
    std::size_t programmed = 0;
    for (const auto& u : units)
        programmed += simulator->count("image", u.address);
    EXPECT_EQ(outcome["attempted"], programmed) << run.out;
    EXPECT_EQ(outcome["units"].size(), programmed) << run.out;
    EXPECT_EQ(outcome["stop_reason"], c.logOnFullDisk ? "log" : "report") << run.out;
    if (std::string(c.jobs) != "1") {
        EXPECT_EQ(programmed, units.size()) << "every unit was in flight";
    }

    // The record on the full disk ends with a whole line.
    const std::string fullBytes = readFile(dir.file("out/" + name));
    ASSERT_FALSE(fullBytes.empty());
    EXPECT_EQ(fullBytes.back(), '\n')
        << fullBytes.substr(fullBytes.size() - std::min<std::size_t>(fullBytes.size(), 40));

    // The record that still works holds every unit programmed.
    if (c.logOnFullDisk) {
        const auto lines = jsonLines(readFile(report));
        EXPECT_EQ(lines.size(), programmed);
        for (const auto& l : lines)
            EXPECT_EQ(l["result"], 0) << l.dump();
        EXPECT_NE(run.err.find("No space left on device"), std::string::npos) << run.err;
    } else {
        const std::string text = readFile(log);
        for (const auto& u : units) {
            if (simulator->count("image", u.address) > 0) {
                EXPECT_NE(text.find(u.address + " Successfully Programmed\r\n"), std::string::npos)
                    << u.address << "\n"
                    << text;
            }
        }
        for (const auto& l : jsonLines(fullBytes))
            EXPECT_EQ(l["result"], 0) << l.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(Records, FullDisk,
                         ::testing::Values(FullDiskCase{"LogOneByOne", true, "1", 3},
                                           FullDiskCase{"LogTenAtOnce", true, "10", 10},
                                           FullDiskCase{"ReportTenAtOnce", false, "10", 10}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });
