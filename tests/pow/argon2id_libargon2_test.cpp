// The proof that argon2id_pow_hash is Argon2id: it must agree with the Argon2 reference
// library on every header and nonce, here 200 of them, split into shards that run in parallel.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "pow/argon2id.h"
#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

constexpr int kShards = 8;
constexpr int kHashesPerShard = 25;

class AgreesWithLibargon2 : public ::testing::TestWithParam<int> {};

TEST_P(AgreesWithLibargon2, OnRandomHeadersAndNonces) {
    const int shard = GetParam();
    std::mt19937_64 rng(0x5ca1ab1e0000ULL + static_cast<uint64_t>(shard));

    // The nonce's extremes and its byte order, and headers without any structure.
    std::vector<uint64_t> special;
    if (shard == 0)
        special = {0, ~0ULL, 1};
    if (shard == 1)
        special = {0xffffffffULL, 0x100000000ULL, 0x0102030405060708ULL};

    BlockArena arena;  // reused for the whole shard, as a miner's worker does
    for (int k = 0; k < kHashesPerShard; ++k) {
        uint8_t header[kHeaderBytes];
        for (uint8_t& b : header)
            b = static_cast<uint8_t>(rng());
        if (shard == 2 && k < 2)
            std::memset(header, k == 0 ? 0 : 0xff, sizeof(header));
        const uint64_t nonce = static_cast<size_t>(k) < special.size() ? special[k] : rng();
        EXPECT_EQ(test::pow_hex(arena, header, nonce), test::libargon2_hex(header, nonce))
            << "header " << test::to_hex(header, kHeaderBytes) << ", nonce " << nonce;
    }
}

INSTANTIATE_TEST_SUITE_P(Shards, AgreesWithLibargon2, ::testing::Range(0, kShards));

}  // namespace
}  // namespace tovren::qel
