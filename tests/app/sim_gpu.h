// Simulated GPUs, ready to mine, for the in-process tests of the workers and the loop.
#pragma once

#include <argon2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/clock.h"
#include "app/gpu_device.h"
#include "cudasim/control.h"
#include "pow/argon2id.h"

namespace tovren::qel::testing {

// n small simulated GPUs with fresh fault rules.
inline void reset_sim_gpus(int n) {
    cudasim::reset();
    cudasim::DeviceList list;
    for (int i = 0; i < n; ++i) {
        cudasim::DeviceSpec model;
        model.name = "Sim " + std::to_string(i);
        model.sm_count = 2;
        model.pci_bus = i + 1;
        list.devices.push_back(model);
    }
    cudasim::set_devices(list);
    cudasim::set_fail_rules({});
    cudasim::set_corrupt_rules({});
}

// A GPU record with an initialised context, as tuning leaves it.
inline std::unique_ptr<GpuDevice> sim_device(int ordinal, int hashes, int iters, int slots = 4) {
    auto dev = std::make_unique<GpuDevice>();
    dev->ordinal = ordinal;
    dev->name = "Sim " + std::to_string(ordinal);
    dev->sm_count = 2;
    dev->ctx = std::make_unique<GpuContext>();
    std::string err;
    EXPECT_TRUE(dev->ctx->init(ordinal, slots, err)) << err;
    dev->hashes = hashes;
    dev->iters = iters;
    return dev;
}

// The Argon2 reference library's hash of a header and nonce, as a pool checks a share.
inline bool reference_hash(const uint8_t* header, uint64_t nonce, uint8_t* out) {
    uint8_t pwd[kHeaderBytes + 8];
    std::copy(header, header + kHeaderBytes, pwd);
    for (size_t i = 0; i < 8; ++i)
        pwd[kHeaderBytes + i] = static_cast<uint8_t>(nonce >> (8 * i));
    return argon2id_hash_raw(1, 8192, 1, pwd, sizeof pwd, kPowSalt, kPowSaltBytes, out,
                             kHashBytes) == ARGON2_OK;
}

// Polls pred until it holds; false after timeout_ms (a hang detector, not a speed limit).
inline bool eventually(const std::function<bool()>& pred, int timeout_ms = 180000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs time `speedup` times faster than the monotonic clock, for every thread alike, and
// can be pushed forward: the loop's hours pass in seconds.
class FastClock final : public Clock {
  public:
    explicit FastClock(int64_t speedup) : speedup_(speedup), origin_(real().now_ns()) {}
    int64_t now_ns() override { return (real().now_ns() - origin_) * speedup_ + jumped_.load(); }
    void sleep_ns(int64_t ns) override { real().sleep_ns(ns / speedup_); }
    void jump_seconds(int64_t s) { jumped_.fetch_add(s * kNanosPerSecond); }

  private:
    static Clock& real() { return monotonic_clock(); }
    const int64_t speedup_;
    const int64_t origin_;
    std::atomic<int64_t> jumped_{0};
};

}  // namespace tovren::qel::testing
