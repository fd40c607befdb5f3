// CUDA device enumeration and the error text of every failed GPU operation.
#pragma once

#include <cuda_runtime.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tovren::qel {

// One CUDA device as it was at enumeration time.
struct GpuInfo {
    int ordinal = 0;  // CUDA ordinal, not the position in the list
    std::string name;
    std::string pci_bus_id;  // "bb:dd.0", lowercase hex
    int cc_major = 0;
    int cc_minor = 0;
    int sm_count = 0;
    int64_t l2_cache_bytes = 0;
    uint64_t total_mem = 0;
    uint64_t free_mem = 0;  // 0 when the memory query failed
};

// The devices whose properties could be read, by ascending ordinal. err is written only
// when the device count cannot be obtained. Leaves the thread's current device changed.
std::vector<GpuInfo> enumerate_gpus(std::string& err);

// what + ": " + the runtime's text for code.
std::string cuda_error(const char* what, cudaError_t code);

}  // namespace tovren::qel
