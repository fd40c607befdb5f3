// The kernels that the simulator's tests run. They are plain CUDA: the real build compiles
// them with nvcc as well, so what the tests prove holds for code that also builds for a GPU.
#ifndef TESTS_CUDASIM_SAMPLE_KERNEL_H
#define TESTS_CUDASIM_SAMPLE_KERNEL_H

#include <cuda_runtime.h>

#include <cstdint>

namespace cudasim_test {

enum ShuffleOp { kIdx, kXor };
enum Exchange { kBlockBarrier, kWarpBarrier, kGroupBarrier, kExits };
enum Fault { kNone, kTrap, kDeadlock, kMaskWithoutCaller };
constexpr unsigned kTakes = 16;

// What lane l offers to a shuffle: every byte tells the lane.
__host__ __device__ inline uint64_t lane_value(unsigned l) {
    return (l + 1) * 0x100000001ull + (uint64_t{l} << 56);
}

// The lanes of mask shuffle lane_value, by index or by xor, with argument
// (arg + lane * step) % 32 and width; the others leave out[lane] alone.
__global__ void k_shuffle(int op, int arg, int step, int width, unsigned mask, uint64_t* out);
// The threads of each block exchange values through shared memory, ordered by the barrier
// that kind names, into out; with count, each then takes kTakes slots with atomicAdd.
__global__ void k_exchange(int kind, uint32_t* out, unsigned* count, unsigned* slots);
// Writes value to a[threadIdx.x].
__global__ void k_fill(uint8_t* a, const uint8_t* unused, int value);
// Breaks a rule of the programming model as kind says (kNone: does nothing).
__global__ void k_fault(int kind);

}  // namespace cudasim_test

#endif
