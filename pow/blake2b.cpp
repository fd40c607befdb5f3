#include "pow/blake2b.h"

#include <cstring>

namespace tovren::qel {
namespace {

constexpr uint64_t IV[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr uint8_t SIGMA[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

constexpr size_t kBlockBytes = 128;
constexpr size_t kMaxDigest = 64;

inline uint64_t rotr64(uint64_t w, unsigned c) {
    return (w >> c) | (w << (64 - c));
}

inline uint64_t load64_le(const uint8_t* p) {
    uint64_t w = 0;
    for (int i = 7; i >= 0; --i)
        w = (w << 8) | p[i];
    return w;
}

inline void store64_le(uint8_t* p, uint64_t w) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(w >> (8 * i));
}

inline void store32_le(uint8_t* p, uint32_t w) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(w >> (8 * i));
}

inline void G(uint64_t* v, int a, int b, int c, int d, uint64_t x, uint64_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = rotr64(v[d] ^ v[a], 32);
    v[c] = v[c] + v[d];
    v[b] = rotr64(v[b] ^ v[c], 24);
    v[a] = v[a] + v[b] + y;
    v[d] = rotr64(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = rotr64(v[b] ^ v[c], 63);
}

// BLAKE2b of one 64-byte digest, the chaining step of H'; out may be in.
void blake2b_of_digest(uint8_t* out, size_t outlen, const uint8_t* in) {
    Blake2bState s;
    blake2b_init(s, outlen);
    blake2b_update(s, in, kMaxDigest);
    blake2b_final(s, out);
}

}  // namespace

void blake2b_compress(Blake2bState& state, const uint8_t* block, bool last) {
    uint64_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = load64_le(block + 8 * i);

    uint64_t v[16];
    for (int i = 0; i < 8; ++i) {
        v[i] = state.h[i];
        v[i + 8] = IV[i];
    }
    v[12] ^= state.t0;
    if (last)
        v[14] = ~v[14];

    for (int r = 0; r < 12; ++r) {
        const uint8_t* s = SIGMA[r % 10];
        G(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
        G(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
        G(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
        G(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
        G(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
        G(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
        G(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
        G(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
    }

    for (int i = 0; i < 8; ++i)
        state.h[i] ^= v[i] ^ v[i + 8];
}

void blake2b_init(Blake2bState& state, size_t outlen) {
    for (int i = 0; i < 8; ++i)
        state.h[i] = IV[i];
    // Parameter block word 0: digest length, key length 0, fanout 1, depth 1.
    state.h[0] ^= 0x01010000ULL ^ static_cast<uint64_t>(outlen);
    state.t0 = 0;
    std::memset(state.buf, 0, sizeof(state.buf));
    state.buflen = 0;
    state.outlen = outlen;
}

void blake2b_update(Blake2bState& state, const void* data, size_t len) {
    const uint8_t* in = static_cast<const uint8_t*>(data);
    while (len > 0) {
        // A full buffer waits for more input, so that the message's last block reaches final.
        if (state.buflen == kBlockBytes) {
            state.t0 += kBlockBytes;
            blake2b_compress(state, state.buf, false);
            state.buflen = 0;
        }
        size_t take = kBlockBytes - state.buflen;
        if (take > len)
            take = len;
        std::memcpy(state.buf + state.buflen, in, take);
        state.buflen += take;
        in += take;
        len -= take;
    }
}

void blake2b_final(Blake2bState& state, uint8_t* out) {
    state.t0 += state.buflen;
    std::memset(state.buf + state.buflen, 0, kBlockBytes - state.buflen);
    blake2b_compress(state, state.buf, true);

    uint8_t digest[kMaxDigest];
    for (int i = 0; i < 8; ++i)
        store64_le(digest + 8 * i, state.h[i]);
    std::memcpy(out, digest, state.outlen);
}

void blake2b_long(uint8_t* out, uint32_t outlen, const void* in, size_t inlen) {
    uint8_t prefix[4];
    store32_le(prefix, outlen);

    Blake2bState s;
    if (outlen <= kMaxDigest) {
        blake2b_init(s, outlen);
        blake2b_update(s, prefix, sizeof(prefix));
        blake2b_update(s, in, inlen);
        blake2b_final(s, out);
        return;
    }

    const uint32_t r = (outlen + 31) / 32 - 2;
    uint8_t v[kMaxDigest];
    blake2b_init(s, kMaxDigest);
    blake2b_update(s, prefix, sizeof(prefix));
    blake2b_update(s, in, inlen);
    blake2b_final(s, v);
    std::memcpy(out, v, 32);

    for (uint32_t i = 2; i <= r; ++i) {
        blake2b_of_digest(v, kMaxDigest, v);
        std::memcpy(out + 32 * (i - 1), v, 32);
    }
    // The last digest is written whole, shortened to what is left of the output.
    blake2b_of_digest(out + 32 * r, outlen - 32 * r, v);
}

}  // namespace tovren::qel
