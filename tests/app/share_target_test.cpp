#include "app/share_target.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tovren::qel {
namespace {

// The target as the number's big-endian bytes; the hash the same number little-endian.
void as_hash(const uint8_t* target, uint8_t* hash) {
    for (int i = 0; i < 32; ++i) {
        hash[i] = target[31 - i];
    }
}

TEST(HashMeetsTargetTest, EqualNumbersMeet) {
    uint8_t target[32];
    for (int i = 0; i < 32; ++i) {
        target[i] = static_cast<uint8_t>(17 * i + 3);
    }
    uint8_t hash[32];
    as_hash(target, hash);
    EXPECT_TRUE(hash_meets_target(hash, target));
    // One more in the least significant byte (hash byte 0, target byte 31): misses.
    hash[0] = static_cast<uint8_t>(hash[0] + 1);
    EXPECT_FALSE(hash_meets_target(hash, target));
    hash[0] = static_cast<uint8_t>(hash[0] - 2);
    EXPECT_TRUE(hash_meets_target(hash, target));
}

TEST(HashMeetsTargetTest, ZeroAndFullTargets) {
    const uint8_t zero[32] = {};
    uint8_t full[32];
    std::memset(full, 0xFF, sizeof full);
    uint8_t hash[32] = {};
    EXPECT_TRUE(hash_meets_target(hash, zero));
    EXPECT_TRUE(hash_meets_target(hash, full));
    hash[0] = 1;  // the smallest non-zero hash
    EXPECT_FALSE(hash_meets_target(hash, zero));
    EXPECT_TRUE(hash_meets_target(full, full));
    EXPECT_FALSE(hash_meets_target(full, zero));
}

TEST(HashMeetsTargetTest, HashByte31WeighsAgainstTargetByte0) {
    uint8_t target[32] = {};
    target[0] = 0x80;
    uint8_t hash[32];
    std::memset(hash, 0xFF, sizeof hash);
    hash[31] = 0x7F;  // smaller in the most significant byte: every other byte is irrelevant
    EXPECT_TRUE(hash_meets_target(hash, target));
    hash[31] = 0x81;
    std::memset(hash, 0, 31);
    EXPECT_FALSE(hash_meets_target(hash, target));
    // Byte 0 of the hash is its least significant: a large byte 0 is no obstacle.
    uint8_t small[32] = {};
    small[0] = 0xFF;
    uint8_t low_target[32] = {};
    low_target[30] = 1;  // 256
    EXPECT_TRUE(hash_meets_target(small, low_target));
    small[1] = 1;  // 511
    EXPECT_FALSE(hash_meets_target(small, low_target));
}

}  // namespace
}  // namespace tovren::qel
