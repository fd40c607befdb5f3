// The search kernel against the CPU hash, in list and range mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <set>

#include "gpu/gpu_context.h"
#include "gpu_test_util.h"

namespace tovren::qel {
namespace {

using test::Bytes;

class KernelTest : public test::SimTest {
  protected:
    void open(int slots) {
        ctx = std::make_unique<GpuContext>();
        std::string err;
        ASSERT_TRUE(ctx->init(0, slots, err)) << err;
    }
    void TearDown() override {
        ctx.reset();
        EXPECT_TRUE(cudasim::live_allocations().empty());
        test::SimTest::TearDown();
    }
    void expect_list_matches_cpu(const std::vector<Bytes>& headers,
                                 const std::vector<uint64_t>& nonces) {
        std::vector<Bytes> out(7, Bytes(3, 3));  // replaced, not appended to
        std::string err;
        ASSERT_TRUE(ctx->hash_list(headers, nonces, out, err)) << err;
        ASSERT_EQ(out.size(), headers.size());
        for (size_t i = 0; i < headers.size(); ++i) {
            EXPECT_EQ(out[i], test::cpu_hash(headers[i], nonces[i])) << "entry " << i;
        }
    }
    std::vector<DHit> range(const Bytes& header, const Bytes& target, int blocks, int iters,
                            uint64_t start) {
        std::string err;
        EXPECT_TRUE(ctx->set_job(header.data(), target.data(), err)) << err;
        std::vector<DHit> hits;
        EXPECT_TRUE(ctx->run_range(blocks, iters, start, hits, nullptr, err)) << err;
        return hits;
    }
    static Bytes hash_of(const DHit& h) { return Bytes(h.hash, h.hash + 32); }
    std::unique_ptr<GpuContext> ctx;
};

TEST_F(KernelTest, ListOfSelfTestStyleHeaders) {
    open(4);
    const Bytes a = test::layout_header(1, 0, 1700000000, 0x1d00ffff);
    const Bytes b = test::layout_header(0x20000000, 200, 0xffffffff, 0x207fffff);
    expect_list_matches_cpu({a, b, a, b}, {0, 1, ~uint64_t{0}, uint64_t{1} << 32});
}

// 32 random entries in lists of four: two headers with two nonces each.
class RandomList : public KernelTest, public ::testing::WithParamInterface<int> {};

TEST_P(RandomList, MatchesCpu) {
    open(4);
    std::mt19937_64 rng(1000 + GetParam());
    const Bytes h1 = test::random_header(rng);
    const Bytes h2 = test::random_header(rng);
    expect_list_matches_cpu({h1, h2, h1, h2}, {rng(), rng(), rng(), rng()});
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomList, ::testing::Range(0, 8));

TEST_F(KernelTest, OneBlockOneIterationHashesStartNonce) {
    open(1);
    const Bytes header = test::layout_header(3, 4, 5, 6);
    const auto hits = range(header, Bytes(32, 0xff), 1, 1, 123456789);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].nonce, 123456789u);
    EXPECT_EQ(hash_of(hits[0]), test::cpu_hash(header, 123456789));
}

// With every nonce a hit, the stored hits show exactly which nonces the launch covered.
TEST_F(KernelTest, AllOnesTargetHitsEveryNonceOfTheRange) {
    open(3);
    std::mt19937_64 rng(8);
    const Bytes header = test::random_header(rng);
    std::string err;
    ASSERT_TRUE(ctx->set_job(header.data(), Bytes(32, 0xff).data(), err)) << err;
    std::vector<DHit> hits(3);  // appended to
    double seconds = -1;
    ASSERT_TRUE(ctx->run_range(3, 2, 500, hits, &seconds, err)) << err;
    EXPECT_GT(seconds, 0);
    ASSERT_EQ(hits.size(), 3u + 6u);
    std::set<uint64_t> nonces;
    for (size_t i = 3; i < hits.size(); ++i) {
        nonces.insert(hits[i].nonce);
        EXPECT_EQ(hash_of(hits[i]), test::cpu_hash(header, hits[i].nonce));
    }
    EXPECT_EQ(nonces, (std::set<uint64_t>{500, 501, 502, 503, 504, 505}));
}

TEST_F(KernelTest, MoreThan64HitsReturnExactly64) {
    open(4);
    const Bytes header = test::layout_header(9, 9, 9, 9);
    const uint64_t start = uint64_t{1} << 40;
    const auto hits = range(header, Bytes(32, 0xff), 4, 17, start);  // 68 hits
    ASSERT_EQ(hits.size(), 64u);
    std::set<uint64_t> nonces;
    for (const auto& h : hits) {
        ASSERT_GE(h.nonce, start);
        ASSERT_LT(h.nonce, start + 68);
        nonces.insert(h.nonce);
    }
    EXPECT_EQ(nonces.size(), 64u);
    // Each record's hash belongs to its own nonce (checked on a sample: CPU time).
    for (size_t i = 0; i < hits.size(); i += 9) {
        EXPECT_EQ(hash_of(hits[i]), test::cpu_hash(header, hits[i].nonce));
    }
}

TEST_F(KernelTest, RangeEndingAtTheTopNonce) {
    open(2);
    const Bytes header = test::layout_header(4, 4, 4, 4);
    const uint64_t start = ~uint64_t{0} - 3;
    const auto hits = range(header, Bytes(32, 0xff), 2, 2, start);
    std::set<uint64_t> nonces;
    for (const auto& h : hits) {
        nonces.insert(h.nonce);
        EXPECT_EQ(hash_of(h), test::cpu_hash(header, h.nonce));
    }
    EXPECT_EQ(nonces, (std::set<uint64_t>{start, start + 1, start + 2, ~uint64_t{0}}));
}

TEST_F(KernelTest, HashEqualToTargetIsAHitOneBelowIsNot) {
    open(1);
    std::mt19937_64 rng(21);
    const Bytes header = test::random_header(rng);
    const uint64_t nonce = rng();
    const Bytes hash = test::cpu_hash(header, nonce);
    Bytes target = test::target_equal_to(hash);

    auto hits = range(header, target, 1, 1, nonce);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].nonce, nonce);
    EXPECT_EQ(hash_of(hits[0]), hash);

    // One less: decrement the big-endian number (the hash is not zero).
    for (int i = 31; i >= 0 && target[i]-- == 0; --i) {
    }
    EXPECT_TRUE(range(header, target, 1, 1, nonce).empty());
}

}  // namespace
}  // namespace tovren::qel
