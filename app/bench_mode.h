// Bench mode: every GPU hashes a synthetic job of its own, with no pool, and the one-second
// loop prints the rates at fixed ticks.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "gpu_device.h"
#include "rate_window.h"

namespace tovren::qel {

constexpr uint64_t kBenchSeedOffset = 7;  // added to the ordinal
constexpr uint64_t kBenchWindowTick = 55;
constexpr int kBenchWindowSamples = 35;  // ticks 21 to 55: the start-up seconds left out

// The synthetic header of a GPU's bench job; its target is all zero.
std::array<uint8_t, 112> bench_header(int ordinal);

// Each GPU searches its own part of the nonce space: the ordinal in the top byte.
uint64_t bench_start_nonce(int ordinal);

// The bench worker of one GPU: one upload, then launches until stop_requested or a failure,
// each adding its nonces to the GPU's hash_count. Hits are never looked at.
void bench_worker(GpuDevice& dev, std::atomic<int>& stopped_gpus);

// The bench part of one tick, after sampling: the window line at tick 55, the final line
// when the bench is over (then true: shut down), else the "10s " line every 10 ticks.
bool bench_tick(const RateSamples& samples, int bench_seconds);

}  // namespace tovren::qel
