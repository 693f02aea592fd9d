// The print-queue path against a spooler that records every call and fails
// the one a case names.
#include "engine/PrintQueueDelivery.h"
#include "engine/Protocol.h"
#include "platform/ErrorText.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <ostream>

namespace {

// What the fake spooler does and what it saw.
struct Script {
    bool openFails = false;
    std::optional<std::string> port = std::string("socket://127.0.0.1:9100");
    std::string failCall;  // e.g. "write"
    int failOccurrence = 0;
    std::function<void()> afterWrite;

    std::vector<std::string> calls;
    std::string written;
    std::map<std::string, int> seen;

    bool record(const std::string& call, const std::string& detail = {}) {
        calls.push_back(detail.empty() ? call : call + ":" + detail);
        return !(call == failCall && ++seen[call] == failOccurrence);
    }
};

class FakeQueue final : public platform::PrintQueue {
public:
    explicit FakeQueue(Script& script) : s_(script) {}
    std::optional<std::string> portName() override {
        s_.record("portName");
        return s_.port;
    }
    bool startDocument(const std::string& name, const std::string& type) override {
        return s_.record("startDocument", name + "/" + type);
    }
    bool startPage() override { return s_.record("startPage"); }
    bool write(const void* data, std::size_t length) override {
        s_.written.append(static_cast<const char*>(data), length);
        const bool ok = s_.record("write", std::to_string(length));
        if (s_.afterWrite)
            s_.afterWrite();
        return ok;
    }
    bool endPage() override { return s_.record("endPage"); }
    bool endDocument() override { return s_.record("endDocument"); }
    bool abortDocument() override { return s_.record("abortDocument"); }
    void close() override { s_.record("close"); }

private:
    Script& s_;
};

class FakeSpooler final : public platform::Spooler {
public:
    explicit FakeSpooler(Script& script) : s_(script) {}
    std::vector<std::string> queueNames() override { return {}; }
    std::unique_ptr<platform::PrintQueue> open(const std::string& name, int* error) override {
        s_.record("open", name);
        if (s_.openFails) {
            *error = 1801;
            return nullptr;
        }
        return std::make_unique<FakeQueue>(s_);
    }

private:
    Script& s_;
};

const std::string kStart = "startDocument:Firmware Programmer/RAW";

// Every call of a clean delivery of an image of 2920 bytes.
std::vector<std::string> cleanRun() {
    return {"open:q1",    "portName",    kStart,    "startPage",   "write:39",
            "endPage",    "endDocument", kStart,    "startPage",   "write:1460",
            "write:1460", "write:0",     "endPage", "endDocument", "close"};
}

struct Delivery : ::testing::Test {
    Script script;
    FakeSpooler spooler{script};
    testing_support::RecordingOperator op;
    testing_support::TempDir dir;
    platform::InputFile image;
    std::array<unsigned char, 1460> buffer{};
    std::string imageBytes;

    engine::ProgramResult deliver(std::size_t imageSize = 2920) {
        imageBytes = testing_support::makeImage(imageSize);
        testing_support::writeFile(dir.file("fw.bin"), imageBytes);
        EXPECT_TRUE(image.open(dir.file("fw.bin").string()));
        return engine::DeliverToPrintQueue(op, spooler, "q1", image,
                                           engine::proto::entryHeaderForPrintQueue(), buffer.data(),
                                           buffer.size());
    }

    std::vector<std::string> messageTexts() const {
        std::vector<std::string> texts;
        for (const auto& m : op.messages) {
            EXPECT_EQ(m.style, engine::BoxIcon::Stop) << m.text;
            texts.push_back(m.text);
        }
        return texts;
    }
};

}  // namespace

TEST_F(Delivery, BothDocumentsAreAcceptedAsUnconfirmedWithTheImageInFullBlocks) {
    EXPECT_EQ(deliver(2920), engine::ResultUnconfirmed);
    EXPECT_EQ(script.calls, cleanRun());
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(script.written, std::string(engine::proto::kEntryHeaderText) + imageBytes);
    EXPECT_TRUE(op.positions.empty());
}

TEST_F(Delivery, AnEmptyImageGivesOneEmptyWriteAndUnblockedSizesEndWithOneShortBlock) {
    EXPECT_EQ(deliver(0), engine::ResultUnconfirmed);
    const std::vector<std::string> imageDocument(script.calls.begin() + 7, script.calls.end());
    EXPECT_EQ(imageDocument, (std::vector<std::string>{kStart, "startPage", "write:0", "endPage",
                                                       "endDocument", "close"}));

    Script other;
    FakeSpooler second(other);
    testing_support::writeFile(dir.file("odd.bin"), testing_support::makeImage(1461));
    platform::InputFile odd;
    ASSERT_TRUE(odd.open(dir.file("odd.bin").string()));
    EXPECT_EQ(engine::DeliverToPrintQueue(op, second, "q1", odd,
                                          engine::proto::entryHeaderForPrintQueue(), buffer.data(),
                                          buffer.size()),
              engine::ResultUnconfirmed);
    EXPECT_EQ(std::count(other.calls.begin(), other.calls.end(), "write:1"), 1);
    EXPECT_EQ(other.calls[other.calls.size() - 4], "write:0");
}

TEST_F(Delivery, AnUnknownQueueIsReportedWithTheSpoolersCodeAndNothingElseIsCalled) {
    script.openFails = true;
    EXPECT_EQ(deliver(), engine::ResultPrinterPortError);
    EXPECT_EQ(script.calls, std::vector<std::string>{"open:q1"});
    EXPECT_EQ(messageTexts(), std::vector<std::string>{"Can't Open Port q1. Error: 1801"});
}

struct PortCase {
    const char* name;
    std::optional<std::string> port;  // nothing: the port cannot be read
    bool refused;
};

void PrintTo(const PortCase& c, std::ostream* out) {
    *out << c.name;
}

struct PortOfQueue : Delivery, ::testing::WithParamInterface<PortCase> {};

TEST_P(PortOfQueue, IsRefusedOnlyWhenExactlyFile) {
    const PortCase& c = GetParam();
    script.port = c.port;
    const engine::ProgramResult result = deliver();
    if (c.refused) {
        EXPECT_EQ(result, engine::ResultPrinterPortError);
        EXPECT_EQ(script.calls, (std::vector<std::string>{"open:q1", "portName", "close"}));
        EXPECT_EQ(messageTexts(), std::vector<std::string>{"Could not Open the Printer"});
    } else {
        EXPECT_EQ(result, engine::ResultUnconfirmed);
        EXPECT_EQ(script.calls, cleanRun());
        EXPECT_TRUE(op.messages.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Delivery, PortOfQueue,
                         ::testing::Values(PortCase{"File", "FILE:", true},
                                           PortCase{"Unreadable", std::nullopt, true},
                                           PortCase{"LowerCaseFile", "file:", false},
                                           PortCase{"FileAmongOthers", "FILE:,LPT1:", false},
                                           PortCase{"FileWithoutColon", "FILE", false},
                                           PortCase{"FileAfterASpace", " FILE:", false},
                                           PortCase{"Socket", "socket://10.0.0.9", false}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

// The first failure ends the delivery: its message (if any), the clean-up the
// step calls for, and never a retry. A failed write of the image withdraws its
// job: ended in order, a cut-off image would go out as a finished job.
struct FailingStep {
    std::string call;
    int occurrence;
    std::optional<std::string> message;
    std::vector<std::string> cleanup;
};

void PrintTo(const FailingStep& c, std::ostream* out) {
    *out << c.call << " #" << c.occurrence;
}

struct SpoolerStepFails : Delivery, ::testing::WithParamInterface<FailingStep> {};

TEST_P(SpoolerStepFails, EndsWithItsMessageAndCleanUp) {
    const FailingStep& c = GetParam();
    script.failCall = c.call;
    script.failOccurrence = c.occurrence;
    EXPECT_EQ(deliver(2920), engine::ResultPrinterPortError);

    // Everything of the clean run up to the failing call, then the clean-up.
    std::vector<std::string> expected;
    int seen = 0;
    for (const std::string& call : cleanRun()) {
        expected.push_back(call);
        if (call.rfind(c.call, 0) == 0 && ++seen == c.occurrence)
            break;
    }
    expected.insert(expected.end(), c.cleanup.begin(), c.cleanup.end());
    EXPECT_EQ(script.calls, expected);
    EXPECT_EQ(messageTexts(),
              c.message ? std::vector<std::string>{*c.message} : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, SpoolerStepFails,
    ::testing::Values(
        FailingStep{"startDocument", 1, "StartDocPrinter Failed", {"close"}},
        FailingStep{"startDocument", 2, "StartDocPrinter Failed", {"close"}},
        FailingStep{"startPage", 1, "StartPagePrinter Failed", {"endDocument", "close"}},
        FailingStep{"startPage", 2, "StartPagePrinter Failed", {"endDocument", "close"}},
        FailingStep{"write", 1, "Print Error!", {"endPage", "endDocument", "close"}},
        FailingStep{"write", 2, "Print Error!", {"abortDocument", "close"}},
        FailingStep{"write", 3, "Print Error!", {"abortDocument", "close"}},
        FailingStep{"write", 4, "Print Error!", {"abortDocument", "close"}},  // the empty one
        FailingStep{"endPage", 1, std::nullopt, {"endDocument", "close"}},
        FailingStep{"endPage", 2, std::nullopt, {"endDocument", "close"}},
        FailingStep{"endDocument", 1, std::nullopt, {"close"}},
        FailingStep{"endDocument", 2, std::nullopt, {"close"}}),
    [](const auto& testCase) {
        std::string call = testCase.param.call;
        call[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(call[0])));
        return call + std::to_string(testCase.param.occurrence);
    });

struct CutOffCase {
    const char* name;
    bool stop;  // else the file fails to be read
    engine::ProgramResult result;
    std::vector<std::string> messages;
};

void PrintTo(const CutOffCase& c, std::ostream* out) {
    *out << c.name;
}

struct CutOffImage : Delivery, ::testing::WithParamInterface<CutOffCase> {};

TEST_P(CutOffImage, WithdrawsItsJob) {
    const CutOffCase& c = GetParam();
    engine::QueueDeliveryRun run;
    run.imagePath = "fw.bin";
    bool cut = false;
    run.stop = [&] { return c.stop && cut; };
    // Cut after the first image block.
    script.afterWrite = [&] {
        if (script.calls.back() == "write:1460") {
            cut = true;
            if (!c.stop)
                image.close();
        }
    };
    imageBytes = testing_support::makeImage(2920);
    testing_support::writeFile(dir.file("fw.bin"), imageBytes);
    ASSERT_TRUE(image.open(dir.file("fw.bin").string()));
    EXPECT_EQ(engine::DeliverToPrintQueue(op, spooler, "q1", image,
                                          engine::proto::entryHeaderForPrintQueue(), buffer.data(),
                                          buffer.size(), &run),
              c.result);
    const std::vector<std::string> clean = cleanRun();
    std::vector<std::string> expected(clean.begin(), clean.begin() + 10);
    expected.insert(expected.end(), {"abortDocument", "close"});
    EXPECT_EQ(script.calls, expected);
    EXPECT_EQ(messageTexts(), c.messages);
    EXPECT_TRUE(run.imageCutOff);
    EXPECT_EQ(run.stopped, c.stop);
    EXPECT_EQ(run.imageBytesWritten, 1460u);
}

// What reading a file that is not open fails with, as this system numbers it.
#ifdef _WIN32
constexpr int kBadHandle = 6;  // ERROR_INVALID_HANDLE
#else
constexpr int kBadHandle = EBADF;
#endif

INSTANTIATE_TEST_SUITE_P(Delivery, CutOffImage,
                         ::testing::Values(CutOffCase{"ReadError",
                                                      false,
                                                      engine::ResultFileNotFound,
                                                      {"Could not read the image file fw.bin\n" +
                                                       platform::systemErrorText(kBadHandle)}},
                                           CutOffCase{"Stop", true, engine::ResultUnconfirmed, {}}),
                         [](const auto& testCase) { return std::string(testCase.param.name); });
