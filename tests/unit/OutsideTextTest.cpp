// Outside text in JSON: UTF-8 stays the characters it spells, any other byte
// the Latin-1 character it would be, and the output is valid JSON either way.
// And the rule for which addresses can be one unit's.
#include "engine/JsonText.h"
#include "engine/UnitAddress.h"
#include "fleet/UnitReport.h"
#include "platform/SocketAddress.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

struct JsonCase {
    const char* name;
    std::string bytes;
    std::string json;  // as fwprog prints it: ASCII, \u escapes
};

class JsonTextOf : public ::testing::TestWithParam<JsonCase> {};

}  // namespace

TEST_P(JsonTextOf, KeepsUtf8AsItsCharactersAndOtherBytesAsLatin1) {
    const std::string line = engine::jsonLine(engine::jsonText(GetParam().bytes));
    EXPECT_EQ(line, "\"" + GetParam().json + "\"");
    // Whatever the bytes, the line reads back as JSON.
    EXPECT_NO_THROW(std::ignore = nlohmann::json::parse(line));
}

TEST_P(JsonTextOf, IsTheSameInTheReportsJsonLines) {
    fleet::ReportEntry entry;
    entry.productBefore = GetParam().bytes;
    const std::string line = fleet::reportJsonLine(entry);
    EXPECT_NE(line.find("\"product_before\":\"" + GetParam().json + "\""), std::string::npos)
        << line;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, JsonTextOf,
    ::testing::Values(JsonCase{"Ascii", "Unit 7 1.20", "Unit 7 1.20"},
                      JsonCase{"Utf8Umlaut", "M\xc3\xbcller 2.0", "M\\u00fcller 2.0"},
                      JsonCase{"Utf8ThreeAndFourBytes", "\xe2\x82\xac \xf0\x9f\x98\x80",
                               "\\u20ac \\ud83d\\ude00"},
                      JsonCase{"Latin1Byte", "Caf\xe9 1.0", "Caf\\u00e9 1.0"},
                      JsonCase{"Utf8ThenLatin1", "\xc3\xbc\xfc", "\\u00fc\\u00fc"},
                      JsonCase{"Overlong", "\xc0\xaf", "\\u00c0\\u00af"},
                      JsonCase{"Surrogate", "\xed\xa0\x80", "\\u00ed\\u00a0\\u0080"},
                      JsonCase{"BeyondUnicode", "\xf4\x90\x80\x80", "\\u00f4\\u0090\\u0080\\u0080"},
                      JsonCase{"CutShort", "ok\xe2\x82", "ok\\u00e2\\u0082"},
                      JsonCase{"ControlsAndTab", "\x1b[2J\tx", "\\u001b[2J\\tx"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

namespace {

struct AddressCase {
    const char* name;
    std::string text;
    bool unitAddress;
};

class UnitAddress : public ::testing::TestWithParam<AddressCase> {
protected:
    // This computer: loopback, a /24, a point-to-point /31 and a /32.
    static std::vector<platform::Ipv4Interface> interfaces() {
        const auto at = [](const char* address, const char* mask) {
            platform::Ipv4Interface item;
            item.address = *platform::parseIpv4(address);
            item.netmask = *platform::parseIpv4(mask);
            return item;
        };
        return {at("127.0.0.1", "255.0.0.0"), at("10.81.1.5", "255.255.255.0"),
                at("10.90.0.0", "255.255.255.254"), at("10.91.0.7", "255.255.255.255")};
    }
};

}  // namespace

TEST_P(UnitAddress, IsUnicastAndNoBroadcastThisComputerKnows) {
    const engine::UnitAddressRule rule(interfaces(), "10.66.255.255");
    EXPECT_EQ(rule.isUnitAddress(GetParam().text), GetParam().unitAddress);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, UnitAddress,
    ::testing::Values(
        AddressCase{"Unit", "10.81.1.11", true}, AddressCase{"RoutedUnit", "10.81.4.11", true},
        AddressCase{"LoopbackUnit", "127.0.0.7", true},
        AddressCase{"PointToPointBothEnds", "10.90.0.1", true},
        AddressCase{"HostRoute", "10.91.0.7", true}, AddressCase{"ThisComputer", "0.0.0.0", false},
        AddressCase{"ThisNetwork", "0.1.2.3", false},
        AddressCase{"LimitedBroadcast", "255.255.255.255", false},
        AddressCase{"SubnetBroadcast", "10.81.1.255", false},
        AddressCase{"LoopbackBroadcast", "127.255.255.255", false},
        AddressCase{"QueryBroadcast", "10.66.255.255", false},
        AddressCase{"Multicast", "224.0.0.251", false}, AddressCase{"Reserved", "240.1.2.3", false},
        AddressCase{"HostName", "office-laser", false},
        AddressCase{"Path", "../../etc/passwd", false},
        AddressCase{"LeadingZero", "10.81.1.011", false},
        AddressCase{"TrailingText", "10.81.1.11 x", false},
        AddressCase{"ThreeParts", "10.81.11", false}, AddressCase{"Empty", "", false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });
