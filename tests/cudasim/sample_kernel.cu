#include "sample_kernel.h"

namespace cudasim_test {

__global__ void k_shuffle(int op, int arg, int step, int width, unsigned mask, uint64_t* out) {
    const unsigned lane = threadIdx.x;
    if (((mask >> lane) & 1u) == 0)
        return;
    const uint64_t v = lane_value(lane);
    const int a = (arg + static_cast<int>(lane) * step) & 31;
    out[lane] = op == kIdx ? __shfl_sync(mask, v, a, width) : __shfl_xor_sync(mask, v, a, width);
}

__device__ __forceinline__ void barrier(int kind) {
    kind == kWarpBarrier || kind == kGroupBarrier ? __syncwarp(kind == kWarpBarrier ? ~0u : 0xffu)
                                                  : __syncthreads();
}

// Every round each thread writes its slot, then reads another thread's: only the barriers
// keep the reads after the writes and the next writes after the reads. kGroupBarrier is
// the search kernel's pattern: lanes 0-7 work among themselves while the rest of the warp
// waits for them in a full __syncwarp. The slots are taken as the search kernel takes those
// of its hits.
__global__ void k_exchange(int kind, uint32_t* out, unsigned* count, unsigned* slots) {
    __shared__ uint32_t shared[256];
    const unsigned t = threadIdx.x;
    const unsigned id = blockIdx.x * blockDim.x + t;
    for (unsigned k = 0; count != nullptr && k < kTakes; ++k) {
        const unsigned slot = atomicAdd(count, 1u);
        if (slot < gridDim.x * blockDim.x * kTakes)
            slots[slot] = id;
    }
    const unsigned n = kind == kGroupBarrier ? 8 : kind == kExits ? 40 : blockDim.x;
    if (kind == kExits && t >= n)
        return;
    uint32_t sum = 0;
    for (uint32_t round = 0; t < n && round < 4; ++round) {
        shared[t] = t * 1000 + round;
        barrier(kind);
        sum += shared[(t + 97) % n];
        barrier(kind);
    }
    if (kind == kGroupBarrier)
        __syncwarp();
    out[id] = kind == kExits ? sum + __shfl_xor_sync(~0u, sum, 1) : t < n ? sum : shared[t % n];
}

__global__ void k_fill(uint8_t* a, const uint8_t*, int value) {
    a[threadIdx.x] = static_cast<uint8_t>(value);
}

__global__ void k_fault(int kind) {
    if (kind == kTrap && threadIdx.x == 5)
        __trap();
    if (kind == kDeadlock)
        threadIdx.x < 16 ? __syncthreads() : __syncwarp();
    if (kind == kMaskWithoutCaller)
        (void)__shfl_sync(0xfffffffeu, threadIdx.x, 0);
}

}  // namespace cudasim_test
