#include <argon2.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/hex.h"
#include "app/self_test.h"
#include "app/self_test_vectors.h"
#include "pow/argon2id.h"

namespace tovren::qel {
namespace {

std::vector<uint8_t> decode(const std::string& hex, size_t n) {
    std::vector<uint8_t> out(n, 0);
    EXPECT_TRUE(hex_to_bytes(hex, out.data(), n)) << hex;
    return out;
}

TEST(HexTest, PairsOfEitherCase) {
    EXPECT_EQ(decode("00ff7F80aB", 5), (std::vector<uint8_t>{0x00, 0xff, 0x7f, 0x80, 0xab}));
    // Only the first 2n characters are read.
    EXPECT_EQ(decode("0102zz", 2), (std::vector<uint8_t>{0x01, 0x02}));
}

TEST(HexTest, StopsAtThePairThatConvertsNothing) {
    uint8_t out[3] = {0xee, 0xee, 0xee};
    EXPECT_FALSE(hex_to_bytes("12zz34", out, 3));
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0xee);
    EXPECT_EQ(out[2], 0xee);
    EXPECT_FALSE(hex_to_bytes("gg", out, 1));
    // A text that ends early fails rather than reading beyond it.
    EXPECT_FALSE(hex_to_bytes("12", out, 2));
    EXPECT_FALSE(hex_to_bytes("", out, 1));
}

TEST(HexTest, ConversionQuirksStayWithinTheirPair) {
    // "%2hhx" takes a single digit before a non-hex character, skips a leading blank, and
    // never reaches into the next pair.
    EXPECT_EQ(decode("5z", 1), std::vector<uint8_t>{0x05});
    EXPECT_EQ(decode(" a", 1), std::vector<uint8_t>{0x0a});
    EXPECT_EQ(decode(" abc", 2), (std::vector<uint8_t>{0x0a, 0xbc}));
}

TEST(SelfTestVectorsTest, RowsKeepTheirLayout) {
    for (const SelfTestVector& v : self_test_vectors) {
        EXPECT_EQ(std::strlen(v.header_hex), 224u);
        EXPECT_EQ(std::strlen(v.expected_hex), 64u);
        for (const char* p = v.header_hex; *p; ++p) {
            EXPECT_TRUE(std::strchr("0123456789abcdef", *p)) << v.header_hex;
        }
    }
    const std::string row0 = self_test_vectors[0].header_hex;
    const std::string row1 = self_test_vectors[1].header_hex;
    EXPECT_EQ(row0.substr(0, 72), "01000000" + std::string(64, '0'));
    EXPECT_EQ(row0.substr(200), "c0e3e16a000000000000401e");
    EXPECT_EQ(row1.substr(200), "8046dd6a00000000ffff7f20");
    EXPECT_EQ(row0.substr(0, 200), row1.substr(0, 200));  // the same roots
    EXPECT_EQ(self_test_vectors[0].nonce, 77492u);
    EXPECT_EQ(self_test_vectors[1].nonce, 6u);
    EXPECT_EQ(self_test_vectors[2].nonce, 0x9733D77746E7091DULL);
    EXPECT_EQ(self_test_vectors[3].nonce, 0x8F49F2C3F4216286ULL);
}

// The expected hashes hold for an independent Argon2id as well as for ours.
TEST(SelfTestVectorsTest, ExpectedHashesMatchLibargon2) {
    for (const SelfTestVector& v : self_test_vectors) {
        std::vector<uint8_t> pwd = decode(v.header_hex, kHeaderBytes);
        for (int i = 0; i < 8; ++i) {
            pwd.push_back(static_cast<uint8_t>(v.nonce >> (8 * i)));
        }
        uint8_t hash[kHashBytes];
        ASSERT_EQ(argon2id_hash_raw(1, 8192, 1, pwd.data(), pwd.size(), kPowSalt, kPowSaltBytes,
                                    hash, sizeof hash),
                  ARGON2_OK);
        EXPECT_EQ(std::vector<uint8_t>(hash, hash + kHashBytes),
                  decode(v.expected_hex, kHashBytes));
    }
}

TEST(CpuSelfTest, PassesOnTheEmbeddedVectors) {
    std::string reason;
    EXPECT_TRUE(cpu_self_test(reason));
    EXPECT_EQ(reason, "4/4");
}

TEST(CpuSelfTest, CountsAWrongRowAndStopsAtABadOne) {
    SelfTestVector rows[kSelfTestVectorCount];
    std::copy(std::begin(self_test_vectors), std::end(self_test_vectors), rows);
    std::string changed = rows[1].expected_hex;
    changed[63] = changed[63] == '0' ? '1' : '0';
    rows[1].expected_hex = changed.c_str();
    std::string reason;
    EXPECT_FALSE(cpu_self_test(reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "3/4");

    const std::string short_header = std::string(self_test_vectors[0].header_hex).substr(1);
    rows[0].header_hex = short_header.c_str();
    EXPECT_FALSE(cpu_self_test(reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "bad embedded vector");
}

}  // namespace
}  // namespace tovren::qel
