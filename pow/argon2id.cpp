#include "pow/argon2id.h"

#include <cstring>

#include "pow/blake2b.h"

namespace tovren::qel {
namespace {

constexpr uint32_t kLanes = 1;
constexpr uint32_t kPasses = 1;
constexpr uint32_t kVersion = 0x13;
constexpr uint32_t kType = 2;  // Argon2id
constexpr uint32_t kSlices = 4;
constexpr uint32_t kSliceBlocks = kArenaBlocks / kSlices;
constexpr size_t kBlockBytes = sizeof(Block);
constexpr size_t kPrehashBytes = 64;
constexpr size_t kPasswordBytes = kHeaderBytes + 8;

inline uint64_t rotr64(uint64_t w, unsigned c) {
    return (w >> c) | (w << (64 - c));
}

// The BlaMka step: an addition hardened by twice the product of the low halves.
inline uint64_t fblamka(uint64_t a, uint64_t b) {
    const uint64_t lo_a = a & 0xffffffffULL;
    const uint64_t lo_b = b & 0xffffffffULL;
    return a + b + 2 * lo_a * lo_b;
}

inline void GB(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d) {
    a = fblamka(a, b);
    d = rotr64(d ^ a, 32);
    c = fblamka(c, d);
    b = rotr64(b ^ c, 24);
    a = fblamka(a, b);
    d = rotr64(d ^ a, 16);
    c = fblamka(c, d);
    b = rotr64(b ^ c, 63);
}

inline void permute(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3, uint64_t& v4,
                    uint64_t& v5, uint64_t& v6, uint64_t& v7, uint64_t& v8, uint64_t& v9,
                    uint64_t& v10, uint64_t& v11, uint64_t& v12, uint64_t& v13, uint64_t& v14,
                    uint64_t& v15) {
    GB(v0, v4, v8, v12);
    GB(v1, v5, v9, v13);
    GB(v2, v6, v10, v14);
    GB(v3, v7, v11, v15);
    GB(v0, v5, v10, v15);
    GB(v1, v6, v11, v12);
    GB(v2, v7, v8, v13);
    GB(v3, v4, v9, v14);
}

inline void store32_le(uint8_t* p, uint32_t w) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(w >> (8 * i));
}

inline void store64_le(uint8_t* p, uint64_t w) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(w >> (8 * i));
}

inline uint64_t load64_le(const uint8_t* p) {
    uint64_t w = 0;
    for (int i = 7; i >= 0; --i)
        w = (w << 8) | p[i];
    return w;
}

void block_from_bytes(Block& b, const uint8_t* bytes) {
    for (size_t i = 0; i < kBlockWords; ++i)
        b.v[i] = load64_le(bytes + 8 * i);
}

void block_to_bytes(uint8_t* bytes, const Block& b) {
    for (size_t i = 0; i < kBlockWords; ++i)
        store64_le(bytes + 8 * i, b.v[i]);
}

// H0 over the fixed parameters, the header||nonce password and the salt.
void prehash(uint8_t* h0, const uint8_t* header, uint64_t nonce) {
    uint8_t in[176];
    uint8_t* p = in;
    auto put32 = [&p](uint32_t w) {
        store32_le(p, w);
        p += 4;
    };
    put32(kLanes);
    put32(static_cast<uint32_t>(kHashBytes));
    put32(static_cast<uint32_t>(kArenaBlocks));  // memory in KiB
    put32(kPasses);
    put32(kVersion);
    put32(kType);
    put32(static_cast<uint32_t>(kPasswordBytes));
    std::memcpy(p, header, kHeaderBytes);
    p += kHeaderBytes;
    store64_le(p, nonce);
    p += 8;
    put32(static_cast<uint32_t>(kPowSaltBytes));
    std::memcpy(p, kPowSalt, kPowSaltBytes);
    p += kPowSaltBytes;
    put32(0);  // secret
    put32(0);  // associated data

    Blake2bState s;
    blake2b_init(s, kPrehashBytes);
    blake2b_update(s, in, sizeof(in));
    blake2b_final(s, h0);
}

// B[index] = H'(1024, H0 || LE32(index) || LE32(lane 0)).
void first_block(Block& out, const uint8_t* h0, uint32_t index) {
    uint8_t in[kPrehashBytes + 8];
    std::memcpy(in, h0, kPrehashBytes);
    store32_le(in + kPrehashBytes, index);
    store32_le(in + kPrehashBytes + 4, 0);
    uint8_t bytes[kBlockBytes];
    blake2b_long(bytes, static_cast<uint32_t>(kBlockBytes), in, sizeof(in));
    block_from_bytes(out, bytes);
}

}  // namespace

void blamka_permute(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3, uint64_t& v4,
                    uint64_t& v5, uint64_t& v6, uint64_t& v7, uint64_t& v8, uint64_t& v9,
                    uint64_t& v10, uint64_t& v11, uint64_t& v12, uint64_t& v13, uint64_t& v14,
                    uint64_t& v15) {
    permute(v0, v1, v2, v3, v4, v5, v6, v7, v8, v9, v10, v11, v12, v13, v14, v15);
}

void fill_block(Block& out, const Block& x, const Block& y) {
    uint64_t r[kBlockWords];
    for (size_t i = 0; i < kBlockWords; ++i)
        r[i] = x.v[i] ^ y.v[i];

    for (size_t k = 0; k < 8; ++k) {
        uint64_t* w = r + 16 * k;
        permute(w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11], w[12],
                w[13], w[14], w[15]);
    }
    for (size_t k = 0; k < 8; ++k) {
        uint64_t* w = r + 2 * k;
        permute(w[0], w[1], w[16], w[17], w[32], w[33], w[48], w[49], w[64], w[65], w[80], w[81],
                w[96], w[97], w[112], w[113]);
    }

    // Each word of x and y is read before that word of out is written, so out may alias them.
    for (size_t i = 0; i < kBlockWords; ++i)
        out.v[i] = r[i] ^ x.v[i] ^ y.v[i];
}

void address_block(Block& out, uint32_t slice, uint32_t counter) {
    Block input;
    std::memset(&input, 0, sizeof(input));
    input.v[0] = 0;  // pass
    input.v[1] = 0;  // lane
    input.v[2] = slice;
    input.v[3] = kArenaBlocks;
    input.v[4] = kPasses;
    input.v[5] = kType;
    input.v[6] = counter;

    Block zero;
    std::memset(&zero, 0, sizeof(zero));
    fill_block(out, zero, input);
    fill_block(out, zero, out);
}

uint32_t reference_index(uint32_t j1, uint32_t c) {
    const uint64_t x = (static_cast<uint64_t>(j1) * j1) >> 32;
    const uint64_t y = (static_cast<uint64_t>(c - 1) * x) >> 32;
    return static_cast<uint32_t>((c - 2) - y);
}

int argon2id_pow_hash(BlockArena& arena, const uint8_t* header, uint64_t nonce, uint8_t* out) {
    // Shrinking keeps the storage, so a reused arena allocates only on its first call.
    arena.resize(kArenaBlocks);
    Block* B = arena.data();

    uint8_t h0[kPrehashBytes];
    prehash(h0, header, nonce);
    first_block(B[0], h0, 0);
    first_block(B[1], h0, 1);

    Block address;
    for (uint32_t s = 0; s < kSlices; ++s) {
        const bool independent = s < 2;
        for (uint32_t i = s == 0 ? 2 : 0; i < kSliceBlocks; ++i) {
            const uint32_t c = s * kSliceBlocks + i;
            uint32_t j1;
            if (independent) {
                // Slice 0 starts at index 2 and still needs its first address block there.
                if (i % kBlockWords == 0 || c == 2) {
                    address_block(address, s, i / kBlockWords + 1);
                }
                j1 = static_cast<uint32_t>(address.v[i % kBlockWords]);
            } else {
                j1 = static_cast<uint32_t>(B[c - 1].v[0]);
            }
            fill_block(B[c], B[c - 1], B[reference_index(j1, c)]);
        }
    }

    uint8_t last[kBlockBytes];
    block_to_bytes(last, B[kArenaBlocks - 1]);
    blake2b_long(out, static_cast<uint32_t>(kHashBytes), last, sizeof(last));
    return 1;
}

}  // namespace tovren::qel
