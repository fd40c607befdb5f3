// The simulator's process-wide state, under one mutex, and the first steps of every
// runtime call: reading the environment once, configuration errors, injected faults and the
// state of the device concerned.
#ifndef CUDASIM_SRC_RUNTIME_H
#define CUDASIM_SRC_RUNTIME_H

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cudasim/control.h"
#include "host_memory.h"

struct CUstream_st {
    int device;
    unsigned int flags;
};

struct CUevent_st {
    int device;
    unsigned int flags;
    bool recorded;
    std::chrono::steady_clock::time_point when;
};

namespace cudasim {
namespace detail {

struct DeviceState {
    DeviceSpec model;
    uint64_t used = 0;
    cudaError_t sticky = cudaSuccess;  // a kernel fault poisons the device until reset()
};

struct AllocationRecord {
    int device;
    std::size_t size;
    uint64_t charged;
    HostBlock backing;
};

struct Runtime {
    std::mutex mu;
    bool loaded = false;  // the environment has been read
    // Malformed settings, one per source; any of them fails every call.
    bool devices_malformed = false;
    bool fail_malformed = false;
    bool corrupt_malformed = false;
    bool threads_malformed = false;
    bool order_malformed = false;

    std::vector<DeviceState> devices;
    bool no_device_is_error = true;
    std::map<uintptr_t, AllocationRecord> allocations;  // by address
    std::set<CUstream_st*> streams;
    std::set<CUevent_st*> events;
    std::vector<FailRule> fail_rules;
    std::vector<uint64_t> fail_counts;
    std::vector<CorruptRule> corrupt_rules;
    LaneOrder order;
    uint64_t launches = 0;
};

Runtime& runtime();
int& current_device();      // of the calling thread
cudaError_t& last_error();  // of the calling thread
bool is_runtime_function(const std::string& name);
// The CUDASIM_ORDER text of an order.
std::string lane_order_text(const LaneOrder& order);

// Reads the environment if it has not been read. Caller holds rt.mu.
void load_environment(Runtime& rt);
// Releases every allocation, stream and event. Caller holds rt.mu.
void release_everything(Runtime& rt);

// One runtime call: takes the lock, reads the environment on first use, then counts the
// call against the fault rules. `device` is the device the call concerns (the current
// one unless the call names another).
class Call {
  public:
    Call(const char* function, int device);
    explicit Call(const char* function) : Call(function, current_device()) {}

    // A configuration error or an injected fault, else cudaSuccess.
    cudaError_t entry_error() const { return entry_error_; }
    // No device, a bad ordinal or the device's sticky error, else cudaSuccess.
    cudaError_t device_error(int device) const;
    // The entry error, else the device error of the call's device.
    cudaError_t checks() const;
    // Records a failure as the thread's last error, as every failing call does.
    static cudaError_t result(cudaError_t error);

    Runtime& rt;
    std::unique_lock<std::mutex> lock;
    const int device;

  private:
    cudaError_t entry_error_ = cudaSuccess;
};

// The allocation that holds [p, p + n), or null. Caller holds rt.mu.
const AllocationRecord* find_allocation(Runtime& rt, const void* p, std::size_t n);
// A valid stream handle: the legacy and per-thread defaults, or one alive. Its device, or
// -1 for the defaults, goes to *device.
bool stream_valid(Runtime& rt, cudaStream_t stream, int* device);

}  // namespace detail
}  // namespace cudasim

#endif
