// Simulated GPUs, ready to mine, for the in-process tests of tuning, the workers and the loop.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "app/clock.h"
#include "app/gpu_device.h"
#include "cudasim/control.h"

namespace tovren::qel::testing {

// n simulated GPUs with fresh fault rules.
inline void reset_sim_gpus(int n) {
    cudasim::reset();
    cudasim::DeviceList list;
    list.devices.resize(static_cast<size_t>(n));
    cudasim::set_devices(list);
    cudasim::set_fail_rules({});
    cudasim::set_corrupt_rules({});
}

// A GPU record with an initialised context, as tuning leaves it.
inline std::unique_ptr<GpuDevice> sim_device(int ordinal, int hashes, int iters, int slots = 4) {
    auto dev = std::make_unique<GpuDevice>();
    dev->ordinal = ordinal;
    dev->sm_count = 2;
    dev->ctx = std::make_unique<GpuContext>();
    std::string err;
    EXPECT_TRUE(dev->ctx->init(ordinal, slots, err)) << err;
    dev->hashes = hashes;
    dev->iters = iters;
    return dev;
}

// Time stands still until the test moves it, so the loop's hours pass at the test's word;
// every sleep takes 1/speedup of its length and is counted, so a test can wait for a worker
// to have waited.
class TestClock final : public Clock {
  public:
    TestClock(int64_t speedup, int64_t seconds) : speedup_(speedup) { set_seconds(seconds); }
    int64_t now_ns() override { return now_.load(); }
    void sleep_ns(int64_t ns) override {
        monotonic_clock().sleep_ns(ns / speedup_);
        sleeps_.fetch_add(1);
        slept_ns_.fetch_add(ns);
    }
    void set_seconds(int64_t s) { now_.store(s * kNanosPerSecond); }
    uint64_t sleeps() const { return sleeps_.load(); }
    // The time all sleeps asked for, before the speed-up.
    int64_t slept_ns() const { return slept_ns_.load(); }

  private:
    const int64_t speedup_;
    std::atomic<int64_t> now_{0};
    std::atomic<uint64_t> sleeps_{0};
    std::atomic<int64_t> slept_ns_{0};
};

}  // namespace tovren::qel::testing
