// Device memory: allocation with per-device accounting, copies and fills. Copies and fills
// run when issued, on any stream, and check that the device side lies within one
// allocation, which catches a wrong size before it corrupts anything.
#include <algorithm>
#include <cstring>

#include "runtime.h"

using cudasim::detail::AllocationRecord;
using cudasim::detail::Call;
using cudasim::detail::find_allocation;
using cudasim::detail::stream_valid;

namespace {

constexpr uint64_t kGranule = 256;

cudaError_t check_copy(Call& c, void* dst, const void* src, std::size_t count,
                       cudaMemcpyKind kind) {
    if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) {
        return cudaErrorInvalidMemcpyDirection;
    }
    if (count == 0) {
        return cudaSuccess;
    }
    if (dst == nullptr || src == nullptr) {
        return cudaErrorInvalidValue;
    }
    // With cudaMemcpyDefault the pointers tell the direction, as unified addressing tells the
    // real runtime: one that starts inside an allocation is device memory, and must not run
    // past its end either.
    const bool inferred = kind == cudaMemcpyDefault;
    bool dst_device = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice ||
                      (inferred && find_allocation(c.rt, dst, 1) != nullptr);
    bool src_device = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice ||
                      (inferred && find_allocation(c.rt, src, 1) != nullptr);
    if ((dst_device && find_allocation(c.rt, dst, count) == nullptr) ||
        (src_device && find_allocation(c.rt, src, count) == nullptr)) {
        return cudaErrorInvalidValue;
    }
    return cudaSuccess;
}

cudaError_t copy(const char* function, void* dst, const void* src, std::size_t count,
                 cudaMemcpyKind kind, bool async, cudaStream_t stream) {
    Call c(function);
    cudaError_t e = c.checks();
    int stream_device = -1;
    if (e == cudaSuccess && async && !stream_valid(c.rt, stream, &stream_device)) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e == cudaSuccess) {
        e = check_copy(c, dst, src, count, kind);
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    c.lock.unlock();
    if (count != 0) {
        std::memmove(dst, src, count);
    }
    return cudaSuccess;
}

cudaError_t fill(const char* function, void* ptr, int value, std::size_t count, bool async,
                 cudaStream_t stream) {
    Call c(function);
    cudaError_t e = c.checks();
    int stream_device = -1;
    if (e == cudaSuccess && async && !stream_valid(c.rt, stream, &stream_device)) {
        e = cudaErrorInvalidResourceHandle;
    }
    if (e == cudaSuccess && count != 0 &&
        (ptr == nullptr || find_allocation(c.rt, ptr, count) == nullptr)) {
        e = cudaErrorInvalidValue;
    }
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    c.lock.unlock();
    if (count != 0) {
        std::memset(ptr, value & 0xff, count);
    }
    return cudaSuccess;
}

}  // namespace

extern "C" cudaError_t cudaMalloc(void** devPtr, std::size_t size) {
    Call c("cudaMalloc");
    cudaError_t e = c.checks();
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    if (devPtr == nullptr) {
        return Call::result(cudaErrorInvalidValue);
    }
    if (size == 0) {
        *devPtr = nullptr;
        return cudaSuccess;
    }
    cudasim::detail::DeviceState& d = c.rt.devices[c.device];
    const uint64_t available = d.model.free_mem - std::min(d.used, d.model.free_mem);
    if (size > available || (size + kGranule - 1) / kGranule * kGranule > available) {
        return Call::result(cudaErrorMemoryAllocation);
    }
    AllocationRecord record;
    record.device = c.device;
    record.size = size;
    record.charged = (size + kGranule - 1) / kGranule * kGranule;
    if (!cudasim::detail::host_allocate(size, record.backing)) {
        return Call::result(cudaErrorMemoryAllocation);
    }
    d.used += record.charged;
    c.rt.allocations[reinterpret_cast<uintptr_t>(record.backing.ptr)] = record;
    *devPtr = record.backing.ptr;
    return cudaSuccess;
}

extern "C" cudaError_t cudaFree(void* devPtr) {
    Call c("cudaFree");
    cudaError_t e = c.checks();
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    if (devPtr == nullptr) {
        return cudaSuccess;
    }
    auto it = c.rt.allocations.find(reinterpret_cast<uintptr_t>(devPtr));
    if (it == c.rt.allocations.end()) {
        return Call::result(cudaErrorInvalidValue);
    }
    AllocationRecord record = it->second;
    c.rt.allocations.erase(it);
    if (record.device < static_cast<int>(c.rt.devices.size())) {
        uint64_t& used = c.rt.devices[record.device].used;
        used -= std::min(used, record.charged);
    }
    cudasim::detail::host_release(record.backing);
    return cudaSuccess;
}

extern "C" cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count,
                                  cudaMemcpyKind kind) {
    return copy("cudaMemcpy", dst, src, count, kind, false, nullptr);
}

extern "C" cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count,
                                       cudaMemcpyKind kind, cudaStream_t stream) {
    return copy("cudaMemcpyAsync", dst, src, count, kind, true, stream);
}

extern "C" cudaError_t cudaMemset(void* devPtr, int value, std::size_t count) {
    return fill("cudaMemset", devPtr, value, count, false, nullptr);
}

extern "C" cudaError_t cudaMemsetAsync(void* devPtr, int value, std::size_t count,
                                       cudaStream_t stream) {
    return fill("cudaMemsetAsync", devPtr, value, count, true, stream);
}
