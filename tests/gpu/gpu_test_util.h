// Shared helpers of the GPU engine's tests: random headers, CPU reference hashes, a clean
// simulator for every test and a context on a device that is not the current one.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cudasim/control.h"
#include "gpu/gpu_context.h"
#include "pow/argon2id.h"

namespace tovren::qel::test {

using Bytes = std::vector<uint8_t>;

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

inline int current_device() {
    int d = -1;
    cudaGetDevice(&d);
    return d;
}

// Every test starts from default simulated devices, no fault rules, nothing allocated.
class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { use_devices(1); }
    void TearDown() override { cudasim::reset(); }

    static void use_devices(size_t n) {
        cudasim::reset();
        cudasim::DeviceList list;
        list.devices.resize(n);
        cudasim::set_devices(list);
        cudasim::set_fail_rules({});
        cudasim::set_corrupt_rules({});
    }
    // The n-th call of function (on device, when not negative) fails with error.
    static cudasim::FailRule fail(const std::string& function, uint64_t call, cudaError_t error,
                                  int device = -1) {
        cudasim::FailRule r;
        r.function = function;
        r.call = call;
        r.error = error;
        r.device = device;
        return r;
    }
};

// A context on device 0 of two. Start-up sets up every GPU on the main thread, so the current
// device is usually another GPU's when an operation begins: device 1 is made current before
// every operation and the destructor, and each must select device 0 again.
class ContextTest : public SimTest {
  protected:
    static constexpr size_t kContextAllocations = 5;  // arena, table, jobs, hits, counter
    static constexpr int kDevice = 0;
    static constexpr int kOther = 1;

    void SetUp() override { use_devices(2); }
    void TearDown() override {
        if (ctx) {
            EXPECT_EQ(cudaSetDevice(kOther), cudaSuccess);
            ctx.reset();
            EXPECT_EQ(current_device(), kDevice);
        }
        EXPECT_TRUE(cudasim::live_allocations().empty());
        EXPECT_EQ(cudasim::live_streams(), 0u);
        EXPECT_EQ(cudasim::live_events(), 0u);
        SimTest::TearDown();
    }
    // A new context; every allocation on its device, an 8 MiB arena slice per slot.
    void open(int slots) {
        ctx = std::make_unique<GpuContext>();
        ASSERT_EQ(cudaSetDevice(kOther), cudaSuccess);
        std::string err;
        ASSERT_TRUE(ctx->init(kDevice, slots, err)) << err;
        const auto live = cudasim::live_allocations();
        ASSERT_EQ(live.size(), kContextAllocations);
        for (const auto& a : live) {
            EXPECT_EQ(a.device, kDevice);
            EXPECT_TRUE(a.ptr != ctx->arena || a.size == slots * kSliceBytes) << "arena " << a.size;
        }
        EXPECT_EQ(cudasim::live_streams(), 1u);
        EXPECT_EQ(cudasim::live_events(), 2u);
    }
    void set_job(const Bytes& header, const Bytes& target) {
        ASSERT_EQ(cudaSetDevice(kOther), cudaSuccess);
        std::string err;
        ASSERT_TRUE(ctx->set_job(header.data(), target.data(), err)) << err;
        EXPECT_EQ(current_device(), kDevice);
    }
    // Appends the hits of blocks * iters nonces from start to hits.
    void run_range(int blocks, int iters, uint64_t start, std::vector<DHit>& hits,
                   double* seconds = nullptr, uint32_t* counted = nullptr) {
        ASSERT_EQ(cudaSetDevice(kOther), cudaSuccess);
        std::string err;
        ASSERT_TRUE(ctx->run_range(blocks, iters, start, hits, seconds, err, counted)) << err;
        EXPECT_EQ(current_device(), kDevice);
    }
    std::unique_ptr<GpuContext> ctx;
};

}  // namespace tovren::qel::test
