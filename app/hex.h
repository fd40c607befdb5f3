// Hex text to bytes, as the self-tests and verify mode read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovren::qel {

// Decodes the first 2n characters of hex into out[0..n-1], each pair with sscanf's "%2hhx".
// Returns false at the first pair that converts nothing (the bytes before it are written).
// The caller checks that hex holds at least 2n characters; the rest is ignored.
bool hex_to_bytes(const std::string& hex, uint8_t* out, size_t n);

}  // namespace tovren::qel
