#include "gpu/kernel_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "gpu_test_util.h"
#include "pow/argon2id.h"
#include "pow/blake2b.h"

namespace tovren::qel {
namespace {

using test::Bytes;

std::vector<uint16_t> built_table() {
    std::vector<uint16_t> t(kRefIndexEntries, 0xffff);
    build_ref_index_table(t.data());
    return t;
}

// The reference indices of slices 0 and 1 as the CPU hash itself finds them.
std::vector<uint16_t> cpu_hash_references() {
    std::vector<uint16_t> refs(kRefIndexEntries, 0);
    Block address;
    for (uint32_t slice = 0; slice < 2; ++slice) {
        for (uint32_t counter = 1; counter <= 16; ++counter) {
            address_block(address, slice, counter);
            for (uint32_t k = 0; k < 128; ++k) {
                const uint32_t c = 2048 * slice + 128 * (counter - 1) + k;
                if (c >= 2)
                    refs[c] = static_cast<uint16_t>(
                        reference_index(static_cast<uint32_t>(address.v[k]), c));
            }
        }
    }
    return refs;
}

TEST(RefIndexTable, CheckValuesAndBounds) {
    const auto t = built_table();
    const std::pair<size_t, uint16_t> entries[] = {
        {0, 0},    {1, 0},    {2, 0},       {3, 1},       {4, 2},       {127, 124},
        {128, 64}, {129, 70}, {2047, 1868}, {2048, 1772}, {2049, 1901}, {4095, 3780},
    };
    for (const auto& [i, value] : entries)
        EXPECT_EQ(t[i], value) << "entry " << i;
    EXPECT_EQ(*std::max_element(t.begin(), t.end()), 4078);
    for (size_t i = 2; i < kRefIndexEntries; ++i)
        ASSERT_LE(t[i], i - 2) << "entry " << i;
}

TEST(RefIndexTable, EqualsTheCpuHashWalkAndIsStable) {
    const auto t = built_table();
    EXPECT_EQ(t, cpu_hash_references());
    // Nothing carried over from a first build (static working storage) changes a second.
    EXPECT_EQ(built_table(), t);
}

Bytes target_with(size_t index, uint8_t value) {
    Bytes t(32, 0);
    t[index] = value;
    return t;
}

TEST(BuildJob, TargetWordsHoldTheBigEndianTargetLeastSignificantFirst) {
    std::mt19937_64 rng(4);
    const Bytes header = test::random_header(rng);
    struct Case {
        Bytes target;
        uint64_t words[4];
    } cases[] = {
        {Bytes(32, 0), {0, 0, 0, 0}},
        {Bytes(32, 0xff), {~0ull, ~0ull, ~0ull, ~0ull}},
        {target_with(31, 1), {1, 0, 0, 0}},
        {target_with(0, 1), {0, 0, 0, uint64_t{1} << 56}},
        // Bytes 8..15 hold the second most significant word, byte 8 its top byte.
        {target_with(8, 0xab), {0, 0, uint64_t{0xab} << 56, 0}},
        {target_with(23, 0x5c), {0, 0x5c, 0, 0}},
    };
    for (const auto& c : cases) {
        Job job;
        build_job(header.data(), c.target.data(), job);
        for (int w = 0; w < 4; ++w)
            EXPECT_EQ(job.target_words[w], c.words[w]) << "word " << w;
    }
}

TEST(BuildJob, MidstateCoversBytes0To99AndTailTheRest) {
    std::mt19937_64 rng(11);
    const Bytes zero_target(32, 0);
    const Bytes header = test::random_header(rng);
    Job base;
    build_job(header.data(), zero_target.data(), base);

    Bytes tail_changed = header;
    for (int i = 100; i < 112; ++i)
        tail_changed[i] ^= 0x5a;
    Job other;
    build_job(tail_changed.data(), zero_target.data(), other);
    EXPECT_EQ(0, std::memcmp(base.midstate, other.midstate, sizeof base.midstate));
    EXPECT_NE(base.header_tail[0], other.header_tail[0]);
    EXPECT_NE(base.header_tail[1], other.header_tail[1]);

    for (int pos : {0, 27, 28, 64, 99}) {
        Bytes changed = header;
        changed[pos] ^= 1;
        build_job(changed.data(), zero_target.data(), other);
        EXPECT_NE(0, std::memcmp(base.midstate, other.midstate, sizeof base.midstate))
            << "byte " << pos;
        EXPECT_EQ(base.header_tail[0], other.header_tail[0]);
    }
}

TEST(BuildJob, HeaderTailWords) {
    Bytes header(kHeaderBytes, 0);
    for (int i = 100; i < 112; ++i)
        header[i] = static_cast<uint8_t>(0xf0 + i - 100);
    Job job;
    build_job(header.data(), Bytes(32, 0).data(), job);
    EXPECT_EQ(job.header_tail[0], 0xf7f6f5f4f3f2f1f0ull);
    EXPECT_EQ(job.header_tail[1], 0xfbfaf9f8ull);  // high half always zero

    std::mt19937_64 rng(5);
    for (int n = 0; n < 8; ++n) {
        const Bytes h = test::random_header(rng);
        build_job(h.data(), Bytes(32, 0xff).data(), job);
        EXPECT_EQ(job.header_tail[1] >> 32, 0u);
    }
}

// Finishing the midstate with H0's second block gives BLAKE2b-512 of the whole input.
TEST(BuildJob, FinishedMidstateIsH0) {
    std::mt19937_64 rng(3);
    for (int n = 0; n < 4; ++n) {
        const Bytes header = test::random_header(rng);
        const uint64_t nonce = rng();
        uint8_t input[176] = {};
        const uint32_t numbers[] = {1, 32, 8192, 1, 0x13, 2, 120};
        for (int k = 0; k < 7; ++k)
            std::memcpy(input + 4 * k, &numbers[k], 4);
        std::memcpy(input + 28, header.data(), 112);
        std::memcpy(input + 140, &nonce, 8);
        const uint32_t salt_len = 16;
        std::memcpy(input + 148, &salt_len, 4);
        std::memcpy(input + 152, "Skelvarin/pow/v1", 16);
        uint8_t expected[64];
        Blake2bState s;
        blake2b_init(s, 64);
        blake2b_update(s, input, sizeof input);
        blake2b_final(s, expected);

        Job job;
        build_job(header.data(), Bytes(32, 0).data(), job);
        Blake2bState f;
        blake2b_init(f, 64);
        std::memcpy(f.h, job.midstate, sizeof f.h);
        uint8_t second[128] = {};
        std::memcpy(second, &job.header_tail[0], 8);
        std::memcpy(second + 8, &job.header_tail[1], 4);
        std::memcpy(second + 12, input + 140, 36);
        f.t0 = 176;
        blake2b_compress(f, second, true);
        EXPECT_EQ(0, std::memcmp(f.h, expected, 64)) << "header " << n;
    }
}

}  // namespace
}  // namespace tovren::qel
