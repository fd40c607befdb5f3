#include "pow/argon2id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

using test::libargon2_hex;
using test::pow_hex;

struct Input {
    uint8_t header[kHeaderBytes];
    uint64_t nonce;
};

Input make_input(uint64_t seed) {
    std::mt19937_64 rng(seed);
    Input in;
    for (uint8_t& b : in.header)
        b = static_cast<uint8_t>(rng());
    in.nonce = rng();
    return in;
}

Block random_block(std::mt19937_64& rng) {
    Block b;
    for (uint64_t& w : b.v)
        w = rng();
    return b;
}

// Whatever the arena held and however long it was, the hash is the same; from the first call
// on the arena is 8192 blocks and keeps its storage, so a reused arena never allocates again.
TEST(Argon2idArena, AnyStartingArenaGivesTheSameHashAndIsReusedInPlace) {
    const Input first = make_input(1), second = make_input(2);
    std::mt19937_64 rng(99);
    for (size_t blocks : {size_t{0}, kArenaBlocks, size_t{10000}}) {
        SCOPED_TRACE(blocks);
        BlockArena arena(blocks);
        for (Block& b : arena)
            b = random_block(rng);
        const Block* data = arena.data();
        size_t capacity = arena.capacity();
        EXPECT_EQ(pow_hex(arena, first.header, first.nonce),
                  libargon2_hex(first.header, first.nonce));
        EXPECT_EQ(arena.size(), kArenaBlocks);
        if (blocks == 0) {
            data = arena.data();
            capacity = arena.capacity();
        }
        EXPECT_EQ(pow_hex(arena, second.header, second.nonce),
                  libargon2_hex(second.header, second.nonce));
        EXPECT_EQ(arena.data(), data);
        EXPECT_EQ(arena.capacity(), capacity);
    }
}

TEST(Argon2idThreads, OwnArenasAgreeWithASequentialRun) {
    constexpr int kPerThread = 4;
    std::vector<Input> inputs;
    std::vector<std::string> sequential, parallel(2 * kPerThread);
    BlockArena arena;
    for (int i = 0; i < 2 * kPerThread; ++i) {
        inputs.push_back(make_input(100 + i));
        sequential.push_back(pow_hex(arena, inputs[i].header, inputs[i].nonce));
    }
    auto work = [&](int first) {
        BlockArena own;
        for (int i = first; i < first + kPerThread; ++i)
            parallel[i] = pow_hex(own, inputs[i].header, inputs[i].nonce);
    };
    std::thread t1(work, 0), t2(work, kPerThread);
    t1.join();
    t2.join();
    EXPECT_EQ(parallel, sequential);
}

// G reads each word of x and y before it writes that word of out, so out may be either input.
TEST(FillBlock, OutputMayAliasEitherInput) {
    std::mt19937_64 rng(8);
    const Block x = random_block(rng), y = random_block(rng);
    Block separate, into_x = x, into_y = y;
    fill_block(separate, x, y);
    fill_block(into_x, into_x, y);
    fill_block(into_y, x, into_y);
    EXPECT_EQ(std::memcmp(&into_x, &separate, sizeof(Block)), 0);
    EXPECT_EQ(std::memcmp(&into_y, &separate, sizeof(Block)), 0);
}

// The area of block c is blocks 0..c-2; J1 = 0 picks its newest block, J1 = 2^32 - 1 its
// oldest. Random hashes almost never reach these extremes.
TEST(ReferenceIndex, StaysInsideTheArea) {
    std::mt19937_64 rng(9);
    for (uint32_t c = 2; c < kArenaBlocks; ++c) {
        ASSERT_EQ(reference_index(0, c), c - 2);
        ASSERT_EQ(reference_index(0xffffffffu, c), 0u);
        ASSERT_LE(reference_index(static_cast<uint32_t>(rng()), c), c - 2) << "c " << c;
    }
}

}  // namespace
}  // namespace tovren::qel
