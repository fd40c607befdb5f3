#include "sample_kernel.h"

namespace cudasim_test {

__global__ void k_shuffle(int op, int arg, int step, int width, unsigned mask, uint64_t* out) {
    const unsigned lane = threadIdx.x;
    if (((mask >> lane) & 1u) == 0)
        return;
    const uint64_t v = lane_value(lane);
    const int a = (arg + static_cast<int>(lane) * step) & 31;
    const unsigned d = static_cast<unsigned>(a);
    out[lane] = op == kIdx   ? __shfl_sync(mask, v, a, width)
                : op == kXor ? __shfl_xor_sync(mask, v, a, width)
                : op == kUp  ? __shfl_up_sync(mask, v, d, width)
                             : __shfl_down_sync(mask, v, d, width);
}

__global__ void k_shuffle_types(int* ints, unsigned* uints, double* doubles, float* floats) {
    const int lane = static_cast<int>(threadIdx.x);
    ints[lane] = __shfl_sync(~0u, -lane, 31 - lane);
    uints[lane] = __shfl_xor_sync(~0u, 0x80000000u | static_cast<unsigned>(lane), 5);
    doubles[lane] = __shfl_down_sync(~0u, lane * 1.5, 1);
    floats[lane] = __shfl_up_sync(~0u, lane * 0.25f, 2, 16);
}

__global__ void k_divergent_shuffles(uint32_t* out) {
    const unsigned lane = threadIdx.x;
    if (lane < 16)
        out[lane] = __shfl_xor_sync(0x0000ffffu, lane * 3, 1);
    else
        out[lane] = __shfl_down_sync(0xffff0000u, lane * 3, 2, 16);
}

__global__ void k_votes(unsigned mask, unsigned* out) {
    const unsigned lane = threadIdx.x;
    if (((mask >> lane) & 1u) == 0)
        return;
    out[3 * lane] = __ballot_sync(mask, lane % 3 == 0);
    out[3 * lane + 1] = __any_sync(mask, lane == 7);
    out[3 * lane + 2] = __all_sync(mask, lane % 2 == 1);
}

__global__ void k_block_votes(int m, unsigned live, int* out) {
    const unsigned t = threadIdx.x;
    if (t >= live)
        return;
    const int vote = (t + 1) % m == 0;
    out[3 * t] = __syncthreads_count(vote);
    out[3 * t + 1] = __syncthreads_and(vote);
    out[3 * t + 2] = __syncthreads_or(vote);
}

__global__ void k_numbering(uint32_t* out) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    uint32_t* slot = out + 4 * (block * blockDim.x * blockDim.y * blockDim.z + thread);
    slot[0] = blockIdx.x | blockIdx.y << 8 | blockIdx.z << 16;
    slot[1] = threadIdx.x | threadIdx.y << 8 | threadIdx.z << 16;
    slot[2] = gridDim.x | gridDim.y << 8 | gridDim.z << 16;
    slot[3] = blockDim.x | blockDim.y << 8 | blockDim.z << 16;
}

__global__ void k_atomics(unsigned* count, unsigned long long* sum, unsigned* maximum,
                          int* signed_sum) {
    const unsigned id = blockIdx.x * blockDim.x + threadIdx.x;
    atomicAdd(count, 1u);
    atomicAdd(sum, static_cast<unsigned long long>(id) << 32);
    atomicMax(maximum, id * 7 % 1000003);
    atomicAdd(signed_sum, static_cast<int>(id % 3) - 1);
}

__global__ void k_args(uint64_t a, int b, const uint16_t* c, uint64_t* out) {
    out[threadIdx.x] = a + static_cast<uint64_t>(b) + (c == nullptr ? 1000 : 0) + threadIdx.x;
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
    const uint32_t own = blockIdx.x << 20;
    for (uint32_t round = 0; t < n && round < 4; ++round) {
        shared[t] = own + t * 1000 + round;
        barrier(kind);
        sum += shared[(t + 97) % n];
        barrier(kind);
    }
    if (kind == kGroupBarrier)
        __syncwarp();
    out[id] = kind == kExits ? sum + __shfl_xor_sync(~0u, sum, 1) : t < n ? sum : shared[t % n];
}

__global__ void k_last_writer(int kind, unsigned rounds, unsigned* out) {
    __shared__ unsigned word;
    for (unsigned round = 0; round < rounds; ++round) {
        word = threadIdx.x;
        barrier(kind);
        if (threadIdx.x == 0)
            out[blockIdx.x * rounds + round] = word;
        barrier(kind);  // the next round's writes wait for the read
    }
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
