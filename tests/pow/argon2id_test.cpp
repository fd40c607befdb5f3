#include "pow/argon2id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

using test::libargon2_hash;
using test::to_hex;

struct Case {
    uint8_t header[kHeaderBytes];
    uint64_t nonce;
};

Case make_case(uint64_t seed) {
    std::mt19937_64 rng(seed);
    Case c;
    for (uint8_t& b : c.header)
        b = static_cast<uint8_t>(rng());
    c.nonce = rng();
    return c;
}

std::string expected_hex(const Case& c) {
    uint8_t h[kHashBytes];
    EXPECT_TRUE(libargon2_hash(c.header, c.nonce, h));
    return to_hex(h, kHashBytes);
}

std::string hash_hex(BlockArena& arena, const Case& c) {
    uint8_t h[kHashBytes];
    argon2id_pow_hash(arena, c.header, c.nonce, h);
    return to_hex(h, kHashBytes);
}

void fill_garbage(BlockArena& arena) {
    std::mt19937_64 rng(99);
    for (Block& b : arena)
        for (uint64_t& w : b.v)
            w = rng();
}

// Whatever the arena held and however long it was, the hash is the same, and an arena of
// at least 8192 blocks is used where it lies.
TEST(Argon2idArena, EmptyArenaGrowsOnceAndIsReused) {
    const Case a = make_case(1);
    const Case b = make_case(4);
    BlockArena arena;
    EXPECT_EQ(hash_hex(arena, a), expected_hex(a));
    EXPECT_EQ(arena.size(), kArenaBlocks);
    const Block* data = arena.data();
    const size_t capacity = arena.capacity();
    EXPECT_EQ(hash_hex(arena, b), expected_hex(b));
    EXPECT_EQ(arena.data(), data);
    EXPECT_EQ(arena.capacity(), capacity);
}

TEST(Argon2idArena, ExactArenaIsUsedInPlace) {
    const Case c = make_case(2);
    BlockArena arena(kArenaBlocks);
    fill_garbage(arena);
    const Block* data = arena.data();
    const size_t capacity = arena.capacity();
    EXPECT_EQ(hash_hex(arena, c), expected_hex(c));
    EXPECT_EQ(arena.size(), kArenaBlocks);
    EXPECT_EQ(arena.data(), data);
    EXPECT_EQ(arena.capacity(), capacity);
}

TEST(Argon2idArena, LargerArenaIsCutAndKeepsItsStorage) {
    const Case c = make_case(3);
    BlockArena arena(10000);
    fill_garbage(arena);
    const Block* data = arena.data();
    const size_t capacity = arena.capacity();
    EXPECT_EQ(hash_hex(arena, c), expected_hex(c));
    EXPECT_EQ(arena.size(), kArenaBlocks);
    EXPECT_EQ(arena.data(), data);
    EXPECT_EQ(arena.capacity(), capacity);
}

TEST(Argon2idThreads, OwnArenasAgreeWithASequentialRun) {
    constexpr int kPerThread = 4;
    std::vector<Case> cases;
    for (int i = 0; i < 2 * kPerThread; ++i)
        cases.push_back(make_case(100 + i));

    std::vector<std::string> sequential;
    BlockArena arena;
    for (const Case& c : cases)
        sequential.push_back(hash_hex(arena, c));

    std::vector<std::string> parallel(cases.size());
    auto work = [&](int first) {
        BlockArena own;
        for (int i = first; i < first + kPerThread; ++i)
            parallel[i] = hash_hex(own, cases[i]);
    };
    std::thread t1(work, 0);
    std::thread t2(work, kPerThread);
    t1.join();
    t2.join();

    EXPECT_EQ(parallel, sequential);
}

Block random_block(std::mt19937_64& rng) {
    Block b;
    for (uint64_t& w : b.v)
        w = rng();
    return b;
}

bool same(const Block& a, const Block& b) {
    return std::memcmp(&a, &b, sizeof(Block)) == 0;
}

TEST(FillBlock, OutputMayAliasEitherInput) {
    std::mt19937_64 rng(7);
    const Block x = random_block(rng);
    const Block y = random_block(rng);
    Block separate;
    fill_block(separate, x, y);

    Block into_x = x;
    fill_block(into_x, into_x, y);
    EXPECT_TRUE(same(into_x, separate));

    Block into_y = y;
    fill_block(into_y, x, into_y);
    EXPECT_TRUE(same(into_y, separate));
}

// G is P over the rows, then over the columns (pairs of words), of x XOR y, XORed with both.
TEST(FillBlock, IsBlamkaPermuteOverRowsThenColumns) {
    std::mt19937_64 rng(8);
    for (int round = 0; round < 4; ++round) {
        const Block x = random_block(rng);
        const Block y = random_block(rng);
        Block r;
        for (size_t i = 0; i < kBlockWords; ++i)
            r.v[i] = x.v[i] ^ y.v[i];
        for (size_t k = 0; k < 8; ++k) {
            uint64_t* w = r.v + 16 * k;
            blamka_permute(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11],
                           w[12], w[13], w[14], w[15]);
        }
        for (size_t k = 0; k < 8; ++k) {
            uint64_t* w = r.v + 2 * k;
            blamka_permute(w[0], w[1], w[16], w[17], w[32], w[33], w[48], w[49], w[64], w[65],
                           w[80], w[81], w[96], w[97], w[112], w[113]);
        }
        for (size_t i = 0; i < kBlockWords; ++i)
            r.v[i] ^= x.v[i] ^ y.v[i];

        Block g;
        fill_block(g, x, y);
        EXPECT_TRUE(same(g, r)) << "round " << round;
    }
}

// The area of block c is blocks 0..c-2; J1 = 0 picks its newest block, J1 = 2^32 - 1 its oldest.
TEST(ReferenceIndex, StaysInsideTheArea) {
    std::mt19937_64 rng(9);
    for (uint32_t c = 2; c < kArenaBlocks; ++c) {
        EXPECT_EQ(reference_index(0, c), c - 2);
        EXPECT_EQ(reference_index(0xffffffffu, c), 0u);
        for (int k = 0; k < 4; ++k) {
            ASSERT_LE(reference_index(static_cast<uint32_t>(rng()), c), c - 2) << "c " << c;
        }
    }
    EXPECT_EQ(reference_index(0x80000000u, 2), 0u);
}

// The data-independent indices of the first two slices, as the hash derives them from its
// address blocks, checked at known points (block 2048 needs slice 1's own counter 1).
TEST(ReferenceIndex, FirstTwoSlicesHitKnownValues) {
    std::vector<uint32_t> ref(4096, 0);
    Block address;
    for (uint32_t i = 2; i < 4096; ++i) {
        const uint32_t slice = i / 2048;
        const uint32_t index = i % 2048;
        if (index % 128 == 0 || i == 2)
            address_block(address, slice, index / 128 + 1);
        ref[i] = reference_index(static_cast<uint32_t>(address.v[index % 128]), i);
        ASSERT_LE(ref[i], i - 2);
    }
    EXPECT_EQ(ref[2], 0u);
    EXPECT_EQ(ref[3], 1u);
    EXPECT_EQ(ref[4], 2u);
    EXPECT_EQ(ref[127], 124u);
    EXPECT_EQ(ref[128], 64u);
    EXPECT_EQ(ref[129], 70u);
    EXPECT_EQ(ref[2047], 1868u);
    EXPECT_EQ(ref[2048], 1772u);
    EXPECT_EQ(ref[2049], 1901u);
    EXPECT_EQ(ref[4095], 3780u);
    EXPECT_EQ(*std::max_element(ref.begin(), ref.end()), 4078u);
}

}  // namespace
}  // namespace tovren::qel
