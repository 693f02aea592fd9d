#include "engine/ProgramResult.h"
#include "engine/Protocol.h"
#include "engine/ResultMessages.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

TEST(EntryHeader, NetworkFormCarriesTheNulAndPrintQueueFormDoesNot) {
    const std::string network = engine::proto::entryHeaderForNetwork();
    ASSERT_EQ(network.size(), 40u);
    EXPECT_EQ(network[0], '\x1b');
    EXPECT_EQ(network.substr(1, 8), "%-12345X");
    EXPECT_EQ(network.substr(9, 23), "@PJL ENTER LANGUAGE=BCJ");
    EXPECT_EQ(network.substr(32), "\r\nX=1\r\n\0"s);
    EXPECT_EQ(engine::proto::entryHeaderForPrintQueue(), network.substr(0, 39));
}

TEST(BootLoaderReply, OnlyTheExactTenBytePrefixCounts) {
    auto test = [](const std::string& s) {
        return engine::proto::isBootLoaderReply(s.data(), s.size());
    };
    EXPECT_TRUE(test("BootLoader"));
    EXPECT_TRUE(test("BootLoader v2\n\0junk"s));
    EXPECT_FALSE(test("BootLoade"));
    EXPECT_FALSE(test("bootloader"));
    EXPECT_FALSE(test("BOOTLOADER and more"));
    EXPECT_FALSE(test(""));
    EXPECT_FALSE(test("Boot\0Loader"s));
}

TEST(DiscoveryReply, FieldsEndAtLineFeedNulOrEnd) {
    auto line = [](const std::string& s) {
        return engine::proto::discoveryListLine(s.data(), s.size());
    };
    EXPECT_EQ(line("Unit 7 1.20\nIP:10.0.0.7\nrest"), "Unit 7 1.20\t10.0.0.7");
    EXPECT_EQ(line("no line feed at all"), "no line feed at all\t");
    EXPECT_EQ(line(""), "\t");
    EXPECT_EQ(line("P\nabc"), "P\t");    // datagram ends before the address
    EXPECT_EQ(line("P\nabcd"), "P\td");  // address runs to the end
    // A NUL ends the product; the address still starts four bytes past it.
    EXPECT_EQ(line("Pro\0duct\nIP:x"s), "Pro\tt");
    EXPECT_EQ(line("P\nIP:10.0\0.0.7\n"s), "P\t10.0");
    EXPECT_EQ(line("BootLoader\nIP:127.0.0.9\n"), "BootLoader\t127.0.0.9");
}

TEST(DiscoveryReply, JunkOfAnySizeNeverReadsPastTheDatagram) {
    std::string junk(64 * 1024, '\xff');
    EXPECT_EQ(engine::proto::discoveryListLine(junk.data(), junk.size()), junk + "\t");
    std::string tail = "A\n" + std::string(70000, 'x');
    auto lineText = engine::proto::discoveryListLine(tail.data(), tail.size());
    EXPECT_EQ(lineText.size(), 1u + 1u + (2u + 70000u - 5u));
}

TEST(ListLine, AddressIsEverythingAfterTheFirstTab) {
    EXPECT_EQ(engine::proto::addressFromListLine("Unit 7\t10.0.0.7"), "10.0.0.7");
    EXPECT_EQ(engine::proto::addressFromListLine("a\tb\tc"), "b\tc");
    EXPECT_EQ(engine::proto::addressFromListLine("no tab"), "");
    EXPECT_EQ(engine::proto::addressFromListLine("Unit\t"), "");
}

TEST(StatusDatagram, LittleEndianOverMinusOne) {
    auto decode = [](const std::string& s) {
        return engine::proto::decodeStatus(s.data(), s.size());
    };
    EXPECT_EQ(decode("\x01\x00\x00\x00"s), 1);
    EXPECT_EQ(decode("\x00\x00\x00\x01"s), 0x01000000);
    EXPECT_EQ(decode("\x00\x00\x00\x00"s), 0);
    EXPECT_EQ(decode("\xff\xff\xff\xff"s), -1);
    EXPECT_EQ(decode(""s), -1);
    // A short datagram only replaces the low bytes: the value stays negative.
    EXPECT_EQ(decode("\x00"s), static_cast<std::int32_t>(0xFFFFFF00u));
    EXPECT_EQ(decode("\x02\x00"s), static_cast<std::int32_t>(0xFFFF0002u));
    EXPECT_LT(decode("\x00\x00\x00"s), 0);
}

TEST(StatusDatagram, MapsToResults) {
    EXPECT_EQ(engine::resultFromStatus(0), engine::ResultProgrammed);
    EXPECT_EQ(engine::resultFromStatus(1), engine::ResultFileTooLarge);
    EXPECT_EQ(engine::resultFromStatus(2), engine::ResultVerifyError);
    EXPECT_EQ(engine::resultFromStatus(3), engine::ResultWrongModel);
    EXPECT_EQ(engine::resultFromStatus(7), engine::ProgramResult(107));
    EXPECT_EQ(engine::resultFromStatus(-1), engine::ResultUnconfirmed);
    EXPECT_EQ(engine::resultFromStatus(-77), engine::ResultUnconfirmed);
    // 100 + n would overflow: it stays a failure instead of wrapping to "unconfirmed".
    EXPECT_EQ(engine::resultFromStatus(0x7FFFFFFF), engine::ProgramResult(0x7FFFFFFF));
    EXPECT_GT(engine::resultFromStatus(0x7FFFFFF0).value(), 100);
}

TEST(TimeStamp, FormatsDateTimeZoneAndFlag) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 11;
    t.tm_min = 49;
    t.tm_sec = 29;
    const std::string text = engine::proto::timeStampText(t, 300, 0);
    EXPECT_EQ(text, "TSBCJ12-07-26, 11-49-29, 300, 0");
    EXPECT_EQ(text.size(), 31u);
    EXPECT_EQ(engine::proto::timeStampText(t, -60, 1), "TSBCJ12-07-26, 11-49-29, -60, 1");
    EXPECT_EQ(engine::proto::timeStampText(t, -330, -1), "TSBCJ12-07-26, 11-49-29, -330, -1");
    std::tm march{};
    march.tm_year = 2027 - 1900;
    march.tm_mon = 2;
    march.tm_mday = 1;
    march.tm_hour = 9;
    march.tm_min = 5;
    march.tm_sec = 3;
    EXPECT_EQ(engine::proto::timeStampText(march, -120, 0).substr(0, 24),
              "TSBCJ03-01-27, 09-05-03,");
}

TEST(SingleResultMessage, EveryRowOfTheTable) {
    const std::string t = "127.0.0.7";
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(0), t),
              "1 Unit Updated\r\nIP: 127.0.0.7 Successfully Programmed");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(-1), t),
              "1 Unit Update Attempted, 127.0.0.7 Status Unconfirmed");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(-2), t),
              "1 Unit Update Attempted, 127.0.0.7 Status Unconfirmed");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(1), t),
              "IP: 127.0.0.7 Socket Error\r\n");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(2), t),
              "IP: 127.0.0.7 Printer Port Error\r\n");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(3), t),
              "IP: 127.0.0.7 File Not Found\r\n");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(101), t),
              "IP: 127.0.0.7 Failed to Program (Error #101)\r\n");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(102), t),
              "IP: 127.0.0.7 Verify Error\r\n");
    EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(103), t),
              "IP: 127.0.0.7 Incorrect Model Number\r\n");
    for (int other : {4, 100, 104})
        EXPECT_EQ(engine::singleResultMessage(engine::ProgramResult(other), t),
                  "IP: 127.0.0.7 Failed to Program (Error #" + std::to_string(other) + ")\r\n");
    const std::string longTarget(5000, 'q');
    EXPECT_NE(engine::singleResultMessage(engine::ProgramResult(1), longTarget).find(longTarget),
              std::string::npos);
}
