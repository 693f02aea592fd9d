// Bytes that came from outside - discovery replies, list records, queue names -
// reach a terminal or a script only as visible text; a reply cannot smuggle
// targets into a saved list; and output that cannot be written is a failure.
// The real fwprog executable, its output on a pipe, a pseudo-terminal or a
// full device, against simulated units that answer with hostile replies.
#include "cli/CliContext.h"
#include "sim/UnitSimulator.h"
#include "tests/support/FwprogProcess.h"
#include "tests/support/NoQueues.h"
#include "tests/support/ScaledSleeper.h"
#include "tests/support/SimulatedUnits.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

using testing_support::FwprogRun;
using testing_support::readFile;
using testing_support::runFwprogProcess;
using testing_support::uniqueLoopbackAddress;
using testing_support::writeFile;

namespace {

// The first byte a terminal could act on, or that is not plain text: controls
// other than tab and line feed, a CR not ending a line, DEL, and anything
// above ASCII (none of the texts here hold valid UTF-8 that should pass).
std::string firstRawByte(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\t' || byte == '\n' || (byte >= 0x20 && byte < 0x7F))
            continue;
        if (byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        return "byte " + std::to_string(byte) + " at " + std::to_string(i);
    }
    return {};
}

struct HostileUnits : testing_support::SimulatedUnits {
    sim::UnitSettings retitle, crAddress, tabProduct, notUtf8, eraser, plain;

    HostileUnits() {
        for (auto* unit : {&retitle, &crAddress, &tabProduct, &notUtf8, &eraser, &plain})
            unit->address = uniqueLoopbackAddress();
        // Retitles the terminal and clears the screen.
        retitle.rawReply = "\x1b]0;pwned\x07Unit 1.0\x1b[2J\nIP:" + retitle.address + "\n";
        // One "address" that a saved list would turn into two targets.
        crAddress.rawReply = "Unit 2.0\nIP:127.0.31.2\r127.0.31.3\n";
        // The tab makes the list line's address "1.0<tab>ADDRESS": a print queue.
        tabProduct.rawReply = "Evil\t1.0\nIP:" + tabProduct.address + "\n";
        // Latin-1 and a C1 control (CSI) in UTF-8 form.
        notUtf8.rawReply = "Caf\xe9 \xc2\x9b 1.0\nIP:" + notUtf8.address + "\n";
        // Back to the line's start and erase it: the line above would vanish.
        eraser.rawReply = "\r\x1b[2KUnit 3.0\nIP:" + eraser.address + "\n";
        plain.product = "Unit 7 1.20";
    }

    ::testing::AssertionResult start() {
        return startSimulator({retitle, crAddress, tabProduct, notUtf8, eraser, plain});
    }

    std::vector<std::string> discoverArgs() const {
        return {"discover",
                "--wait",
                "300",
                "--unit-udp-port",
                std::to_string(simOptions.udpPort),
                "--broadcast",
                "127.255.255.255"};
    }
};

class DiscoverHostileReplies : public ::testing::TestWithParam<FwprogRun::Stdout> {};

}  // namespace

TEST_P(DiscoverHostileReplies, ArePrintedAsVisibleEscapesAndKeptOutOfTheSavedList) {
    if (GetParam() == FwprogRun::Stdout::Terminal && testing_support::fwprogRunsUnderWine())
        GTEST_SKIP() << "Wine puts a console of its own between a Windows program and a Unix "
                        "terminal and redraws what the program writes";
    HostileUnits units;
    ASSERT_TRUE(units.start());
    testing_support::TempDir dir;
    const std::string saved = dir.file("units.txt").string();
    std::vector<std::string> args = units.discoverArgs();
    args.insert(args.end(), {"--save", saved});
    FwprogRun how;
    how.stdoutKind = GetParam();
    const auto run = runFwprogProcess(args, how);
    ASSERT_TRUE(run.started);
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitStatus, 0) << run.err;

    EXPECT_EQ(firstRawByte(run.out), "") << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 4) << run.out;
    // Every unit stays on a line of its own, its bytes there to be read, with
    // the interface that heard it.
    for (const std::string& line :
         {"\\x0d\\x1b[2KUnit 3.0\t" + units.eraser.address + "\tlo\n",
          "\\x1b]0;pwned\\x07Unit 1.0\\x1b[2J\t" + units.retitle.address + "\tlo\n",
          "Caf\\xe9 \\xc2\\x9b 1.0\t" + units.notUtf8.address + "\tlo\n",
          "Unit 7 1.20\t" + units.plain.address + "\tlo\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << " in\n" << run.out;
    // Every line keeps its three columns: a reply whose tab or CR would move
    // the address out of its column claims no unit's address and is left
    // out, and the operator learns how many were.
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 2) << line;
    EXPECT_EQ(run.out.find(units.tabProduct.address), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("127.0.31.2"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("2 replies were not listed"), std::string::npos) << run.err;

    // Only the listed units' addresses are saved, exactly as before.
    EXPECT_EQ(readFile(saved), units.eraser.address + "\r\n" + units.retitle.address + "\r\n" +
                                   units.notUtf8.address + "\r\n" + units.plain.address + "\r\n");
    EXPECT_EQ(firstRawByte(run.err), "") << run.err;
}

INSTANTIATE_TEST_SUITE_P(Outputs, DiscoverHostileReplies,
                         ::testing::Values(FwprogRun::Stdout::Pipe, FwprogRun::Stdout::Terminal),
                         [](const auto& testCase) {
                             return testCase.param == FwprogRun::Stdout::Pipe ? "Pipe" : "Terminal";
                         });

TEST(OutsideBytes, JsonKeepsItsOwnExactEscaping) {
    HostileUnits units;
    ASSERT_TRUE(units.start());
    std::vector<std::string> args = units.discoverArgs();
    args.push_back("--json");
    const auto run = runFwprogProcess(args);
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.out.find("{\"product\": \"\\u001b]0;pwned\\u0007Unit 1.0\\u001b[2J\", "
                           "\"address\": \"" +
                           units.retitle.address + "\", \"sender\": \"" + units.retitle.address +
                           "\", \"interface\": \"lo\"}"),
              std::string::npos)
        << run.out;
    // The CR address and the tab product claim no unit's address.
    EXPECT_EQ(run.out.find("127.0.31.2"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"refused_replies\": 2"), std::string::npos) << run.out;
    // Latin-1 stays Latin-1; valid UTF-8 (here a C1 control) is its character.
    EXPECT_NE(run.out.find("\"product\": \"Caf\\u00e9 \\u009b 1.0\""), std::string::npos)
        << run.out;
}

// A product name in UTF-8 that carries a right-to-left override: the
// terminal gets the override as an escape, JSON the very characters.
TEST(OutsideBytes, Utf8ProductsStayTheirTextAndBidiControlsAreEscaped) {
    testing_support::SimulatedUnits sim;
    sim::UnitSettings unit;
    unit.address = uniqueLoopbackAddress();
    unit.product =
        "M\xc3\xbcller \xe2\x80\xae"
        "1.2";
    ASSERT_TRUE(sim.startSimulator({unit}));
    const std::vector<std::string> args = {"discover",
                                           "--wait",
                                           "300",
                                           "--unit-udp-port",
                                           std::to_string(sim.simOptions.udpPort),
                                           "--broadcast",
                                           "127.255.255.255"};
    const auto plain = runFwprogProcess(args);
    ASSERT_EQ(plain.exitStatus, 0) << plain.err;
    EXPECT_EQ(plain.out, "M\xc3\xbcller \\xe2\\x80\\xae1.2\t" + unit.address + "\tlo\n");

    std::vector<std::string> json = args;
    json.push_back("--json");
    const auto asJson = runFwprogProcess(json);
    ASSERT_EQ(asJson.exitStatus, 0) << asJson.err;
    EXPECT_NE(asJson.out.find("\"product\": \"M\\u00fcller \\u202e1.2\""), std::string::npos)
        << asJson.out;
}

namespace {

class HostileQueues final : public platform::Spooler {
public:
    std::vector<std::string> queueNames() override {
        return {"office", "\x1b]0;pwned\x07", "lobby\r\x1b[2K"};
    }
    std::unique_ptr<platform::PrintQueue> open(const std::string&, int* error) override {
        *error = testing_support::NoQueues::kOpenError;
        return nullptr;
    }
};

}  // namespace

TEST(OutsideBytes, ListRecordsAndQueueNamesReachTheTerminalOnlyAsVisibleText) {
    testing_support::TempDir dir;
    testing_support::ScaledSleeper sleeper{0.01};
    HostileQueues spooler;
    std::ostringstream out, err;
    std::istringstream in;
    // stderr a terminal: every unit's start and outcome echoes its record.
    cli::CliContext context{out, err, in, true, false, sleeper, spooler};

    ASSERT_EQ(cli::runFwprog({"queues"}, context), 0);
    EXPECT_EQ(out.str(), "office\n\\x1b]0;pwned\\x07\nlobby\\x0d\\x1b[2K\n");

    out.str("");
    const std::string record = "\x1b]0;pwned\x07\xe9";
    writeFile(dir.file("fw.bin"), "image");
    writeFile(dir.file("units.txt"), record + "\r\n");
    cli::runFwprog({"multiple", "--image", dir.file("fw.bin").string(), "--list",
                    dir.file("units.txt").string(), "--status-port",
                    std::to_string(testing_support::freeUdpPort())},
                   context);
    const std::string shown = err.str();
    EXPECT_EQ(firstRawByte(shown), "") << shown;
    EXPECT_NE(shown.find("[1 of 1] \\x1b]0;pwned\\x07\\xe9\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("IP: \\x1b]0;pwned\\x07\\xe9 Printer Port Error"), std::string::npos)
        << shown;
    // The log is a file, not a terminal: it keeps the record byte for byte.
    EXPECT_NE(readFile(dir.file("Status.txt")).find("IP: " + record + " Printer Port Error\r\n"),
              std::string::npos);
}

// Standard output on a device that is always full: whatever the command did,
// its report never arrived, and that is a failure with its reason.
class FullStandardOutput : public ::testing::TestWithParam<const char*> {};

TEST_P(FullStandardOutput, IsAFailureWithItsReason) {
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full to make writes fail";
    testing_support::TempDir dir;
    writeFile(dir.file("fw.bin"), "image");
    writeFile(dir.file("units.txt"), "\r\n");
    const std::string port = std::to_string(testing_support::freeUdpPort());
    const std::string which = GetParam();
    const std::vector<std::string> command =
        which == "discover" ? std::vector<std::string>{"discover", "--json",      "--unit-udp-port",
                                                       port,       "--broadcast", "127.255.255.255"}
        : which == "version"
            ? std::vector<std::string>{"--version"}
            : std::vector<std::string>{"multiple",      "--json",
                                       "--image",       dir.file("fw.bin").string(),
                                       "--list",        dir.file("units.txt").string(),
                                       "--status-port", port};
    FwprogRun how;
    how.stdoutKind = FwprogRun::Stdout::Path;
    how.stdoutPath = "/dev/full";
    const auto run = runFwprogProcess(command, how);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    std::string err = run.err;
    if (which == "discover") {
        // No unit answers on this port, which stderr tells first.
        EXPECT_EQ(err.rfind("fwprog: no unit answered within 1000 ms", 0), 0u) << err;
        if (const auto at = err.find("fwprog: could not write"); at != std::string::npos)
            err.erase(0, at);
    }
    // The reason is the system's own text: Windows words a full disk its own way.
    if (testing_support::fwprogRunsUnderWine())
        EXPECT_EQ(err.rfind("fwprog: could not write to standard output: ", 0), 0u) << run.err;
    else
        EXPECT_EQ(err, "fwprog: could not write to standard output: " +
                           std::system_category().message(ENOSPC) + "\n");
    if (which == "multiple") {
        // The batch's own record is whole all the same.
        const std::string log = readFile(dir.file("Status.txt"));
        EXPECT_NE(log.find("\r\n0 Units Updated\r\n"), std::string::npos) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(OutputWrites, FullStandardOutput,
                         ::testing::Values("discover", "version", "multiple"),
                         [](const auto& testCase) { return std::string(testCase.param); });
