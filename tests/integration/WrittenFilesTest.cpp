// Files fwprog writes - the status log (beside the list or at --log) and the
// list of `discover --save` - are never written through a planted symbolic
// link, never hang on a FIFO, and are refused with the path and the reason;
// the file a link points at keeps every byte. The real executable with a
// deadline, since a program stuck on a FIFO must fail the test, not hang it.
#include "platform/OutputFile.h"
#include "sim/UnitSimulator.h"
#include "tests/support/FwprogProcess.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

using namespace std::chrono_literals;
using testing_support::FwprogRun;
using testing_support::readFile;
using testing_support::runFwprogProcess;
using testing_support::writeFile;

namespace {

enum class Plant { Symlink, FifoNobodyReads, FifoWithReader };

const char* plantName(Plant plant) {
    switch (plant) {
        case Plant::Symlink:
            return "Symlink";
        case Plant::FifoNobodyReads:
            return "FifoNobodyReads";
        case Plant::FifoWithReader:
            return "FifoWithReader";
    }
    return "";
}

// What someone with write access to the folder left where the file goes.
struct Planted {
    testing_support::TempDir& dir;
    std::string path;
    int reader = -1;

    Planted(testing_support::TempDir& where, const std::string& at, Plant plant)
        : dir(where), path(at) {
        if (plant == Plant::Symlink) {
            writeFile(victim(), "secret\n");
            ::chmod(victim().c_str(), 0600);
            std::filesystem::create_symlink(victim(), path);
        } else {
            EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
            if (plant == Plant::FifoWithReader)
                reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
    }
    ~Planted() {
        if (reader >= 0) {
            // Nothing may have come through the FIFO either.
            char byte = 0;
            EXPECT_LE(::read(reader, &byte, 1), 0);
            ::close(reader);
        }
    }
    std::string victim() const { return dir.file("elsewhere/secret.txt").string(); }
    void expectUntouched(Plant plant) const {
        if (plant == Plant::Symlink) {
            EXPECT_EQ(readFile(victim()), "secret\n");
            EXPECT_TRUE(std::filesystem::is_symlink(path));
        } else {
            EXPECT_TRUE(std::filesystem::is_fifo(path));
        }
    }
};

std::string reasonFor(Plant plant) {
    return plant == Plant::Symlink ? "It is a symbolic link" : "It is a FIFO (named pipe)";
}

struct WrittenFiles : ::testing::TestWithParam<Plant>, testing_support::SimulatedUnits {
    testing_support::TempDir dir;
    sim::UnitSettings target = unit();

    WrittenFiles() {
        std::filesystem::create_directory(dir.file("elsewhere"));
        std::filesystem::create_directory(dir.file("units"));
        writeFile(dir.file("fw.bin"), testing_support::makeImage(3000));
        writeFile(dir.file("units/list.txt"), listOf({target}));
    }

    testing_support::FwprogResult multiple(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"multiple", "--image", dir.file("fw.bin").string(),
                                         "--list", dir.file("units/list.txt").string()};
        for (const auto& option : portOptions())
            args.push_back(option);
        args.insert(args.end(), extra.begin(), extra.end());
        FwprogRun how;
        how.deadline = 10s;
        return runFwprogProcess(args, how);
    }
};

}  // namespace

TEST_P(WrittenFiles, APlantedStatusLogIsRefusedBeforeAnyUnit) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP()
            << "Wine shows a Windows program Unix symbolic links and FIFOs as ordinary files; "
               "the Windows build's refusal of links and devices is tested in unit_tests.exe";
    ASSERT_TRUE(startSimulator({target}));
    const std::string log = dir.file("units/Status.txt").string();
    {
        Planted planted(dir, log, GetParam());
        const auto run = multiple();
        ASSERT_FALSE(run.timedOut) << "fwprog hung on the planted file";
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_NE(
            run.err.find("Could not create the status log " + log + "\n" + reasonFor(GetParam())),
            std::string::npos)
            << run.err;
        EXPECT_EQ(run.out, "") << "no log was written to point at";
        planted.expectUntouched(GetParam());
    }
    EXPECT_EQ(simulator->count("header"), 0u) << "a unit was contacted";
}

TEST_P(WrittenFiles, APlantedLogOptionIsRefusedBeforeAnyUnit) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP()
            << "Wine shows a Windows program Unix symbolic links and FIFOs as ordinary files; "
               "the Windows build's refusal of links and devices is tested in unit_tests.exe";
    ASSERT_TRUE(startSimulator({target}));
    const std::string log = dir.file("batch.log").string();
    {
        Planted planted(dir, log, GetParam());
        const auto run = multiple({"--log", log, "--json"});
        ASSERT_FALSE(run.timedOut) << "fwprog hung on the planted file";
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_NE(run.err.find(log), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(reasonFor(GetParam())), std::string::npos) << run.err;
        EXPECT_EQ(run.out.rfind("{\"log\": null, \"units\": []", 0), 0u) << run.out;
        planted.expectUntouched(GetParam());
    }
    EXPECT_EQ(simulator->count("header"), 0u) << "a unit was contacted";
}

TEST_P(WrittenFiles, APlantedSaveFileIsRefused) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP()
            << "Wine shows a Windows program Unix symbolic links and FIFOs as ordinary files; "
               "the Windows build's refusal of links and devices is tested in unit_tests.exe";
    const std::string saved = dir.file("found.txt").string();
    Planted planted(dir, saved, GetParam());
    FwprogRun how;
    how.deadline = 10s;
    const auto run = runFwprogProcess(
        {"discover", "--save", saved, "--unit-udp-port",
         std::to_string(testing_support::freeUdpPort()), "--broadcast", "127.255.255.255"},
        how);
    ASSERT_FALSE(run.timedOut) << "fwprog hung on the planted file";
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.err.find("Cannot save the list to " + saved + "\n" + reasonFor(GetParam())),
              std::string::npos)
        << run.err;
    planted.expectUntouched(GetParam());
    // No temporary file is left behind either.
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".found.txt"), std::string::npos)
            << entry.path();
}

INSTANTIATE_TEST_SUITE_P(Plants, WrittenFiles,
                         ::testing::Values(Plant::Symlink, Plant::FifoNobodyReads,
                                           Plant::FifoWithReader),
                         [](const auto& testCase) { return plantName(testCase.param); });

namespace {

struct BatchMessages : ::testing::Test {
    testing_support::TempDir dir;

    BatchMessages() { writeFile(dir.file("fw.bin"), "image"); }

    testing_support::FwprogResult multiple(const std::string& list,
                                           std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"multiple",
                                         "--image",
                                         dir.file("fw.bin").string(),
                                         "--list",
                                         list,
                                         "--status-port",
                                         std::to_string(testing_support::freeUdpPort())};
        args.insert(args.end(), extra.begin(), extra.end());
        return runFwprogProcess(args);
    }
};

}  // namespace

TEST_F(BatchMessages, ALogHeldByAnotherBatchIsNamedAsSuch) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP()
            << "the other batch here holds a POSIX lock, which Windows locks under Wine do not "
               "see; the Windows lock is tested in unit_tests.exe";
    writeFile(dir.file("units.txt"), "\r\n");
    const std::string log = dir.file("Status.txt").string();
    platform::OutputFile other;
    ASSERT_TRUE(other.createExclusive(log));
    ASSERT_TRUE(other.write("File Name: other batch\r\n"));

    const auto run = multiple(dir.file("units.txt").string());
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(
        run.err.find("the status log " + log + " is in use by another batch on this computer"),
        std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Resource temporarily unavailable"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << "the log was not written, so it is not pointed at";
    EXPECT_EQ(readFile(log), "File Name: other batch\r\n");
}

TEST_F(BatchMessages, AFolderAsTheListIsNamedAndGetsNoLogInsideIt) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "the Windows build names the folder by its Windows path and reason; "
                        "unit_tests.exe tests the refusal";
    std::filesystem::create_directory(dir.file("units"));
    for (const std::string& list : {dir.file("units").string(), dir.file("units").string() + "/"}) {
        SCOPED_TRACE(list);
        std::filesystem::remove(dir.file("Status.txt"));
        const auto run = multiple(list);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.err, "fwprog: cannot open the list file " + list + ": " +
                               std::system_category().message(EISDIR) + "\n");
        EXPECT_FALSE(std::filesystem::exists(dir.file("units/Status.txt")));
        // No unit was contacted, so no log is written, beside the folder or
        // anywhere else.
        EXPECT_FALSE(std::filesystem::exists(dir.file("Status.txt")));
        EXPECT_EQ(run.out, "");
    }
}

// Files that are no list: refused while counting, with the reason, before any
// unit, and without the reader's memory growing with the file. The address
// space is limited so that a reader that holds a whole line fails here.
class NoList : public BatchMessages, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoList, IsRefusedBeforeAnyUnitInBoundedMemory) {
    if (testing_support::fwprogRunsUnderWine())
        GTEST_SKIP()
            << "an address-space limit on Wine itself keeps Wine from starting, and Windows "
               "has no /dev/zero";
#if defined(FWPROG_ADDRESS_SANITIZER)
    GTEST_SKIP() << "the sanitizer runtime reserves far more address space than any limit here";
#endif
    std::string list = GetParam();
    // A device is no regular file: refused before a byte is read.
    std::string reason = "is a character device, not a regular file";
    if (list.empty()) {
        list = dir.file("one line.txt").string();
        writeFile(list, "127.0.0.1" + std::string(2 * 1024 * 1024, 'x') + "\r\n");
        reason = "has a line longer than 1024 bytes";
    } else if (!std::filesystem::exists(list)) {
        GTEST_SKIP() << list << " does not exist here";
    }
    const std::string log = dir.file("Status.txt").string();
    FwprogRun how;
    how.addressSpace = 64ul * 1024 * 1024;
    how.deadline = 15s;
    const auto run = runFwprogProcess(
        {"multiple", "--image", dir.file("fw.bin").string(), "--list", list, "--log", log,
         "--status-port", std::to_string(testing_support::freeUdpPort())},
        how);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.signal, 0) << "ended by a signal: " << run.err;
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    EXPECT_NE(run.err.find("is not a list of targets: it " + reason), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(log)) << "no unit was contacted, so no log is written";
}

INSTANTIATE_TEST_SUITE_P(Files, NoList, ::testing::Values("/dev/zero", ""),
                         [](const auto& testCase) {
                             return std::string(testCase.param).empty() ? "TwoMegabyteLine"
                                                                        : "DevZero";
                         });
