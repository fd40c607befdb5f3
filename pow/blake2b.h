// BLAKE2b (unkeyed, digest of 1 to 64 bytes) and Argon2's long-output hash H'.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovren::qel {

struct Blake2bState {
    uint64_t h[8];     // chaining value
    uint64_t t0;       // bytes counted into compressions so far
    uint8_t buf[128];  // block being filled
    uint64_t buflen;   // bytes held in buf, 0..128
    uint64_t outlen;   // digest length, 1..64
};

// F: replaces state.h; the caller has already added the block's bytes to state.t0.
void blake2b_compress(Blake2bState& state, const uint8_t* block, bool last);
void blake2b_init(Blake2bState& state, size_t outlen);
void blake2b_update(Blake2bState& state, const void* data, size_t len);
void blake2b_final(Blake2bState& state, uint8_t* out);

// H': writes exactly outlen bytes.
void blake2b_long(uint8_t* out, uint32_t outlen, const void* in, size_t inlen);

}  // namespace tovren::qel
