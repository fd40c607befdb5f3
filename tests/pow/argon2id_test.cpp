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
    const Block* storage = nullptr;
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
        if (k == 0)
            storage = arena.data();
        ASSERT_EQ(arena.data(), storage) << "hash " << k << " allocated";
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, AgreesWithLibargon2, ::testing::Range(0, kShards));

// J1 = 0 picks the newest block of the area (0..c-2), J1 = 2^32 - 1 its oldest: extremes
// that random hashes never reach.
TEST(ReferenceIndex, ExtremesOfJ1PickTheEndsOfTheArea) {
    for (uint32_t c = 2; c < kArenaBlocks; ++c) {
        ASSERT_EQ(reference_index(0, c), c - 2);
        ASSERT_EQ(reference_index(0xffffffffu, c), 0u) << "c " << c;
    }
}

}  // namespace
}  // namespace tovren::qel
