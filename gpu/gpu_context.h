// The per-GPU CUDA state of the miner and the only code that launches the search kernel.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/kernel_input.h"

namespace tovren::qel {

// A hit of a range launch: the nonce and its 32-byte hash in output byte order.
struct DHit {
    uint64_t nonce;
    uint8_t hash[32];
};
static_assert(sizeof(DHit) == 40, "the kernel writes DHit as 5 words");

constexpr int kJobSlots = 64;      // Job records per context (the longest hashed list)
constexpr int kHitSlots = 64;      // DHit records stored per range launch
constexpr int kBlockThreads = 32;  // threads per CUDA block, working on one hash
constexpr uint64_t kSliceBytes = uint64_t{1} << 23;  // arena per CUDA block: 8 MiB

// Owns the device memory the kernel works in, one stream and two events. Used by one
// thread at a time; every operation returns only when its GPU work has finished.
class GpuContext {
  public:
    GpuContext() = default;
    ~GpuContext();
    GpuContext(const GpuContext&) = delete;
    GpuContext& operator=(const GpuContext&) = delete;

    // Selects the device and allocates everything; on failure what was made stays owned
    // by the context and goes with its destructor.
    bool init(int device, int slots, std::string& err);
    // Builds the Job from a 112-byte header and a 32-byte big-endian share target and
    // uploads it into the first Job slot, which range launches read.
    bool set_job(const uint8_t* header, const uint8_t* target, std::string& err);
    // Hashes blocks * iters consecutive nonces from start_nonce and appends the (at most
    // 64) stored hits to hits; seconds, when not null, receives the kernel time, and counted
    // the number of hits the kernel found, stored or not. A launch whose time was asked for
    // fails when the time cannot be measured.
    bool run_range(int blocks, int iters, uint64_t start_nonce, std::vector<DHit>& hits,
                   double* seconds, std::string& err, uint32_t* counted = nullptr);
    // Hashes header i with nonce i; out receives one 32-byte hash per entry.
    bool hash_list(const std::vector<std::vector<uint8_t>>& headers,
                   const std::vector<uint64_t>& nonces, std::vector<std::vector<uint8_t>>& out,
                   std::string& err);

    int device = -1;
    int slots = 0;
    uint64_t* arena = nullptr;      // slots * 8 MiB, one slice per CUDA block
    uint16_t* ref_index = nullptr;  // device copy of ref_index_table
    Job* jobs = nullptr;            // kJobSlots records
    DHit* hits = nullptr;           // kHitSlots records
    uint32_t* hit_count = nullptr;
    cudaStream_t stream = nullptr;
    cudaEvent_t ev_start = nullptr;
    cudaEvent_t ev_stop = nullptr;
};

}  // namespace tovren::qel
