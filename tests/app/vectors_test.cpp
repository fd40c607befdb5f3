#include <argon2.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/hex.h"
#include "app/self_test_vectors.h"
#include "pow/argon2id.h"

namespace tovren::qel {
namespace {

std::vector<uint8_t> decode(const std::string& hex, size_t n) {
    std::vector<uint8_t> out(n, 0);
    EXPECT_TRUE(hex_to_bytes(hex, out.data(), n)) << hex;
    return out;
}

TEST(HexTest, PairsConvertUntilOneConvertsNothing) {
    struct Case {
        const char* hex;
        bool ok;
        std::vector<uint8_t> out;  // of three bytes that start as 0xee
    };
    const Case cases[] = {
        {"00ff7F", true, {0x00, 0xff, 0x7f}},
        {"0102ab99", true, {0x01, 0x02, 0xab}},  // only the first 2n characters are read
        {"12zz34", false, {0x12, 0xee, 0xee}},
        {"gg", false, {0xee, 0xee, 0xee}},
        {"1234", false, {0x12, 0x34, 0xee}},  // ends early: no read beyond it
        {"", false, {0xee, 0xee, 0xee}},
        // "%2hhx" takes one digit before a non-hex character and skips a leading blank,
        // but never reaches into the next pair.
        {"5z abc", true, {0x05, 0x0a, 0xbc}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hex);
        std::vector<uint8_t> out(3, 0xee);
        EXPECT_EQ(hex_to_bytes(c.hex, out.data(), 3), c.ok);
        EXPECT_EQ(out, c.out);
    }
}

// The rows keep the header layout, and their expected hashes hold for an independent
// Argon2id as well as for ours.
TEST(SelfTestVectorsTest, ExpectedHashesMatchLibargon2) {
    const std::string row0 = self_test_vectors[0].header_hex;
    const std::string row1 = self_test_vectors[1].header_hex;
    EXPECT_EQ(row0.substr(0, 72), "01000000" + std::string(64, '0'));
    EXPECT_EQ(row0.substr(200), "c0e3e16a000000000000401e");
    EXPECT_EQ(row1.substr(200), "8046dd6a00000000ffff7f20");
    EXPECT_EQ(row0.substr(0, 200), row1.substr(0, 200));  // the same roots
    for (const SelfTestVector& v : self_test_vectors) {
        ASSERT_EQ(std::string(v.header_hex).size(), 2 * kHeaderBytes);
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

}  // namespace
}  // namespace tovren::qel
