#include "self_test.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "console.h"
#include "hex.h"
#include "pow/argon2id.h"

namespace tovren::qel {

namespace {

bool decode_header(const char* hex, uint8_t* header) {
    const std::string text(hex);
    return text.size() >= 2 * kHeaderBytes && hex_to_bytes(text, header, kHeaderBytes);
}

bool decode_hash(const char* hex, uint8_t* hash) {
    const std::string text(hex);
    return text.size() >= 2 * kHashBytes && hex_to_bytes(text, hash, kHashBytes);
}

}  // namespace

bool gpu_self_test(GpuContext& ctx, std::string& reason, const SelfTestVector* vectors,
                   size_t count) {
    std::vector<std::vector<uint8_t>> headers;
    std::vector<uint64_t> nonces;
    for (size_t row = 0; row < count; ++row) {
        std::vector<uint8_t> header(kHeaderBytes, 0);
        if (!decode_header(vectors[row].header_hex, header.data())) {
            reason = "bad embedded vector";
            return false;
        }
        headers.push_back(std::move(header));
        nonces.push_back(vectors[row].nonce);
    }

    std::vector<std::vector<uint8_t>> hashes;
    std::string err;
    if (!ctx.hash_list(headers, nonces, hashes, err)) {
        reason = err;
        return false;
    }

    size_t equal = 0;
    for (size_t i = 0; i < hashes.size() && i < count; ++i) {
        uint8_t expected[kHashBytes];
        if (decode_hash(vectors[i].expected_hex, expected) && hashes[i].size() == kHashBytes &&
            std::memcmp(hashes[i].data(), expected, kHashBytes) == 0) {
            ++equal;
        }
    }
    reason = std::to_string(equal) + "/" + std::to_string(hashes.size());
    // A short answer must not pass as "all of what came back was right".
    return hashes.size() == count && equal == count;
}

bool cpu_self_test(std::string& reason, const SelfTestVector* vectors, size_t count) {
    BlockArena arena;
    size_t equal = 0;
    for (size_t row = 0; row < count; ++row) {
        uint8_t header[kHeaderBytes] = {};
        uint8_t expected[kHashBytes];
        if (!decode_header(vectors[row].header_hex, header) ||
            !decode_hash(vectors[row].expected_hex, expected)) {
            reason = "bad embedded vector";
            return false;
        }
        uint8_t hash[kHashBytes];
        argon2id_pow_hash(arena, header, vectors[row].nonce, hash);
        if (std::memcmp(hash, expected, kHashBytes) == 0) {
            ++equal;
        }
    }
    reason = std::to_string(equal) + "/" + std::to_string(count);
    return equal == count;
}

int run_cpu_self_test() {
    std::string reason;
    if (!cpu_self_test(reason)) {
        log_line(color_red, "check",
                 "CPU share check: self-test FAILED (" + reason + "), not mining");
        return 1;
    }
    log_line(
        color_grey, "check",
        "CPU share check self-test " + reason + " OK (every share is checked before it is sent)");
    return 0;
}

}  // namespace tovren::qel
