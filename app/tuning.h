// Fixes, for every GPU before mining, how many hashes it keeps in flight and how many
// nonces each of them hashes per launch, from timed range launches.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "gpu_device.h"

namespace tovren::qel {

constexpr double kLaunchTargetSeconds = 0.35;
constexpr double kMinIterationSeconds = 0.0001;
constexpr int kMinIters = 8;
constexpr int kMaxIters = 128;
constexpr int kSetItersMeasure = 8;    // iterations of the one launch timed with --hashes
constexpr int kTuneItersMeasure = 32;  // iterations of each launch of a candidate
constexpr uint64_t kWarmUpNonce = uint64_t{1} << 50;
constexpr uint64_t kMeasureNonce = uint64_t{1} << 51;
constexpr uint64_t kTuningSeed = 0x51454C31;  // added to the ordinal
constexpr double kHashesPerSmCandidates[] = {2.5, 3.0, 3.25, 3.5, 3.75, 4.0, 4.5, 5.0};

// Iterations per launch for a launch of about 0.35 s, from the time of one iteration,
// within 8..128.
int iterations_for(double seconds_per_iteration);

// Hashes in flight tried for a GPU, in order: one per multiplier until one exceeds slots.
std::vector<int> tuning_candidates(int sm_count, int slots);

struct TuneChoice {
    int hashes = 0;  // 0 when no candidate was timed
    double rate = 0.0;
    double seconds_per_iteration = 0.0;
};

// The fastest candidate; time_launches(n, seconds) runs a warm-up and a timed launch of n
// hashes in flight and 32 iterations. An equal rate keeps the candidate tried first. False
// when a launch failed.
bool choose_hashes(const std::vector<int>& candidates,
                   const std::function<bool(int n, double& seconds)>& time_launches,
                   TuneChoice& best);

// The synthetic job that tuning times: the same header for a GPU on every start.
std::array<uint8_t, 112> tuning_header(int ordinal);

// Tunes one GPU (hashes_option > 0 sets its hashes in flight) and prints its "tune " line;
// on failure prints the failure line and returns false.
bool tune_gpu(GpuDevice& dev, int hashes_option);

// Every GPU in list order; the exit code: 0, or 1 at the first GPU that fails.
int tune_gpus(GpuDeviceList& devices, int hashes_option);

}  // namespace tovren::qel
