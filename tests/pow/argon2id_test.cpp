#include "pow/argon2id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

constexpr int kShards = 8;
constexpr int kHashesPerShard = 25;

// The proof that argon2id_pow_hash is Argon2id: it agrees with the Argon2 reference library
// on 200 headers and nonces, in shards that run in parallel. Each shard reuses one arena, as
// a miner's worker does, starting empty, longer than needed or full of old data: the hash
// must not depend on it, and after the first call the arena keeps its storage.
class AgreesWithLibargon2 : public ::testing::TestWithParam<int> {};

TEST_P(AgreesWithLibargon2, OnRandomHeadersAndNoncesWhateverTheArenaHeld) {
    const int shard = GetParam();
    std::mt19937_64 rng(0x5ca1ab1e0000ULL + static_cast<uint64_t>(shard));
    // The nonce's extremes and its byte order, and headers without any structure.
    std::vector<uint64_t> special;
    if (shard == 0)
        special = {0, ~0ULL, 1};
    if (shard == 1)
        special = {0xffffffffULL, 0x100000000ULL, 0x0102030405060708ULL};

    BlockArena arena(shard % 3 == 0 ? 0 : shard % 3 == 1 ? 10000 : kArenaBlocks);
    for (Block& b : arena)
        for (uint64_t& w : b.v)
            w = rng();
    // An arena that already has blocks is cut or used in place, never moved.
    const Block* storage = arena.empty() ? nullptr : arena.data();
    size_t capacity = arena.capacity();
    for (int k = 0; k < kHashesPerShard; ++k) {
        uint8_t header[kHeaderBytes];
        for (uint8_t& b : header)
            b = static_cast<uint8_t>(rng());
        if (shard == 2 && k < 2)
            std::memset(header, k == 0 ? 0 : 0xff, sizeof(header));
        const uint64_t nonce = static_cast<size_t>(k) < special.size() ? special[k] : rng();
        ASSERT_EQ(test::pow_hex(arena, header, nonce), test::libargon2_hex(header, nonce))
            << "header " << test::to_hex(header, kHeaderBytes) << ", nonce " << nonce;
        ASSERT_EQ(arena.size(), kArenaBlocks);
        if (storage == nullptr) {
            storage = arena.data();
            capacity = arena.capacity();
        }
        ASSERT_EQ(arena.data(), storage) << "hash " << k << " allocated";
        ASSERT_EQ(arena.capacity(), capacity) << "hash " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, AgreesWithLibargon2, ::testing::Range(0, kShards));

// G reads each word of x and y before it writes that word of out, so out may be either input
// or both.
TEST(FillBlock, OutputMayAliasItsInputs) {
    std::mt19937_64 rng(8);
    Block x, y;
    for (size_t i = 0; i < kBlockWords; ++i) {
        x.v[i] = rng();
        y.v[i] = rng();
    }
    Block separate, same;
    fill_block(separate, x, y);
    fill_block(same, x, x);
    Block into_x = x, into_y = y, into_both = x;
    fill_block(into_x, into_x, y);
    fill_block(into_y, x, into_y);
    fill_block(into_both, into_both, into_both);
    EXPECT_EQ(std::memcmp(&into_x, &separate, sizeof(Block)), 0);
    EXPECT_EQ(std::memcmp(&into_y, &separate, sizeof(Block)), 0);
    EXPECT_EQ(std::memcmp(&into_both, &same, sizeof(Block)), 0);
}

// J1 = 0 picks the newest block of the area (0..c-2), J1 = 2^32 - 1 its oldest: extremes
// that random hashes never reach. Every other J1 stays inside the area.
TEST(ReferenceIndex, ExtremesOfJ1PickTheEndsOfTheArea) {
    std::mt19937_64 rng(9);
    for (uint32_t c = 2; c < kArenaBlocks; ++c) {
        ASSERT_EQ(reference_index(0, c), c - 2);
        ASSERT_EQ(reference_index(0xffffffffu, c), 0u) << "c " << c;
        ASSERT_LE(reference_index(static_cast<uint32_t>(rng()), c), c - 2) << "c " << c;
    }
}

}  // namespace
}  // namespace tovren::qel
