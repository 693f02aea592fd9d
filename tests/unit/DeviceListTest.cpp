// The device list's order and the Save List file.
#include "fleet/DeviceList.h"
#include "tests/support/RecordingOperator.h"
#include "tests/support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using testing_support::readFile;
using testing_support::TempDir;

std::vector<std::string> listed(std::vector<std::string> arrivals) {
    fleet::DeviceList list;
    for (auto& line : arrivals)
        list.insert(std::move(line));
    return list.lines();
}

}  // namespace

TEST(DeviceListOrder, ProductTextIgnoringCaseThenAddress) {
    const std::vector<std::string> expected = {
        "alpha 1.0\t10.0.0.9",     //
        "BootLoader\t10.0.0.2",    // "B" sorts after "a" only when case is ignored
        "bootloader 2\t10.0.0.1",  // a longer product after its prefix, whatever the address
        "Unit 7 1.20\t10.0.0.10",  // same product: address text decides ("10" before "8")
        "Unit 7 1.20\t10.0.0.8",   //
        "unit 7 1.20a\t10.0.0.1",  //
        "ZETA\t",                  // no address at all
    };
    // Every arrival order gives the same list.
    std::vector<std::string> arrivals = expected;
    std::sort(arrivals.begin(), arrivals.end());
    do {
        ASSERT_EQ(listed(arrivals), expected);
    } while (std::next_permutation(arrivals.begin(), arrivals.begin() + 5));
    std::reverse(arrivals.begin(), arrivals.end());
    EXPECT_EQ(listed(arrivals), expected);
}

TEST(DeviceListOrder, LinesEqualButForCaseHaveAFixedOrderAndDuplicatesStay) {
    const std::vector<std::string> one =
        listed({"unit\t10.0.0.1", "Unit\t10.0.0.1", "UNIT\t10.0.0.1"});
    const std::vector<std::string> other =
        listed({"UNIT\t10.0.0.1", "unit\t10.0.0.1", "Unit\t10.0.0.1"});
    EXPECT_EQ(one, other);
    EXPECT_EQ(one.size(), 3u);
    EXPECT_EQ(listed({"Unit\t10.0.0.1", "Unit\t10.0.0.1"}).size(), 2u)
        << "a unit that answers twice is listed twice, as the list shows every reply";
}

TEST(DeviceListOrder, BytesAboveAsciiAndControlBytesKeepAStrictOrder) {
    // 8-bit product texts are not UTF-8; the order must still be a strict weak
    // ordering or the sorted insert goes wrong.
    std::vector<std::string> lines = {"\xE9t\xE9\t1", "Ete\t2", "\x01x\t3", "ete\t4",
                                      "\xC9T\xC9\t5"};
    const auto sorted = listed(lines);
    for (std::size_t i = 0; i + 1 < sorted.size(); ++i)
        EXPECT_FALSE(fleet::listLineBefore(sorted[i + 1], sorted[i])) << i;
    for (const auto& a : lines)
        EXPECT_FALSE(fleet::listLineBefore(a, a));
    EXPECT_EQ(sorted.front(), "\x01x\t3");
    EXPECT_EQ(sorted.back(), "\xE9t\xE9\t1") << "bytes above 127 are not case-folded";
}

TEST(SaveList, ThreeUnitsOneAddressAndCrLfEachInListOrder) {
    TempDir dir;
    fleet::DeviceList list;
    list.insert("Unit B 2.00\t192.168.1.30");
    list.insert("Unit A 1.00\t192.168.1.31");
    list.insert("unit a 1.00\t192.168.1.4");
    const auto path = dir.file("units.txt");
    testing_support::writeFile(path, "old content that must go away\r\n127.0.0.1\r\n");

    testing_support::RecordingOperator op;
    const auto result = fleet::saveAddressList(op, list.lines(), path.string());
    EXPECT_EQ(result.outcome, fleet::SaveOutcome::Written);
    EXPECT_EQ(readFile(path), "192.168.1.31\r\n192.168.1.4\r\n192.168.1.30\r\n");
    EXPECT_TRUE(op.messages.empty());
}

TEST(SaveList, EmptyListEmptiesTheFile) {
    TempDir dir;
    const auto path = dir.file("units.txt");
    testing_support::writeFile(path, "10.0.0.1\r\n");
    testing_support::RecordingOperator op;
    EXPECT_EQ(fleet::saveAddressList(op, {}, path.string()).outcome, fleet::SaveOutcome::Written);
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_TRUE(op.messages.empty());
}

TEST(SaveList, AnAddressHoldingControlCharactersIsLeftOutAndCounted) {
    TempDir dir;
    const auto path = dir.file("units.txt");
    testing_support::RecordingOperator op;
    // The address is everything after the first tab: a tab in the product
    // would make "product<tab>10.0.0.5" a print-queue name; a CR would make
    // two targets of one line.
    const auto result = fleet::saveAddressList(
        op,
        {"Odd\tproduct\t10.0.0.5", "U 1.0\t127.0.31.2\r127.0.31.3", "U 1.0\t10.0.0.6\n",
         "U 1.0\t10.0.0.7\x1b[2J", "U 1.0\t10.0.0.8\x7f", "U \xc3\x9c 1.0\t10.0.0.9",
         "No address\t", "\x1b]0;title\x07\t10.0.0.10"},
        path.string());
    EXPECT_EQ(result.outcome, fleet::SaveOutcome::Written);
    EXPECT_EQ(result.skipped, 5u);
    // Well-formed entries exactly as before, whatever their product text.
    EXPECT_EQ(readFile(path), "10.0.0.9\r\n\r\n10.0.0.10\r\n");
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Information);
    EXPECT_EQ(op.messages[0].text, fleet::skippedEntriesText(5, path.string()));
    EXPECT_EQ(op.messages[0].text.rfind("5 entries were not saved to " + path.string(), 0), 0u);
}

TEST(SaveList, NoFileChosenOrNoneCreatableIsSilent) {
    TempDir dir;
    testing_support::RecordingOperator op;
    EXPECT_EQ(fleet::saveAddressList(op, {"U\t10.0.0.1"}, "").outcome,
              fleet::SaveOutcome::NotCreated);
    EXPECT_EQ(
        fleet::saveAddressList(op, {"U\t10.0.0.1"}, dir.file("missing/units.txt").string()).outcome,
        fleet::SaveOutcome::NotCreated);
    EXPECT_TRUE(op.messages.empty());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(SaveList, AFailureWhileWritingNamesTheFileAndReplacesNothing) {
    TempDir dir;
    const auto path = dir.file("units.txt");
    testing_support::writeFile(path, "10.9.9.9\r\n");
    testing_support::RecordingOperator op;
    // The file size limit makes the new list's writing fail like a full disk.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 12;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const auto result =
        fleet::saveAddressList(op, {"U\t10.0.0.1", "U\t10.0.0.2", "U\t10.0.0.3"}, path.string());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);

    EXPECT_EQ(result.outcome, fleet::SaveOutcome::WriteFailed);
    ASSERT_EQ(op.messages.size(), 1u);
    EXPECT_EQ(op.messages[0].style, engine::BoxIcon::Stop);
    EXPECT_NE(op.messages[0].text.find(path.string()), std::string::npos) << op.messages[0].text;
    EXPECT_NE(op.messages[0].text.find(std::system_category().message(EFBIG)), std::string::npos)
        << op.messages[0].text;
    // The old list stands whole, and no half-written one is left anywhere.
    EXPECT_EQ(readFile(path), "10.9.9.9\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}
