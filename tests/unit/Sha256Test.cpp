#include "platform/Sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

namespace {

// Published test vectors (FIPS 180-2 examples and the empty message).
TEST(Sha256, KnownVectors) {
    EXPECT_EQ(platform::sha256Hex(""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(platform::sha256Hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(platform::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(platform::sha256Hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// An image arrives in pieces of any size; the digest must not depend on where
// the pieces split, least of all around the 55/56/64-byte padding edges.
class Sha256Pieces
    : public ::testing::TestWithParam<std::tuple<std::size_t /*length*/, std::size_t /*piece*/>> {};

TEST_P(Sha256Pieces, GiveTheSameDigestAsOneUpdate) {
    const auto [length, piece] = GetParam();
    std::string message;
    for (std::size_t i = 0; i < length; ++i)
        message.push_back(static_cast<char>(i * 37 + 11));
    const std::string whole = platform::sha256Hex(message);
    platform::Sha256 hash;
    for (std::size_t at = 0; at < message.size(); at += piece)
        hash.update(message.data() + at, std::min(piece, message.size() - at));
    EXPECT_EQ(hash.finishHex(), whole);
}

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256Pieces,
                         ::testing::Combine(::testing::Values(0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u,
                                                              119u, 120u, 1000u),
                                            ::testing::Values(1u, 3u, 63u, 64u, 65u, 1460u)),
                         [](const auto& testCase) {
                             return "Length" + std::to_string(std::get<0>(testCase.param)) +
                                    "Piece" + std::to_string(std::get<1>(testCase.param));
                         });

TEST(Sha256, StartsOverAfterFinish) {
    platform::Sha256 hash;
    hash.update("xyz", 3);
    hash.finish();
    hash.update("abc", 3);
    EXPECT_EQ(hash.finishHex(), platform::sha256Hex("abc"));
}

}  // namespace
