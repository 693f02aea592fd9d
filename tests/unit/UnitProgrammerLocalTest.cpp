// The programming sequence's paths that end before any unit is involved.
#include "engine/UnitProgrammer.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/TestEnvironment.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

class NoSpooler final : public platform::Spooler {
public:
    std::vector<std::string> queueNames() override { return {}; }
    std::unique_ptr<platform::PrintQueue> open(const std::string& name, int* error) override {
        opened.push_back(name);
        *error = 1801;
        return nullptr;
    }
    std::vector<std::string> opened;
};

struct LocalRun : ::testing::Test {
    testing_support::RecordingOperator op;
    testing_support::ScaledSleeper sleeper{0.0};
    NoSpooler spooler;
    testing_support::TempDir dir;
    EngineOptions options() {
        EngineOptions o;
        o.endpoints.statusPort = testing_support::freeUdpPort();
        o.endpoints.unitTcpPort = testing_support::freeTcpPort();
        o.endpoints.unitUdpPort = testing_support::freeUdpPort();
        return o;
    }
};

}  // namespace

TEST_F(LocalRun, MissingDirectoryOrEmptyImagePathGivesFileNotFoundWithoutTrafficOrMessage) {
    UnitProgrammer programmer(op, sleeper, spooler, options());
    for (const std::string& path :
         {dir.file("absent.bin").string(), dir.path().string(), std::string()}) {
        EXPECT_EQ(programmer.ProgramUnit(path, "127.0.0.7"), ResultFileNotFound) << path;
    }
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.connectionAttempts, 0);
    EXPECT_EQ(op.probes, 0);
    EXPECT_TRUE(sleeper.requested().empty());
    EXPECT_EQ(op.waitCursorDepth, 0) << "every wait cursor shown must be released";
    EXPECT_EQ(op.waitCursorBegins, 3);
    EXPECT_EQ(op.positions, std::vector<std::uint64_t>(3, 0));
}

TEST_F(LocalRun, TargetsThatAreNotFourDottedNumbersGoToThePrintQueue) {
    testing_support::writeFile(dir.file("fw.bin"), "image");
    UnitProgrammer programmer(op, sleeper, spooler, options());
    for (const std::string& target : {std::string("Laser on LPT1"), std::string("10.0.0"),
                                      std::string("printer1"), std::string(5000, 'x')})
        EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), target),
                  ResultPrinterPortError);
    ASSERT_EQ(spooler.opened.size(), 4u);
    EXPECT_EQ(spooler.opened[3].size(), 5000u) << "a long target is used whole, never cut";
    EXPECT_EQ(op.messages[0].text, "Can't Open Port Laser on LPT1. Error: 1801");
    EXPECT_EQ(op.messages[0].flags, mb::kIconStop);
    EXPECT_EQ(op.connectionAttempts, 0);
    EXPECT_EQ(op.waitCursorDepth, 0);
}

TEST_F(LocalRun, StatusPortTakenIsReportedOnceAndTheRunGoesOn) {
    testing_support::writeFile(dir.file("fw.bin"), "image");
    EngineOptions o = options();
    platform::DatagramSocket squatter;
    ASSERT_TRUE(squatter.create(o.endpoints.statusPort));
    UnitProgrammer programmer(op, sleeper, spooler, o);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("absent.bin").string(), "127.0.0.7"),
              ResultFileNotFound);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Windows Socket SendTo Error\nAddress already in use\n");
    EXPECT_EQ(op.messages[0].flags, mb::kIconStop);
}

// An image must be a regular file: a device never ends, a FIFO would hang the
// open, and neither must reach a unit.
TEST_F(LocalRun, AnImageThatIsNotARegularFileIsRefusedLikeAMissingOne) {
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const int unixSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    const std::string socketPath = dir.file("socket").string();
    std::strncpy(where.sun_path, socketPath.c_str(), sizeof where.sun_path - 1);
    ASSERT_EQ(::bind(unixSocket, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/dev/zero", "a character device"},
        {dir.file("fifo").string(), "a FIFO"},
        {socketPath, "a socket"},
        {dir.path().string(), "a directory"},
    };
    UnitProgrammer programmer(op, sleeper, spooler, options());
    for (const auto& [path, kind] : cases) {
        EXPECT_EQ(programmer.ProgramUnit(path, "127.0.0.7"), ResultFileNotFound) << path;
        EXPECT_EQ(programmer.lastRun().imageNotRegular, kind) << path;
    }
    ::close(unixSocket);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.connectionAttempts, 0);
    EXPECT_EQ(op.probes, 0);
    EXPECT_TRUE(sleeper.requested().empty());
}
