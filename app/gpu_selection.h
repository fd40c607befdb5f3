// From the enumerated CUDA devices to the application's GPU records: which GPUs, how many
// 8 MiB arena slices each gets, their contexts and their self-tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gpu/gpu_info.h"
#include "gpu_device.h"
#include "options.h"

namespace tovren::qel {

// Free memory left to the display, the driver and other programs.
constexpr uint64_t kMemoryReserve = 768ULL << 20;
constexpr int kArenaSliceShift = 23;  // 8 MiB of arena per hash in flight
constexpr double kDefaultHashesPerSm = 5.0;
constexpr int kMinContextSlots = 4;  // the self-test hashes its four vectors as one list

// The GPU ids that --devices names, in its order and with duplicates, or every GPU when
// the text is empty. An id is a CUDA ordinal and is kept only when the enumeration holds
// a GPU with that ordinal.
std::vector<int> select_device_ids(const std::string& list, const std::vector<GpuInfo>& gpus);

// Whole 8 MiB slices that fit after the reserve stays free.
uint64_t slot_capacity(uint64_t free_mem);

// Hashes in flight to size a context for: --hashes when given (false when it exceeds the
// capacity), else the per-multiprocessor default within the capacity (possibly 0).
bool sizing_hashes(uint64_t free_mem, int sm_count, int hashes_option, int& n);

// Enumerates, selects, sizes, creates the contexts and self-tests every chosen GPU in turn,
// printing each GPU's line; the first failure ends it. Returns the exit code (0: go on).
int open_gpus(const Settings& settings, GpuDeviceList& devices);

}  // namespace tovren::qel
