// Reading batch lists: records, line ends, odd bytes, very long lines, and
// read errors that the batch must be able to tell from the end of the list.
#include "fleet/ListReader.h"
#include "platform/ErrorText.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace std::string_literals;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

struct Read {
    std::vector<std::string> records;
    std::vector<long> lengths;
    bool error = false;
};

Read readAll(fleet::ListFile& file) {
    Read read;
    std::string record;
    for (int guard = 0; guard < 100000; ++guard) {
        const long length = fleet::ReadListLine(file, record);
        if (length == fleet::kListReadError) {
            read.error = true;
            return read;
        }
        if (length == 0)
            return read;
        read.records.push_back(record);
        read.lengths.push_back(length);
    }
    ADD_FAILURE() << "the reader never reported the end of the list";
    return read;
}

std::vector<std::string> recordsOf(const std::string& bytes) {
    TempDir dir;
    writeFile(dir.file("list.txt"), bytes);
    fleet::ListFile file;
    EXPECT_TRUE(file.open(dir.file("list.txt").string()));
    const Read read = readAll(file);
    EXPECT_FALSE(read.error);
    for (std::size_t i = 0; i < read.records.size(); ++i)
        EXPECT_EQ(read.lengths[i], static_cast<long>(read.records[i].size()));
    return read.records;
}

using Records = std::vector<std::string>;

// A read error and an interrupted read, as this system numbers them.
#ifdef _WIN32
constexpr int kReadFault = 30;       // ERROR_READ_FAULT
constexpr int kInterrupted = 10004;  // WSAEINTR
#else
constexpr int kReadFault = EIO;
constexpr int kInterrupted = EINTR;
#endif

// Serves the file's bytes a few at a time and then fails, as a disk or a
// network share might in the middle of a list.
class FailingListFile : public fleet::ListFile {
public:
    std::size_t failAfter = 0;
    int failWith = kReadFault;
    int interruptsFirst = 0;  // reads that are interrupted before any data
    std::size_t served = 0;

protected:
    long readRaw(void* buffer, std::size_t length) override {
        if (interruptsFirst > 0) {
            --interruptsFirst;
            testing_support::setLastSystemError(kInterrupted);
            return -1;
        }
        if (served >= failAfter) {
            testing_support::setLastSystemError(failWith);
            return -1;
        }
        const long got = fleet::ListFile::readRaw(buffer, std::min<std::size_t>(length, 3));
        if (got > 0)
            served += static_cast<std::size_t>(got);
        return got;
    }
};

}  // namespace

TEST(ListReader, LineEndsOfEveryKindSeparateRecordsAndBlankLinesProduceNothing) {
    EXPECT_EQ(recordsOf("127.0.0.2\r\n127.0.0.3\r\n"), (Records{"127.0.0.2", "127.0.0.3"}));
    EXPECT_EQ(recordsOf("127.0.0.2\r127.0.0.3\r"), (Records{"127.0.0.2", "127.0.0.3"}));
    // The last record needs no line end.
    EXPECT_EQ(recordsOf("a\r\nb"), (Records{"a", "b"}));
    // Blank lines in front, between and behind, in any mix of CR and LF.
    EXPECT_EQ(recordsOf("\r\n\n\r\r\na\r\n\r\n\n\rb\r\n\n\r\r\n\r"), (Records{"a", "b"}));
    // LF alone ends a record too, as lists written on Linux have it.
    EXPECT_EQ(recordsOf("a\nb\nc\n"), (Records{"a", "b", "c"}));
    EXPECT_EQ(recordsOf("\n\na\nb\rc\n\r"), (Records{"a", "b", "c"}));
    EXPECT_EQ(recordsOf("a\n\rb"), (Records{"a", "b"}));
}

TEST(ListReader, RecordsAreTakenVerbatimWithSpacesAndHighBytes) {
    EXPECT_EQ(recordsOf("  127.0.0.2 \r\n\t q u e u e\t\r\n"),
              (Records{"  127.0.0.2 ", "\t q u e u e\t"}));
    // Bytes above 127 are text of the list's code page, not signs of anything.
    EXPECT_EQ(recordsOf("\xE9t\xE9\xFF\r\n"), (Records{"\xE9t\xE9\xFF"}));
}

class BlankList : public ::testing::TestWithParam<std::pair<const char*, std::string>> {};

TEST_P(BlankList, HoldsNoRecordEvenWhenAskedAgain) {
    TempDir dir;
    writeFile(dir.file("list.txt"), GetParam().second);
    fleet::ListFile file;
    ASSERT_TRUE(file.open(dir.file("list.txt").string()));
    std::string record = "left over";
    EXPECT_EQ(fleet::ReadListLine(file, record), 0);
    EXPECT_EQ(record, "");
    EXPECT_EQ(fleet::ReadListLine(file, record), 0);
}

INSTANTIATE_TEST_SUITE_P(ListReader, BlankList,
                         ::testing::Values(std::pair{"Empty", ""s}, std::pair{"CrLf", "\r\n"s},
                                           std::pair{"ThreeLf", "\n\n\n"s},
                                           std::pair{"MixedEnds", "\r\r\n\n\r\n\r"s}),
                         [](const auto& testCase) { return std::string(testCase.param.first); });

TEST(ListReader, TheCrEndingARecordIsConsumedAndNothingMore) {
    TempDir dir;
    writeFile(dir.file("list.txt"), "ab\r\ncd");
    fleet::ListFile file;
    ASSERT_TRUE(file.open(dir.file("list.txt").string()));
    std::string record;
    ASSERT_EQ(fleet::ReadListLine(file, record), 2);
    unsigned char byte = 0;
    ASSERT_EQ(file.readByte(byte), 1);
    EXPECT_EQ(byte, '\n');
    ASSERT_EQ(fleet::ReadListLine(file, record), 2);
    EXPECT_EQ(record, "cd");
    EXPECT_EQ(file.readByte(byte), 0);

    // Back at the start, the same records come again: the count pass and the
    // programming pass see one list.
    ASSERT_TRUE(file.rewind());
    const Read again = readAll(file);
    EXPECT_EQ(again.records, (Records{"ab", "cd"}));
}

// What a file that is no list gets: the reader stops at the first record that
// is too long or holds a NUL, having read no further than it needed to.
struct Refusal {
    std::string bytes;
    long result;
    std::size_t recordsBefore;
};

class ListReaderRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(ListReaderRefusal, StopsAtTheFirstBadRecord) {
    TempDir dir;
    writeFile(dir.file("list.txt"), GetParam().bytes);
    fleet::ListFile file;
    ASSERT_TRUE(file.open(dir.file("list.txt").string()));
    std::string record;
    for (std::size_t i = 0; i < GetParam().recordsBefore; ++i)
        ASSERT_GT(fleet::ReadListLine(file, record), 0) << i;
    EXPECT_EQ(fleet::ReadListLine(file, record), GetParam().result);
    EXPECT_EQ(record, "");
    EXPECT_LE(record.capacity(), 4 * fleet::kListRecordLimit)
        << "the record was read on past the limit";
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ListReaderRefusal,
    ::testing::Values(Refusal{std::string(1025, 'x'), fleet::kListRecordTooLong, 0},
                      Refusal{std::string(10 * 1024 * 1024, 'x'), fleet::kListRecordTooLong, 0},
                      Refusal{"a\r\n" + std::string(2000, 'x') + "\r\nb\r\n",
                              fleet::kListRecordTooLong, 1},
                      Refusal{std::string(4096, '\0'), fleet::kListRecordHasNul, 0},
                      Refusal{"a\r\nb\0c\r\n"s, fleet::kListRecordHasNul, 1},
                      Refusal{"a\r\n\0\r\n"s, fleet::kListRecordHasNul, 1}));

TEST(ListReader, ARecordAtTheLimitIsWholeAndLineEndsSplitByTheBufferStillEndOneLine) {
    const std::string longest(fleet::kListRecordLimit, 'x');
    EXPECT_EQ(recordsOf(longest + "\r\n" + longest), (Records{longest, longest}));

    // A CR LF pair split by the reader's buffer (64 KiB) still ends one record;
    // blank lines in front put the pair where wanted.
    for (std::size_t before : {65534u, 65535u, 65536u, 131071u}) {
        std::string padding;
        while (padding.size() + 2 <= before)
            padding += "\r\n";
        padding.resize(before, '\n');
        const Records split = recordsOf(padding + "a\r\nb\r\n");
        ASSERT_EQ(split.size(), 2u) << before;
        EXPECT_EQ(split[0], "a");
        EXPECT_EQ(split[1], "b");
    }
}

TEST(ListReader, AReadErrorIsReportedAsSuchAtTheStartOrInsideARecord) {
    TempDir dir;
    writeFile(dir.file("list.txt"), "\r\n127.0.0.2\r\n127.0.0.3\r\n");
    for (std::size_t failAfter : {0u, 3u, 9u, 15u}) {
        FailingListFile file;
        file.failAfter = failAfter;
        ASSERT_TRUE(file.open(dir.file("list.txt").string()));
        const Read read = readAll(file);
        EXPECT_TRUE(read.error) << failAfter;
        EXPECT_EQ(file.lastError(), kReadFault);
        // Records completed before the failure were whole.
        for (const auto& record : read.records)
            EXPECT_EQ(record, "127.0.0.2");
    }

    // Interrupted reads are retried, not mistaken for errors or the end.
    FailingListFile interrupted;
    interrupted.failAfter = 1000;
    interrupted.interruptsFirst = 3;
    ASSERT_TRUE(interrupted.open(dir.file("list.txt").string()));
    const Read read = readAll(interrupted);
    EXPECT_FALSE(read.error);
    EXPECT_EQ(read.records, (Records{"127.0.0.2", "127.0.0.3"}));
}

TEST(ListReader, NeitherAMissingListNorAFolderCanBeOpened) {
    TempDir dir;
    fleet::ListFile missing;
    EXPECT_FALSE(missing.open(dir.file("absent.txt").string()));
    EXPECT_EQ(missing.lastError(), platform::errors::kNotFound);

    fleet::ListFile directory;
    EXPECT_FALSE(directory.open(dir.path().string()));
    EXPECT_EQ(directory.lastError(), platform::errors::kIsDirectory);
}
