// Address text as targets and options give it: the lenient reading sends and
// connects use, and the strict dotted quad, alike on every system (this file
// is built for Windows too).
#include "platform/SocketAddress.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct AddressCase {
    std::string text;
    std::optional<std::uint32_t> reached;  // the lenient reading
    std::optional<std::uint32_t> strict;   // the dotted quad
};

void PrintTo(const AddressCase& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class AddressText : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressText, ReadsAsSocketsAlwaysHave) {
    const auto& c = GetParam();
    EXPECT_EQ(platform::ipv4AsReached(c.text), c.reached);
    EXPECT_EQ(platform::parseIpv4(c.text), c.strict);
}

constexpr std::uint32_t ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

INSTANTIATE_TEST_SUITE_P(
    Forms, AddressText,
    ::testing::Values(AddressCase{"10.0.0.7", ip(10, 0, 0, 7), ip(10, 0, 0, 7)},
                      AddressCase{"255.255.255.255", ip(255, 255, 255, 255),
                                  ip(255, 255, 255, 255)},
                      AddressCase{"0.0.0.0", 0u, 0u},
                      // Octal and hexadecimal parts, and fewer than four parts.
                      AddressCase{"10.0.0.010", ip(10, 0, 0, 8), std::nullopt},
                      AddressCase{"0x7f.1", ip(127, 0, 0, 1), std::nullopt},
                      AddressCase{"0X7F.0.0.0Xa", ip(127, 0, 0, 10), std::nullopt},
                      AddressCase{"10.1", ip(10, 0, 0, 1), std::nullopt},
                      AddressCase{"10.1.258", ip(10, 1, 1, 2), std::nullopt},
                      AddressCase{"167772167", ip(10, 0, 0, 7), std::nullopt},
                      AddressCase{"0", 0u, std::nullopt},
                      // Text after a blank is ignored by the lenient reading only.
                      AddressCase{"10.0.0.7 trailing", ip(10, 0, 0, 7), std::nullopt},
                      AddressCase{"10.0.0.7\tx", ip(10, 0, 0, 7), std::nullopt},
                      // What neither reading takes.
                      AddressCase{"", std::nullopt, std::nullopt},
                      AddressCase{"10.0.0.256", std::nullopt, std::nullopt},
                      AddressCase{"10.0.0.", std::nullopt, std::nullopt},
                      AddressCase{"10..0.7", std::nullopt, std::nullopt},
                      AddressCase{".10.0.0.7", std::nullopt, std::nullopt},
                      AddressCase{"10.0.0.7x", std::nullopt, std::nullopt},
                      AddressCase{"10.0.0.7.1", std::nullopt, std::nullopt},
                      AddressCase{"08.0.0.1", std::nullopt, std::nullopt},
                      AddressCase{"0x", std::nullopt, std::nullopt},
                      AddressCase{"4294967296", std::nullopt, std::nullopt},
                      AddressCase{"10.16777216", std::nullopt, std::nullopt},
                      AddressCase{"256.0.0.1", std::nullopt, std::nullopt},
                      AddressCase{"unit.example", std::nullopt, std::nullopt},
                      AddressCase{" 10.0.0.7", std::nullopt, std::nullopt},
                      AddressCase{std::string("10.0.0.7\0x", 10), std::nullopt, std::nullopt},
                      AddressCase{"-1.0.0.1", std::nullopt, std::nullopt},
                      AddressCase{"+1.0.0.1", std::nullopt, std::nullopt}));

TEST(AddressTextOut, IsTheDottedQuad) {
    EXPECT_EQ(platform::ipv4Text(ip(127, 255, 255, 255)), "127.255.255.255");
    EXPECT_EQ(platform::ipv4Text(0u), "0.0.0.0");
    EXPECT_EQ(platform::ipv4Text(ip(10, 0, 100, 7)), "10.0.100.7");
}

}  // namespace
