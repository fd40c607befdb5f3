// The Argon2 block function G on the 32 lanes of the search kernel: the four layouts of
// a block's words over lanes and registers, the moves between them through shared memory,
// and BlaMka's GB. Device code for qel_gpu.cu only.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "blake2b_lanes.cuh"  // rotr64, QEL_UNROLL

namespace tovren::qelg {
namespace {

// Word positions of the four layouts, for lane t and register i (GB's a, b, c, d):
//   CS (columns):            lane t = 2k + (q & 1) + 16 (q >> 1) holds GB q of column k;
//                            register i is column position 4i + q, i.e. word 32i + t.
//   CD (column diagonals):   same lanes; register i is column position 4i + ((q + i) & 3).
//   RS (rows):               lane t = q + 4g + 16h holds GB q of row r = 2g + h;
//                            register i is row position 4i + q.
//   RD (row diagonals):      same lanes; register i is row position 4i + ((q + i) & 3).
// Column position p of column k is word 2k + 16 (p >> 1) + (p & 1); row position p of row
// r is word 16r + p. CD is also the layout in which blocks live in registers and memory.

__device__ __forceinline__ uint32_t cd_word(uint32_t t, int i) {
    const uint32_t q = (t & 1) | ((t >> 3) & 2);
    const uint32_t p = (q + i) & 3;
    return 32 * i + (t & 14) + (p & 1) + ((p & 2) << 3);
}
__device__ __forceinline__ uint32_t cs_word(uint32_t t, int i) {
    return 32 * i + t;
}
__device__ __forceinline__ uint32_t rs_word(uint32_t t, int i) {
    return ((t & 12) << 3) + (t & 16) + 4 * i + (t & 3);
}
__device__ __forceinline__ uint32_t rd_word(uint32_t t, int i) {
    return ((t & 12) << 3) + (t & 16) + 4 * i + (((t & 3) + i) & 3);
}

// Shared-memory slot of a word: bits 5-6 folded into bits 2-3, which spreads every one of
// the layouts' register accesses over all 16 eight-byte bank pairs.
__host__ __device__ constexpr uint32_t swz(uint32_t w) {
    return w ^ ((w >> 3) & 12);
}

// Per-lane shared-memory slots of the four layouts, computed once.
struct LaneSlots {
    uint32_t cd[4], cs[4], rs[4], rd[4];
    uint32_t cd_global[4];  // word offsets of the lane's registers within a block
};

__device__ __forceinline__ uint64_t blamka(uint64_t x, uint64_t y) {
    const uint64_t m = static_cast<uint64_t>(static_cast<uint32_t>(x)) * static_cast<uint32_t>(y);
    return x + y + 2 * m;
}

__device__ __forceinline__ void blamka_gb(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d) {
    a = blamka(a, b);
    d = rotr64(d ^ a, 32);
    c = blamka(c, d);
    b = rotr64(b ^ c, 24);
    a = blamka(a, b);
    d = rotr64(d ^ a, 16);
    c = blamka(c, d);
    b = rotr64(b ^ c, 63);
}

// Moves w from one layout to the next through buf (128 words).
__device__ __forceinline__ void relayout(uint64_t (&w)[4], uint64_t* buf, const uint32_t (&from)[4],
                                         const uint32_t (&to)[4]) {
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        buf[from[i]] = w[i];
    __syncwarp(0xffffffffu);
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        w[i] = buf[to[i]];
}

__device__ __forceinline__ void load_block(uint64_t (&v)[4], const uint64_t* block,
                                           const LaneSlots& ls) {
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        v[i] = block[ls.cd_global[i]];
}

__device__ __forceinline__ void store_block(uint64_t* block, const uint64_t (&v)[4],
                                            const LaneSlots& ls) {
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        block[ls.cd_global[i]] = v[i];
}

// Reference block of block c (slices 2 and 3) from word 0 of block c - 1.
__device__ __forceinline__ uint32_t data_dependent_ref(uint32_t c, uint64_t word0) {
    const uint64_t j1 = static_cast<uint32_t>(word0);
    const uint64_t x = (j1 * j1) >> 32;
    const uint64_t y = (static_cast<uint64_t>(c - 1) * x) >> 32;
    return static_cast<uint32_t>((c - 2) - y);
}

}  // namespace
}  // namespace tovren::qelg
