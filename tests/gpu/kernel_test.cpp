// The search kernel against the CPU hash, in list and range mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "gpu/gpu_context.h"
#include "gpu_test_util.h"

namespace tovren::qel {
namespace {

using test::Bytes;
using test::cpu_hash;

class KernelTest : public test::ContextTest {
  protected:
    static Bytes hash_of(const DHit& h) { return Bytes(h.hash, h.hash + 32); }
};

// Every entry of one launch has its own header and nonce: the nonce's extremes, its two
// halves, random ones, and a header of all ones.
TEST_F(KernelTest, ListHashesAreTheCpuHashes) {
    open(6);
    std::mt19937_64 rng(1000);
    const Bytes h1 = test::random_header(rng), h2 = test::random_header(rng);
    const std::vector<Bytes> headers = {h1, h2, h1, h2, Bytes(kHeaderBytes, 0xff), h1};
    const std::vector<uint64_t> nonces = {0,          ~uint64_t{0}, uint64_t{1} << 32,
                                          0xffffffff, rng(),        rng()};
    std::vector<Bytes> out(7, Bytes(3, 3));  // replaced, not appended to
    ASSERT_EQ(cudaSetDevice(kOther), cudaSuccess);
    std::string err;
    ASSERT_TRUE(ctx->hash_list(headers, nonces, out, err)) << err;
    EXPECT_EQ(test::current_device(), kDevice);
    ASSERT_EQ(out.size(), headers.size());
    for (size_t i = 0; i < headers.size(); ++i)
        EXPECT_EQ(out[i], cpu_hash(headers[i], nonces[i])) << "entry " << i;
}

// With every nonce a hit, the stored hits show which nonces a launch covered: each of
// start .. start + blocks * iters - 1 (modulo 2^64) once, at most 64 of them, appended; the
// count is of them all.
TEST_F(KernelTest, AllOnesTargetHitsEveryNonceOfTheRangeUpTo64) {
    struct Range {
        int blocks, iters;
        uint64_t start;
    };
    const Range ranges[] = {
        {1, 1, 123456789}, {3, 2, 500}, {2, 2, ~uint64_t{0} - 3}, {5, 13, uint64_t{1} << 40}};
    std::mt19937_64 rng(8);
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.start);
        open(r.blocks);
        const Bytes header = test::random_header(rng);
        set_job(header, Bytes(32, 0xff));
        std::vector<DHit> hits(3);
        double seconds = -1;
        uint32_t counted = 0;
        run_range(r.blocks, r.iters, r.start, hits, &seconds, &counted);
        EXPECT_GT(seconds, 0);
        const uint64_t n = static_cast<uint64_t>(r.blocks * r.iters);
        EXPECT_EQ(counted, n);  // also those past the 64 stored
        ASSERT_EQ(hits.size(), 3 + std::min<uint64_t>(n, kHitSlots));
        std::set<uint64_t> nonces;
        for (size_t i = 3; i < hits.size(); ++i) {
            EXPECT_LT(hits[i].nonce - r.start, n);
            nonces.insert(hits[i].nonce);
            EXPECT_EQ(hash_of(hits[i]), cpu_hash(header, hits[i].nonce)) << hits[i].nonce;
        }
        EXPECT_EQ(nonces.size(), hits.size() - 3);
    }
}

TEST_F(KernelTest, HashEqualToTargetIsAHitOneBelowIsNot) {
    open(1);
    std::mt19937_64 rng(21);
    const Bytes header = test::random_header(rng);
    const uint64_t nonce = rng();
    const Bytes hash = cpu_hash(header, nonce);
    Bytes target(hash.rbegin(), hash.rend());  // big-endian, the hash's value
    set_job(header, target);
    std::vector<DHit> hits;
    run_range(1, 1, nonce, hits);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].nonce, nonce);
    EXPECT_EQ(hash_of(hits[0]), hash);

    // One less: decrement the big-endian number (the hash is not zero).
    for (int i = 31; i >= 0 && target[i]-- == 0; --i) {
    }
    set_job(header, target);
    run_range(1, 1, nonce, hits);
    EXPECT_EQ(hits.size(), 1u);
}

// The kernel's own share test, on its hit output: the hash read as four little-endian words
// against the target's words, most significant first, so a higher word decides whatever the
// lower ones hold. Each row sets one word of the target (0 the least significant) one
// above or below the hash's, keeps the words above it equal and fills the bytes below it.
TEST_F(KernelTest, ShareTestComparesTheMostSignificantWordFirst) {
    struct Row {
        int word;
        int delta;
        uint8_t fill;
        bool hit;
    };
    const Row rows[] = {
        {3, -1, 0xff, false}, {3, +1, 0x00, true},  {2, -1, 0xff, false}, {2, +1, 0x00, true},
        {1, -1, 0xff, false}, {0, -1, 0xff, false}, {0, +1, 0x00, true},
    };
    open(1);
    std::mt19937_64 rng(33);
    const Bytes header = test::random_header(rng);
    const uint64_t nonce = rng();
    const Bytes hash = cpu_hash(header, nonce);
    for (const Row& r : rows) {
        SCOPED_TRACE("word " + std::to_string(r.word) + " " + std::to_string(r.delta));
        // Hash bytes 8w..8w+7 are word w, least significant byte first; the big-endian target
        // holds the same word in bytes 24-8w..31-8w, most significant byte first.
        uint64_t w = 0;
        for (int b = 7; b >= 0; --b)
            w = w << 8 | hash[8 * r.word + b];
        ASSERT_NE(w, r.delta < 0 ? uint64_t{0} : ~uint64_t{0});
        w += static_cast<uint64_t>(static_cast<int64_t>(r.delta));
        Bytes target(hash.rbegin(), hash.rend());
        const int top = 24 - 8 * r.word;
        for (int b = 0; b < 8; ++b)
            target[top + b] = static_cast<uint8_t>(w >> (56 - 8 * b));
        std::fill(target.begin() + top + 8, target.end(), r.fill);
        set_job(header, target);
        std::vector<DHit> hits;
        run_range(1, 1, nonce, hits);
        ASSERT_EQ(hits.size(), r.hit ? 1u : 0u);
        if (r.hit) {
            EXPECT_EQ(hash_of(hits[0]), hash);
        }
    }
}

}  // namespace
}  // namespace tovren::qel
