#include "app/nonce_allocator.h"

#include <gtest/gtest.h>

#include <vector>

namespace tovren::qel {
namespace {

constexpr uint64_t kMax = UINT64_MAX;
// What of a job differs from the first one, besides its range (a bit set).
constexpr int kId = 1, kHeader = 2, kTarget = 4;

// One request to the allocator and its expected answer; base is checked only when granted.
struct Take {
    uint64_t seq, start, end, count;
    bool granted;
    uint64_t base;
    int differs = 0;
};

PoolJob job(uint64_t seq, uint64_t start, uint64_t end, int differs = 0) {
    PoolJob j;
    j.seq = seq;
    j.conn_gen = seq;  // each sent on a connection of its own
    j.job_id = differs & kId ? "b" : "a";
    j.header[111] = differs & kHeader ? 1 : 0;
    j.target[31] = differs & kTarget ? 1 : 0;
    j.nonce_start = start;
    j.nonce_end = end;
    return j;
}

struct Scenario {
    const char* name;
    std::vector<Take> takes;
};

TEST(NonceAllocatorTest, GrantsAreConsecutiveWithinTheRangeAndRestartWithNewWork) {
    const Scenario scenarios[] = {
        {"fresh job, then two GPUs of different sizes taking turns",
         {{1, 1000, kMax, 64, true, 1000},
          {1, 1000, kMax, 24, true, 1064},
          {1, 1000, kMax, 64, true, 1088}}},
        {"a newer job restarts; a worker on the older job is refused, then copies the new one",
         {{3, 0, kMax, 10, true, 0},
          {3, 0, kMax, 10, true, 10},
          {4, 500, kMax, 10, true, 500},
          {3, 0, kMax, 10, false, 0},
          {4, 500, kMax, 10, true, 510}}},
        {"a range of exactly 3 launches ends on nonce_end",
         {{1, 7000, 7047, 16, true, 7000},
          {1, 7000, 7047, 16, true, 7016},
          {1, 7000, 7047, 16, true, 7032},
          {1, 7000, 7047, 16, false, 0},
          {1, 7000, 7047, 1, false, 0}}},
        {"a range smaller than one launch, or nonce_end below nonce_start",
         {{1, 100, 114, 16, false, 0},
          {1, 100, 99, 16, false, 0},
          {1, 100, 50, 1, false, 0},
          {1, 100, 115, 16, true, 100},
          {1, 100, 115, 16, false, 0}}},
        {"a range ending at 2^64 - 1 never wraps to 0",
         {{1, kMax - 31, kMax, 16, true, kMax - 31},
          {1, kMax - 31, kMax, 16, true, kMax - 15},
          {1, kMax - 31, kMax, 16, false, 0},
          {1, kMax - 31, kMax, 1, false, 0}}},
        {"a block running past 2^64 - 1 is refused",
         {{1, kMax - 10, kMax, 16, false, 0}, {1, kMax - 10, kMax, 11, true, kMax - 10}}},
        {"the same work sent again goes on; a change of id, header, target or range restarts",
         {{1, 0, kMax, 10, true, 0},
          {2, 0, kMax, 10, true, 10},
          {1, 0, kMax, 10, false, 0},
          {3, 0, kMax, 10, true, 20},
          {4, 0, kMax, 10, true, 0, kId},
          {5, 0, kMax, 10, true, 0, kId | kHeader},
          {6, 0, kMax, 10, true, 0, kId | kHeader | kTarget},
          {7, 0, kMax, 10, true, 10, kId | kHeader | kTarget},
          {8, 0, kMax - 1, 10, true, 0, kId | kHeader | kTarget},
          {9, 5, kMax - 1, 10, true, 5, kId | kHeader | kTarget}}},
        {"a used-up range stays used up when its job is sent again",
         {{1, 100, 107, 8, true, 100}, {2, 100, 107, 8, false, 0}, {3, 100, 107, 1, false, 0}}},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        NonceAllocator a;
        for (size_t i = 0; i < s.takes.size(); ++i) {
            SCOPED_TRACE(i);
            const Take& t = s.takes[i];
            uint64_t base = 12345;
            ASSERT_EQ(a.take(job(t.seq, t.start, t.end, t.differs), t.count, base), t.granted);
            EXPECT_EQ(base, t.granted ? t.base : 12345u);  // untouched when refused
        }
    }
}

TEST(NonceAllocatorTest, WholeNonceSpaceIsHandedOutOnce) {
    // From 0 to 2^64 - 1 the offset after the last block would count round to 0.
    NonceAllocator a;
    a.seq = 1;
    a.next = uint64_t{0} - 64;
    uint64_t base = 0;
    ASSERT_TRUE(a.take(job(1, 0, kMax), 64, base));
    EXPECT_EQ(base, kMax - 63);
    EXPECT_FALSE(a.take(job(1, 0, kMax), 64, base));
    EXPECT_TRUE(a.take(job(2, 0, kMax, kId), 64, base));  // the next job starts again
    EXPECT_EQ(base, 0u);
}

}  // namespace
}  // namespace tovren::qel
