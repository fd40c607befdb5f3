#include "app/nonce_allocator.h"

#include <gtest/gtest.h>

namespace tovren::qel {
namespace {

constexpr uint64_t kMax = UINT64_MAX;

TEST(NonceAllocatorTest, FreshJobStartsAtNonceStartAndGrantsConsecutiveBlocks) {
    NonceAllocator a;
    uint64_t base = 0;
    ASSERT_TRUE(a.take(1, 1000, kMax, 64, base));
    EXPECT_EQ(base, 1000u);
    // Two GPUs of different sizes take turns: consecutive, disjoint blocks of their own size.
    ASSERT_TRUE(a.take(1, 1000, kMax, 24, base));
    EXPECT_EQ(base, 1064u);
    ASSERT_TRUE(a.take(1, 1000, kMax, 64, base));
    EXPECT_EQ(base, 1088u);
    EXPECT_EQ(a.seq, 1u);
    EXPECT_EQ(a.next, 152u);
}

TEST(NonceAllocatorTest, NewerJobRestartsOlderJobIsRefused) {
    NonceAllocator a;
    uint64_t base = 0;
    ASSERT_TRUE(a.take(3, 0, kMax, 10, base));
    ASSERT_TRUE(a.take(3, 0, kMax, 10, base));
    EXPECT_EQ(base, 10u);
    ASSERT_TRUE(a.take(4, 500, kMax, 10, base));  // the first worker with the new job
    EXPECT_EQ(base, 500u);
    base = 12345;
    EXPECT_FALSE(a.take(3, 0, kMax, 10, base));  // a worker still on the old job
    EXPECT_EQ(base, 12345u);
    ASSERT_TRUE(a.take(4, 500, kMax, 10, base));  // it copies the new job: no nonce twice
    EXPECT_EQ(base, 510u);
}

TEST(NonceAllocatorTest, RangeOfExactlyKLaunchesGivesKLaunchesEndingOnNonceEnd) {
    NonceAllocator a;
    uint64_t base = 0;
    const uint64_t start = 7000, count = 16, k = 5;
    const uint64_t end = start + k * count - 1;
    for (uint64_t i = 0; i < k; ++i) {
        ASSERT_TRUE(a.take(1, start, end, count, base)) << i;
        EXPECT_EQ(base, start + i * count);
    }
    EXPECT_EQ(base + count - 1, end);
    EXPECT_FALSE(a.take(1, start, end, count, base));
    EXPECT_FALSE(a.take(1, start, end, 1, base));
}

TEST(NonceAllocatorTest, RangeSmallerThanOneLaunchIsNeverGranted) {
    NonceAllocator a;
    uint64_t base = 0;
    EXPECT_FALSE(a.take(1, 100, 114, 16, base));  // 15 nonces
    EXPECT_FALSE(a.take(1, 100, 99, 16, base));   // nonce_end below nonce_start
    EXPECT_FALSE(a.take(1, 100, 50, 1, base));
    EXPECT_TRUE(a.take(1, 100, 115, 16, base));  // exactly one launch
    EXPECT_FALSE(a.take(1, 100, 115, 16, base));
}

TEST(NonceAllocatorTest, RangeEndingAtTheTopNeverWraps) {
    NonceAllocator a;
    uint64_t base = 0;
    const uint64_t start = kMax - 31;  // 32 nonces up to 2^64 - 1
    ASSERT_TRUE(a.take(1, start, kMax, 16, base));
    ASSERT_TRUE(a.take(1, start, kMax, 16, base));
    EXPECT_EQ(base + 15, kMax);
    // start + next has wrapped past 2^64 - 1: refused, not granted from 0.
    EXPECT_FALSE(a.take(1, start, kMax, 16, base));
    EXPECT_FALSE(a.take(1, start, kMax, 1, base));

    // A block that would run past the top is refused too.
    NonceAllocator b;
    EXPECT_FALSE(b.take(1, kMax - 10, kMax, 16, base));
    EXPECT_TRUE(b.take(1, kMax - 10, kMax, 11, base));
    EXPECT_EQ(base, kMax - 10);
}

TEST(NonceAllocatorTest, WholeNonceSpaceIsHandedOutOnce) {
    // From 0 to 2^64 - 1 the offset after the last block would count round to 0.
    NonceAllocator a;
    a.seq = 1;
    a.next = uint64_t{0} - 64;
    uint64_t base = 0;
    ASSERT_TRUE(a.take(1, 0, kMax, 64, base));
    EXPECT_EQ(base, kMax - 63);
    EXPECT_FALSE(a.take(1, 0, kMax, 64, base));
    EXPECT_TRUE(a.take(2, 0, kMax, 64, base));  // the next job starts again
    EXPECT_EQ(base, 0u);
}

}  // namespace
}  // namespace tovren::qel
