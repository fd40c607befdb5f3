// Shared helpers of the GPU engine's tests: headers, CPU reference hashes and a clean
// simulator for every test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cudasim/control.h"
#include "pow/argon2id.h"

namespace tovren::qel::test {

using Bytes = std::vector<uint8_t>;

// A header laid out like the embedded self-test vectors: version LE, three 32-byte fields,
// time, 4 zero bytes, compact target.
inline Bytes layout_header(uint32_t version, uint8_t seed, uint32_t time, uint32_t bits) {
    Bytes h(kHeaderBytes, 0);
    for (int i = 0; i < 4; ++i)
        h[i] = static_cast<uint8_t>(version >> (8 * i));
    for (int i = 0; i < 96; ++i)
        h[4 + i] = static_cast<uint8_t>(seed * 37 + i * 11);
    for (int i = 0; i < 4; ++i)
        h[100 + i] = static_cast<uint8_t>(time >> (8 * i));
    for (int i = 0; i < 4; ++i)
        h[108 + i] = static_cast<uint8_t>(bits >> (8 * i));
    return h;
}

inline Bytes random_header(std::mt19937_64& rng) {
    Bytes h(kHeaderBytes);
    for (auto& b : h)
        b = static_cast<uint8_t>(rng());
    return h;
}

inline Bytes cpu_hash(const Bytes& header, uint64_t nonce) {
    static thread_local BlockArena arena;
    Bytes out(kHashBytes);
    argon2id_pow_hash(arena, header.data(), nonce, out.data());
    return out;
}

// The big-endian target whose value equals the little-endian hash.
inline Bytes target_equal_to(const Bytes& hash) {
    return Bytes(hash.rbegin(), hash.rend());
}

// Every test starts from one default simulated device, no fault rules, nothing allocated.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cudasim::reset();
        cudasim::DeviceList list;
        list.devices.push_back(cudasim::DeviceSpec{});
        cudasim::set_devices(list);
        cudasim::set_fail_rules({});
        cudasim::set_corrupt_rules({});
    }
    void TearDown() override { cudasim::reset(); }

    static cudasim::FailRule fail(const std::string& function, uint64_t call, cudaError_t error) {
        cudasim::FailRule r;
        r.function = function;
        r.call = call;
        r.error = error;
        return r;
    }
};

}  // namespace tovren::qel::test
