// Per-GPU one-second samples of the hash counters and the rates averaged over them.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "gpu_device.h"

namespace tovren::qel {

// One more than the longest window that mining reports (15 minutes).
constexpr int kRateRing = 901;

struct RateSamples {
    explicit RateSamples(size_t gpus) : rings(gpus), last_hash_count(gpus, 0) {}

    // One tick: each GPU's hashes since the previous tick into ring slot ticks mod 901.
    void sample(const GpuDeviceList& devices);
    // The same from counter values given in list order.
    void sample(const std::vector<uint64_t>& hash_counts);

    std::vector<std::array<uint64_t, kRateRing>> rings;  // newest at (ticks - 1) mod 901
    std::vector<uint64_t> last_hash_count;               // the counters at the previous tick
    uint64_t ticks = 0;
};

// GPU g's average over its newest min(w, ticks) samples in hashes per tick (H/s); 0.0 before
// the first tick. A negative window takes every sample. A window that reaches back past
// the ring is answered from the whole run when it covers every tick, else from the ring.
double rate_window_average(const RateSamples& samples, int g, int w);

// The sum of rate_window_average over every GPU in list order; 0.0 with no GPU.
double total_rate(const RateSamples& samples, int w);

}  // namespace tovren::qel
