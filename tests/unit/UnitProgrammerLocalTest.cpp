// The programming sequence's paths that end before any unit is involved.
#include "engine/UnitProgrammer.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/RecordingWindow.h"
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
    testing_support::RecordingWindow window;
    testing_support::ScaledSleeper sleeper{0.0};
    NoSpooler spooler;
    testing_support::TempDir dir;
    engine::EngineOptions options() {
        engine::EngineOptions o;
        o.endpoints.statusPort = testing_support::freeUdpPort();
        o.endpoints.unitTcpPort = testing_support::freeTcpPort();
        o.endpoints.unitUdpPort = testing_support::freeUdpPort();
        return o;
    }
};

}  // namespace

// Where the image path points, relative to the test's folder; nullptr: an empty path.
struct NoImage : LocalRun, ::testing::WithParamInterface<const char*> {};

TEST_P(NoImage, GivesFileNotFoundWithoutTrafficOrMessage) {
    const std::string path = GetParam() == nullptr ? std::string()
                             : *GetParam() == '\0' ? dir.path().string()
                                                   : dir.file(GetParam()).string();
    engine::UnitProgrammer programmer(op, sleeper, spooler, options());
    programmer.setWindow(window);
    EXPECT_EQ(programmer.ProgramUnit(path, "127.0.0.7"), engine::ResultFileNotFound);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.connectionAttempts, 0);
    EXPECT_EQ(op.probes, 0);
    EXPECT_TRUE(sleeper.requested().empty());
    EXPECT_EQ(window.waitCursorDepth, 0) << "every wait cursor shown must be released";
    EXPECT_EQ(window.waitCursorBegins, 1);
    EXPECT_EQ(op.positions, std::vector<std::uint64_t>(1, 0));
}

INSTANTIATE_TEST_SUITE_P(LocalRun, NoImage, ::testing::Values("absent.bin", "", nullptr),
                         [](const auto& testCase) {
                             return testCase.param == nullptr ? "EmptyPath"
                                    : *testCase.param == '\0' ? "Directory"
                                                              : "Missing";
                         });

struct NotAnAddress : LocalRun,
                      ::testing::WithParamInterface<std::pair<const char*, std::string>> {};

TEST_P(NotAnAddress, GoesToThePrintQueue) {
    const std::string& target = GetParam().second;
    testing_support::writeFile(dir.file("fw.bin"), "image");
    engine::UnitProgrammer programmer(op, sleeper, spooler, options());
    programmer.setWindow(window);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("fw.bin").string(), target),
              engine::ResultPrinterPortError);
    ASSERT_EQ(spooler.opened.size(), 1u);
    EXPECT_EQ(spooler.opened[0], target) << "a long target is used whole, never cut";
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Can't Open Port " + target + ". Error: 1801");
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_EQ(op.connectionAttempts, 0);
    EXPECT_EQ(window.waitCursorDepth, 0);
}

INSTANTIATE_TEST_SUITE_P(LocalRun, NotAnAddress,
                         ::testing::Values(std::pair{"QueueName", std::string("Laser on LPT1")},
                                           std::pair{"ThreeNumbers", std::string("10.0.0")},
                                           std::pair{"Word", std::string("printer1")},
                                           std::pair{"LongName", std::string(5000, 'x')}),
                         [](const auto& testCase) { return std::string(testCase.param.first); });

TEST_F(LocalRun, StatusPortTakenIsReportedOnceAndTheRunGoesOn) {
    testing_support::writeFile(dir.file("fw.bin"), "image");
    engine::EngineOptions o = options();
    platform::DatagramSocket squatter;
    ASSERT_TRUE(squatter.create(o.endpoints.statusPort));
    engine::UnitProgrammer programmer(op, sleeper, spooler, o);
    EXPECT_EQ(programmer.ProgramUnit(dir.file("absent.bin").string(), "127.0.0.7"),
              engine::ResultFileNotFound);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].text, "Windows Socket SendTo Error\nAddress already in use\n");
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
}

// An image must be a regular file: a device never ends, a FIFO would hang the
// open, and neither must reach a unit.
struct NotRegularImage : LocalRun, ::testing::WithParamInterface<const char*> {};

TEST_P(NotRegularImage, IsRefusedLikeAMissingOne) {
    const std::string kind = GetParam();
    std::string path;
    int unixSocket = -1;
    if (kind == "a character device") {
        path = "/dev/zero";
    } else if (kind == "a FIFO") {
        path = dir.file("fifo").string();
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    } else if (kind == "a socket") {
        unixSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        path = dir.file("socket").string();
        std::strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
        ASSERT_EQ(::bind(unixSocket, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    } else {
        path = dir.path().string();
    }
    engine::UnitProgrammer programmer(op, sleeper, spooler, options());
    EXPECT_EQ(programmer.ProgramUnit(path, "127.0.0.7"), engine::ResultFileNotFound);
    EXPECT_EQ(programmer.lastRun().imageNotRegular, kind);
    if (unixSocket >= 0)
        ::close(unixSocket);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.connectionAttempts, 0);
    EXPECT_EQ(op.probes, 0);
    EXPECT_TRUE(sleeper.requested().empty());
}

INSTANTIATE_TEST_SUITE_P(LocalRun, NotRegularImage,
                         ::testing::Values("a character device", "a FIFO", "a socket",
                                           "a directory"),
                         [](const auto& testCase) {
                             std::string name;
                             for (const char c : std::string(testCase.param).substr(2)) {
                                 if (c != ' ')
                                     name += c;
                             }
                             return name;
                         });
