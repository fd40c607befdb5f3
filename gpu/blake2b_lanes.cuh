// BLAKE2b compression spread over a group of four lanes of the search kernel: lane j runs
// column j and diagonal j of every round, exchanging b, c and d through shared memory.
// Device code for qel_gpu.cu only.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>

// Full unrolling keeps register arrays in registers (nvcc); g++ takes it as a hint.
#if defined(__CUDACC__)
#define QEL_UNROLL _Pragma("unroll")
#else
#define QEL_UNROLL _Pragma("GCC unroll 16")
#endif

namespace tovren::qelg {
namespace {

constexpr uint64_t IV0 = 0x6a09e667f3bcc908ull;
constexpr uint64_t IV1 = 0xbb67ae8584caa73bull;
constexpr uint64_t IV2 = 0x3c6ef372fe94f82bull;
constexpr uint64_t IV3 = 0xa54ff53a5f1d36f1ull;
constexpr uint64_t IV4 = 0x510e527fade682d1ull;
constexpr uint64_t IV5 = 0x9b05688c2b3e6c1full;
constexpr uint64_t IV6 = 0x1f83d9abfb41bd6bull;
constexpr uint64_t IV7 = 0x5be0cd19137e2179ull;

// Parameter block word 0 of an unkeyed hash: digest length, key length 0, fanout 1, depth 1.
__host__ __device__ constexpr uint64_t param_word(uint64_t digest_length) {
    return 0x01010000ull | digest_length;
}

// Row r of SIGMA packed as 16 nibbles, entry k in bits 4k..4k+3: with the rounds written
// out, every message index is a compile-time constant and no table exists at run time.
__host__ __device__ constexpr uint64_t sigma_row(int r) {
    switch (r % 10) {
        case 0:
            return 0xfedcba9876543210ull;
        case 1:
            return 0x357b20c16df984aeull;
        case 2:
            return 0x491763eadf250c8bull;
        case 3:
            return 0x8f04a562ebcd1397ull;
        case 4:
            return 0xd386cb1efa427509ull;
        case 5:
            return 0x91ef57d438b0a6c2ull;
        case 6:
            return 0xb8293670a4def15cull;
        case 7:
            return 0xa2684f05931ce7bdull;
        case 8:
            return 0x5a417d2c803b9ef6ull;
        default:
            return 0x0dc3e9bf5167482aull;
    }
}

__device__ __forceinline__ uint64_t rotr64(uint64_t x, int n) {
    return (x >> n) | (x << (64 - n));
}

__device__ __forceinline__ uint64_t pick4(uint32_t j, uint64_t v0, uint64_t v1, uint64_t v2,
                                          uint64_t v3) {
    const uint64_t lo = (j & 1) ? v1 : v0;
    const uint64_t hi = (j & 1) ? v3 : v2;
    return (j & 2) ? hi : lo;
}

__device__ __forceinline__ void blake2b_g(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d,
                                          uint64_t x, uint64_t y) {
    a = a + b + x;
    d = rotr64(d ^ a, 32);
    c = c + d;
    b = rotr64(b ^ c, 24);
    a = a + b + y;
    d = rotr64(d ^ a, 16);
    c = c + d;
    b = rotr64(b ^ c, 63);
}

// Shared-memory scratch of one four-lane BLAKE2b group.
struct Blake2bScratch {
    uint64_t* msg;  // 16 message words
    uint64_t* xch;  // 24 words: two exchange buffers of b, c, d for four lanes
};

// Message word SIGMA[r][k + 2j] for lane j. Each of the four candidates is read at a
// compile-time offset: lane-dependent addresses would be loop-invariant, and the compiler
// would keep all 48 of a compression in registers across the H' chain.
template <uint64_t Sigma, int K>
__device__ __forceinline__ uint64_t msg_word(const uint64_t* msg, uint32_t j) {
    return pick4(j, msg[(Sigma >> (4 * K)) & 15], msg[(Sigma >> (4 * K + 8)) & 15],
                 msg[(Sigma >> (4 * K + 16)) & 15], msg[(Sigma >> (4 * K + 24)) & 15]);
}

// One round: column j, then diagonal j (a = v[j], b = v[4 + (j+1)%4], c = v[8 + (j+2)%4],
// d = v[12 + (j+3)%4]); b, c and d travel through the exchange buffers and come back.
template <int R>
__device__ __forceinline__ void blake2b_round(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d,
                                              const Blake2bScratch& s, uint32_t j, unsigned mask) {
    constexpr uint64_t sigma = sigma_row(R);
    blake2b_g(a, b, c, d, msg_word<sigma, 0>(s.msg, j), msg_word<sigma, 1>(s.msg, j));

    uint64_t* to_diag = s.xch;
    to_diag[j] = b;
    to_diag[4 + j] = c;
    to_diag[8 + j] = d;
    __syncwarp(mask);
    b = to_diag[(j + 1) & 3];
    c = to_diag[4 + ((j + 2) & 3)];
    d = to_diag[8 + ((j + 3) & 3)];

    blake2b_g(a, b, c, d, msg_word<sigma, 8>(s.msg, j), msg_word<sigma, 9>(s.msg, j));

    uint64_t* back = s.xch + 12;
    back[(j + 1) & 3] = b;
    back[4 + ((j + 2) & 3)] = c;
    back[8 + ((j + 3) & 3)] = d;
    __syncwarp(mask);
    b = back[j];
    c = back[4 + j];
    d = back[8 + j];
}

// Compression F on lane j (0..3) of a group: h_lo = h[j], h_hi = h[j + 4]. The message is
// in s.msg, written by the group and made visible by a __syncwarp(mask) before the call;
// it may be overwritten as soon as the call returns (its last read precedes a barrier).
__device__ __forceinline__ void blake2b_compress4(uint64_t& h_lo, uint64_t& h_hi,
                                                  const Blake2bScratch& s, uint32_t j, uint64_t t0,
                                                  bool last, unsigned mask) {
    uint64_t a = h_lo;
    uint64_t b = h_hi;
    uint64_t c = pick4(j, IV0, IV1, IV2, IV3);
    uint64_t d = pick4(j, IV4 ^ t0, IV5, last ? ~IV6 : IV6, IV7);
    blake2b_round<0>(a, b, c, d, s, j, mask);
    blake2b_round<1>(a, b, c, d, s, j, mask);
    blake2b_round<2>(a, b, c, d, s, j, mask);
    blake2b_round<3>(a, b, c, d, s, j, mask);
    blake2b_round<4>(a, b, c, d, s, j, mask);
    blake2b_round<5>(a, b, c, d, s, j, mask);
    blake2b_round<6>(a, b, c, d, s, j, mask);
    blake2b_round<7>(a, b, c, d, s, j, mask);
    blake2b_round<8>(a, b, c, d, s, j, mask);
    blake2b_round<9>(a, b, c, d, s, j, mask);
    blake2b_round<10>(a, b, c, d, s, j, mask);
    blake2b_round<11>(a, b, c, d, s, j, mask);
    h_lo ^= a ^ c;
    h_hi ^= b ^ d;
}

}  // namespace
}  // namespace tovren::qelg
