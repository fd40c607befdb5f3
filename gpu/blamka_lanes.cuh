// The Argon2 block function G on the 32 lanes of the search kernel: the four layouts of
// a block's words over lanes and registers, the moves between them by warp shuffles, and
// BlaMka's GB. Device code for qel_gpu.cu only.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

#include "blake2b_lanes.cuh"  // rotr64, QEL_UNROLL

namespace tovren::qelg {
namespace {

// A lane is named by its GB quadruple in each half-round; register i is always GB's i-th
// operand (a, b, c, d). Column k's position p is word 2k + 16 (p >> 1) + (p & 1), row r's
// position p is word 16r + p. For lane t, with g = bits 2-3 of t:
//   CD (column diagonals): column k = bits 1-3, GB q = bit 0 + 2 bit 4; register i is
//                          position 4i + ((q + i) & 3). Blocks live in registers and memory
//                          this way: register i of all lanes is words 32i..32i+31.
//   CS (columns):          same lanes; register i is position 4i + q, i.e. word 32i + t.
//   RS (rows):             row r = 2v + ((q + v) >> 1 & 1) and GB index
//                          ((q + v) & 1) + 2 (k & 1), with v = -g mod 4; register i is
//                          position 4i + index.
//   RD (row diagonals):    same lanes; register i is position 4i + ((index + i) & 3).
// A column quadruple and a row quadruple share at most one word, so every change of layout
// brings three words into each lane at least. CS->CD and RS->RD are three shuffles with
// fixed registers. CD->RS and RD->CS transpose lane bits 2-3 against the register index:
// a rotation of the registers by g (selects) makes the register of every shuffle fixed,
// and a rotation after it puts the words in GB order. The lane names are chosen so that
// CD->RS keeps one word in place (three shuffles); RD->CS then cannot as well, and takes
// four. Thirteen shuffles per block.

__device__ __forceinline__ uint32_t cd_word(uint32_t t, int i) {
    const uint32_t q = (t & 1) | ((t >> 3) & 2);
    const uint32_t p = (q + i) & 3;
    return 32 * i + (t & 14) + (p & 1) + ((p & 2) << 3);
}

// The lane of column k's GB qc (CD and CS).
__device__ __forceinline__ uint32_t column_lane(uint32_t k, uint32_t qc) {
    return (qc & 1) | (k << 1) | ((qc & 2) << 3);
}

// The lane of row r's GB index q (RS and RD).
__device__ __forceinline__ uint32_t row_lane(uint32_t r, uint32_t q) {
    const uint32_t g = (0u - (r >> 1)) & 3;
    const uint32_t qc = ((q & 1) + 2 * (r & 1) + g) & 3;
    return column_lane((q >> 1) + 2 * g, qc);
}

// Source lanes of the shuffles that are not a fixed xor, computed once per thread.
struct ShuffleLanes {
    uint32_t g;         // lane bits 2-3: the rotation of the transposes
    uint32_t cd_rs[2];  // CD->RS, registers 1 and 3 (register 2 is xor 8)
    uint32_t rs_rd[2];  // RS->RD, registers 1 and 3 (register 2 is xor 2)
    uint32_t rd_cs[4];  // RD->CS, registers 0-3
    uint32_t cs_cd[2];  // CS->CD, registers 1 and 3 (register 2 is xor 16)
};

__device__ __forceinline__ ShuffleLanes shuffle_lanes(uint32_t t) {
    ShuffleLanes s;
    const uint32_t g = (t >> 2) & 3;
    const uint32_t k = (t >> 1) & 7;
    const uint32_t qc = (t & 1) | ((t >> 3) & 2);
    const uint32_t v = (0u - g) & 3;
    const uint32_t r = (((qc + v) >> 1) & 1) + 2 * v;
    const uint32_t q = ((qc + v) & 1) + 2 * (k & 1);
    s.g = g;
    s.cd_rs[0] = (t & ~12u) | (((g + 1) & 3) << 2);
    s.cd_rs[1] = (t & ~12u) | (((g + 3) & 3) << 2);
    s.rs_rd[0] = row_lane(r, (q + 1) & 3);
    s.rs_rd[1] = row_lane(r, (q + 3) & 3);
    QEL_UNROLL
    for (int m = 0; m < 4; ++m) {
        const uint32_t j = (m - g) & 3;
        s.rd_cs[m] = row_lane((qc >> 1) + 2 * j, ((qc & 1) + 2 * (k & 1) - g) & 3);
    }
    s.cs_cd[0] = column_lane(k, (qc + 1) & 3);
    s.cs_cd[1] = column_lane(k, (qc + 3) & 3);
    return s;
}

// w[i] <- w[(i + s) & 3] for a per-lane s, by selects: the registers stay registers.
__device__ __forceinline__ void rotate_words(uint64_t (&w)[4], uint32_t s) {
    const bool by1 = (s & 1) != 0;
    const bool by2 = (s & 2) != 0;
    const uint64_t a0 = by1 ? w[1] : w[0];
    const uint64_t a1 = by1 ? w[2] : w[1];
    const uint64_t a2 = by1 ? w[3] : w[2];
    const uint64_t a3 = by1 ? w[0] : w[3];
    w[0] = by2 ? a2 : a0;
    w[1] = by2 ? a3 : a1;
    w[2] = by2 ? a0 : a2;
    w[3] = by2 ? a1 : a3;
}

__device__ __forceinline__ void cd_to_rs(uint64_t (&w)[4], const ShuffleLanes& s) {
    rotate_words(w, (0u - s.g) & 3);
    w[1] = __shfl_sync(0xffffffffu, w[1], s.cd_rs[0]);
    w[2] = __shfl_xor_sync(0xffffffffu, w[2], 8);
    w[3] = __shfl_sync(0xffffffffu, w[3], s.cd_rs[1]);
    rotate_words(w, (0u - s.g) & 3);
}

__device__ __forceinline__ void rs_to_rd(uint64_t (&w)[4], const ShuffleLanes& s) {
    w[1] = __shfl_sync(0xffffffffu, w[1], s.rs_rd[0]);
    w[2] = __shfl_xor_sync(0xffffffffu, w[2], 2);
    w[3] = __shfl_sync(0xffffffffu, w[3], s.rs_rd[1]);
}

__device__ __forceinline__ void rd_to_cs(uint64_t (&w)[4], const ShuffleLanes& s) {
    rotate_words(w, s.g);
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        w[i] = __shfl_sync(0xffffffffu, w[i], s.rd_cs[i]);
    rotate_words(w, s.g);
}

__device__ __forceinline__ void cs_to_cd(uint64_t (&w)[4], const ShuffleLanes& s) {
    w[1] = __shfl_sync(0xffffffffu, w[1], s.cs_cd[0]);
    w[2] = __shfl_xor_sync(0xffffffffu, w[2], 16);
    w[3] = __shfl_sync(0xffffffffu, w[3], s.cs_cd[1]);
}

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

// G's permutation P over the block in w (CD layout in and out).
__device__ __forceinline__ void blamka_round(uint64_t (&w)[4], const ShuffleLanes& s) {
    cd_to_rs(w, s);
    blamka_gb(w[0], w[1], w[2], w[3]);
    rs_to_rd(w, s);
    blamka_gb(w[0], w[1], w[2], w[3]);
    rd_to_cs(w, s);
    blamka_gb(w[0], w[1], w[2], w[3]);
    cs_to_cd(w, s);
    blamka_gb(w[0], w[1], w[2], w[3]);
}

__device__ __forceinline__ void load_block(uint64_t (&v)[4], const uint64_t* block,
                                           const uint32_t (&words)[4]) {
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        v[i] = block[words[i]];
}

__device__ __forceinline__ void store_block(uint64_t* block, const uint64_t (&v)[4],
                                            const uint32_t (&words)[4]) {
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        block[words[i]] = v[i];
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
