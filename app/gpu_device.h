// The application's record of one selected GPU: its description, its context and what the
// workers and the main loop share about it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gpu/gpu_context.h"
#include "gpu/gpu_info.h"

namespace tovren::qel {

struct GpuDevice {
    // As enumerated.
    int ordinal = 0;
    std::string name;
    std::string pci_bus_id;
    int cc_major = 0;
    int cc_minor = 0;
    int sm_count = 0;
    int64_t l2_cache_bytes = 0;
    uint64_t total_mem = 0;
    uint64_t free_mem = 0;

    std::unique_ptr<GpuContext> ctx;
    int hashes = 0;                       // hashes in flight per launch, set by tuning
    int iters = 0;                        // nonces per CUDA block per launch, set by tuning
    std::atomic<uint64_t> hash_count{0};  // added to by the worker, sampled by the main loop
    double tuned_rate = 0.0;              // H/s measured by tuning
};

// Owned by main in selection order; workers get plain pointers.
using GpuDeviceList = std::vector<std::unique_ptr<GpuDevice>>;

}  // namespace tovren::qel
