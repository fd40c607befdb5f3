// Helpers shared by the pow tests.
#pragma once

#include <argon2.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pow/argon2id.h"

namespace tovren::qel::test {

// The message bytes that gen_vectors.py hashes: byte i is (131 i + 17) mod 256.
inline std::vector<uint8_t> pattern_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 131 + 17);
    return v;
}

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
inline bool libargon2_hash(const uint8_t* header, uint64_t nonce, uint8_t* out) {
    uint8_t pwd[kHeaderBytes + 8];
    for (size_t i = 0; i < kHeaderBytes; ++i)
        pwd[i] = header[i];
    for (size_t i = 0; i < 8; ++i)
        pwd[kHeaderBytes + i] = static_cast<uint8_t>(nonce >> (8 * i));
    return argon2id_hash_raw(1, 8192, 1, pwd, sizeof(pwd), kPowSalt, kPowSaltBytes, out,
                             kHashBytes) == ARGON2_OK;
}

}  // namespace tovren::qel::test
