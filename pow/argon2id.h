// The proof-of-work hash: Argon2id v0x13, one pass, 8 MiB, one lane, 32-byte tag, over a
// 112-byte header followed by the nonce (little-endian), salted with kPowSalt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovren::qel {

constexpr size_t kBlockWords = 128;
constexpr size_t kArenaBlocks = 8192;
constexpr size_t kHeaderBytes = 112;
constexpr size_t kHashBytes = 32;
constexpr char kPowSalt[] = "Skelvarin/pow/v1";  // 16 bytes hashed, no terminator
constexpr size_t kPowSaltBytes = sizeof(kPowSalt) - 1;

struct Block {
    uint64_t v[kBlockWords];
};
static_assert(sizeof(Block) == 1024, "an Argon2 block is 1024 bytes");

using BlockArena = std::vector<Block>;

// G of Argon2 on whole blocks; out may alias x or y.
void fill_block(Block& out, const Block& x, const Block& y);

// P of Argon2 on 16 words given in the order of its positions 0..15.
void blamka_permute(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3, uint64_t& v4,
                    uint64_t& v5, uint64_t& v6, uint64_t& v7, uint64_t& v8, uint64_t& v9,
                    uint64_t& v10, uint64_t& v11, uint64_t& v12, uint64_t& v13, uint64_t& v14,
                    uint64_t& v15);

// Address block `counter` (1..16) of slice 0 or 1 of the single pass: G(0, G(0, input)) over
// the input block of pass 0, lane 0, that slice, 8192 blocks, 1 pass, type Argon2id and the
// counter. Its word k holds the pseudo-random value of index 128 * (counter - 1) + k of
// the slice; the hash makes block 2048 * slice + that index from its low 32 bits (J1).
void address_block(Block& out, uint32_t slice, uint32_t counter);

// The block that block c (2..8191) of the single pass references, from the low 32 bits J1 of
// its pseudo-random value: Argon2's map of J1 onto every earlier block but c - 1, with the
// area starting at block 0. The result lies in 0..c-2. In the first two slices J1 comes
// from the address blocks and depends on nothing else, so these indices can be tabled.
uint32_t reference_index(uint32_t j1, uint32_t c);

// Hashes header (112 bytes) and nonce into out (32 bytes), using arena as the 8 MiB of
// memory (resized to exactly 8192 blocks). Always returns 1.
int argon2id_pow_hash(BlockArena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out);

}  // namespace tovren::qel
