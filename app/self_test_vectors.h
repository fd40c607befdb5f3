// The four known-answer vectors that every GPU and the CPU must reproduce before mining.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovren::qel {

struct SelfTestVector {
    const char* header_hex;  // 224 lower-case hex digits: the 112-byte header
    uint64_t nonce;
    const char* expected_hex;  // 64 lower-case hex digits: the 32-byte hash
};

constexpr size_t kSelfTestVectorCount = 4;

extern const SelfTestVector self_test_vectors[kSelfTestVectorCount];

}  // namespace tovren::qel
