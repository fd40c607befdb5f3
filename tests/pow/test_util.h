// Helpers shared by the pow tests.
#pragma once

#include <argon2.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "pow/argon2id.h"

namespace tovren::qel::test {

inline std::string to_hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// The hash as the Argon2 reference library computes it: Argon2id v0x13, t = 1, m = 8192 KiB,
// p = 1, a 32-byte tag, password header || nonce (little-endian), the proof-of-work salt.
inline std::string libargon2_hex(const uint8_t* header, uint64_t nonce) {
    uint8_t pwd[kHeaderBytes + 8];
    for (size_t i = 0; i < sizeof(pwd); ++i)
        pwd[i] =
            i < kHeaderBytes ? header[i] : static_cast<uint8_t>(nonce >> (8 * (i - kHeaderBytes)));
    uint8_t out[kHashBytes];
    if (argon2id_hash_raw(1, 8192, 1, pwd, sizeof(pwd), kPowSalt, kPowSaltBytes, out, kHashBytes) !=
        ARGON2_OK)
        return "libargon2 failed";
    return to_hex(out, kHashBytes);
}

inline std::string pow_hex(BlockArena& arena, const uint8_t* header, uint64_t nonce) {
    uint8_t out[kHashBytes];
    if (argon2id_pow_hash(arena, header, nonce, out) != 1)
        return "result not 1";
    return to_hex(out, kHashBytes);
}

}  // namespace tovren::qel::test
