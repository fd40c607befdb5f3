// The share test: the same comparison that the search kernel applies on the GPU.
#pragma once

#include <cstdint>

namespace tovren::qel {

// True when the 32-byte hash, read as a little-endian number (byte 31 most significant), is
// at most the 32-byte target read as a big-endian number (byte 0 most significant).
bool hash_meets_target(const uint8_t* hash, const uint8_t* target);

}  // namespace tovren::qel
