// cudaLaunchKernel: the real runtime's checks of the launch, the grid run on the block pool,
// then the corruption rules. A kernel that faults (a trap, or threads that can never all
// finish) leaves its device with a sticky "unspecified launch failure", as on the hardware.
#include <cstdio>

#include "block_pool.h"
#include "runtime.h"

namespace cudasim {
namespace detail {

namespace {

constexpr std::size_t kMaxSharedBytes = 48 * 1024;

bool configuration_valid(dim3 grid, dim3 block) {
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0) {
        return false;
    }
    if (grid.x > 0x7fffffffu || grid.y > 65535 || grid.z > 65535) {
        return false;
    }
    if (block.x > 1024 || block.y > 1024 || block.z > 64) {
        return false;
    }
    return uint64_t{block.x} * block.y * block.z <= 1024;
}

void corrupt(Runtime& rt, const KernelLaunch& kernel, int device) {
    for (const CorruptRule& rule : rt.corrupt_rules) {
        if ((rule.device >= 0 && rule.device != device) || rule.param >= kernel.arg_count) {
            continue;
        }
        void* p = kernel.pointer_args[rule.param];
        if (p == nullptr) {
            continue;
        }
        unsigned char* byte = static_cast<unsigned char*>(p) + rule.offset;
        if (find_allocation(rt, byte, 1) != nullptr) {
            *byte ^= 0xff;
        }
    }
}

}  // namespace

int launch(const KernelLaunch& kernel, dim3 grid, dim3 block, std::size_t shared_bytes,
           void* stream_handle) {
    cudaStream_t stream = static_cast<cudaStream_t>(stream_handle);
    Call c("cudaLaunchKernel");
    cudaError_t e = c.checks();
    int stream_device = -1;
    if (e == cudaSuccess && kernel.kernel == nullptr) {
        e = cudaErrorInvalidDeviceFunction;
    }
    if (e == cudaSuccess && !configuration_valid(grid, block)) {
        e = cudaErrorInvalidConfiguration;
    }
    if (e == cudaSuccess && (shared_bytes > kMaxSharedBytes || !kernel.arguments_present)) {
        e = cudaErrorInvalidValue;
    }
    if (e == cudaSuccess && (!stream_valid(c.rt, stream, &stream_device) ||
                             (stream_device >= 0 && stream_device != c.device))) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    ++c.rt.launches;
    const int device = c.device;
    const LaneOrder order = c.rt.order;
    c.lock.unlock();

    std::string fault;
    bool ok = BlockPool::instance().run_grid(kernel, grid, block, order, fault);

    c.lock.lock();
    if (!ok) {
        std::fprintf(stderr, "cudasim: kernel fault on device %d: %s\n", device, fault.c_str());
        if (device < static_cast<int>(c.rt.devices.size())) {
            c.rt.devices[device].sticky = cudaErrorLaunchFailure;
        }
        return cudaSuccess;
    }
    corrupt(c.rt, kernel, device);
    return cudaSuccess;
}

}  // namespace detail
}  // namespace cudasim
