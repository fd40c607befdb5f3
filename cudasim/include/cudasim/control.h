// In-process control of the simulator for tests: the simulated devices, fault injection,
// the live resources (to prove that nothing leaks), the order in which the threads of a block
// take turns, and a reset between tests. The same settings come from the environment
// (CUDASIM_DEVICES, CUDASIM_FAIL, CUDASIM_CORRUPT, CUDASIM_THREADS, CUDASIM_ORDER), read at the
// first runtime call and again by reset(); cudasim/README.md documents their formats.
#ifndef CUDASIM_CONTROL_H
#define CUDASIM_CONTROL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cuda_runtime.h"

namespace cudasim {

struct DeviceSpec {
    std::string name = "cudasim GPU";
    int major = 8;
    int minor = 6;
    int sm_count = 46;
    uint64_t total_mem = uint64_t{8} << 30;
    uint64_t free_mem = (uint64_t{8} << 30) - (uint64_t{512} << 20);
    int l2_bytes = 4 << 20;
    int pci_bus = 1;
    int pci_device = 0;
};

struct DeviceList {
    std::vector<DeviceSpec> devices;
    // With no device: true, cudaGetDeviceCount fails with cudaErrorNoDevice as the real
    // runtime does; false, it reports a count of 0 without an error.
    bool no_device_is_error = true;
};

// The n-th call (counted from 1) of a runtime function fails with `error` and does nothing
// else; with `and_later` every call from the n-th on fails. `device` >= 0 counts only calls
// that concern that device (the ordinal argument of cudaGetDeviceProperties and
// cudaSetDevice, the current device for the others).
struct FailRule {
    std::string function;
    int device = -1;
    uint64_t call = 1;
    bool and_later = false;
    cudaError_t error = cudaErrorUnknown;
};

// After each launch (on `device`, or any device when negative), the byte at `offset` in the
// buffer that kernel parameter `param` points to is inverted, when that parameter is a
// non-null pointer into a live allocation that reaches that far: a faulty GPU.
struct CorruptRule {
    int param = 0;
    uint64_t offset = 0;
    int device = -1;
};

// The order in which the threads of a block that become runnable together (at the start, or
// released together from their waits) take their turns, each running alone to its next wait.
// The hardware schedules the lanes of a warp independently: a race that shows only when a
// higher lane runs ahead is found only with an order other than ascending. Random shuffles
// every release with a generator seeded from `seed` and the block's number, so a run is
// reproducible whichever OS thread runs which block.
struct LaneOrder {
    enum Kind { ascending, descending, random };
    Kind kind = ascending;
    uint64_t seed = 0;  // random only
};

struct Allocation {
    int device;
    const void* ptr;
    std::size_t size;
};

// Parsers of the environment's formats; false with a message in err when malformed.
bool parse_devices(const std::string& text, DeviceList& out, std::string& err);
bool parse_fail_rules(const std::string& text, std::vector<FailRule>& out, std::string& err);
bool parse_corrupt_rules(const std::string& text, std::vector<CorruptRule>& out, std::string& err);
// "ascending", "descending" or "random:<seed>".
bool parse_lane_order(const std::string& text, LaneOrder& out, std::string& err);
// cudaErrorXxx by name (or a decimal code); false when unknown.
bool error_from_name(const std::string& name, cudaError_t& out);

// Frees every allocation, stream and event, clears every device's sticky error and the
// calling thread's last error and current device, and reads the environment again.
void reset();
void set_devices(const DeviceList& devices);
void set_fail_rules(const std::vector<FailRule>& rules);  // restarts the call counts
void set_corrupt_rules(const std::vector<CorruptRule>& rules);
// OS threads that run blocks (the launching thread is one of them). Call it only while no
// kernel runs.
void set_threads(unsigned int threads);
unsigned int threads();
// Launches that start after the call run their blocks in this order. Taking up an order other
// than ascending says so on standard error, with the setting that replays it.
void set_lane_order(const LaneOrder& order);

std::vector<Allocation> live_allocations();
std::size_t live_streams();
std::size_t live_events();
// Kernels launched since the last reset (launches that passed validation).
uint64_t launch_count();
// Waits (barriers, warp operations) resolved in all blocks so far, in batches of a few
// thousand and at each block's end; never reset. It moves while a long kernel runs, so a test
// can tell a slow launch from a hung one.
uint64_t steps();

}  // namespace cudasim

#endif
