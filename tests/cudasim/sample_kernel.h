// The kernels that the simulator's tests run. They are plain CUDA: the real build compiles
// them with nvcc as well, so what the tests prove holds for code that also builds for a GPU.
#ifndef TESTS_CUDASIM_SAMPLE_KERNEL_H
#define TESTS_CUDASIM_SAMPLE_KERNEL_H

#include <cuda_runtime.h>

#include <cstdint>

namespace cudasim_test {

enum ShuffleOp { kIdx, kXor, kUp, kDown };
enum Exchange { kBlockBarrier, kWarpBarrier, kGroupBarrier, kExits };
enum Fault { kNone, kTrap, kDeadlock, kMaskWithoutCaller };
constexpr unsigned kTakes = 16;

// What lane l offers to a shuffle: every byte tells the lane.
__host__ __device__ inline uint64_t lane_value(unsigned l) {
    return (l + 1) * 0x100000001ull + (uint64_t{l} << 56);
}

// The lanes of mask shuffle lane_value as op says (index, xor, up or down), with argument
// (arg + lane * step) % 32 and width; the others leave out[lane] alone.
__global__ void k_shuffle(int op, int arg, int step, int width, unsigned mask, uint64_t* out);
// Each lane shuffles -lane by index from lane 31 - lane, 0x80000000 | lane by xor 5,
// lane * 1.5 down by 1 and lane * 0.25f up by 2 within 16 lanes.
__global__ void k_shuffle_types(int* ints, unsigned* uints, double* doubles, float* floats);
// Lanes 0-15 shuffle lane * 3 by xor 1 among themselves while lanes 16-31 shuffle it down by
// 2 within 16 lanes.
__global__ void k_divergent_shuffles(uint32_t* out);
// The lanes of mask vote: out[3 * lane] the ballot of lane % 3 == 0, then __any_sync of
// lane == 7, then __all_sync of an odd lane.
__global__ void k_votes(unsigned mask, unsigned* out);
// Threads from live on exit at once; the others vote on (t + 1) % m == 0 at three block
// barriers: out[3 * t] __syncthreads_count, then _and, then _or.
__global__ void k_block_votes(int m, unsigned live, int* out);
// Four words per thread, in the order of its global number (x first): blockIdx, threadIdx,
// gridDim and blockDim, x | y << 8 | z << 16.
__global__ void k_numbering(uint32_t* out);
// Every thread adds 1 to count, its global number id << 32 to sum, -1, 0 or 1 (id % 3 - 1)
// to signed_sum, and takes the max of id * 7 % 1000003 into maximum.
__global__ void k_atomics(unsigned* count, unsigned long long* sum, unsigned* maximum,
                          int* signed_sum);
// out[t] = a + b + t, plus 1000 when c is null.
__global__ void k_args(uint64_t a, int b, const uint16_t* c, uint64_t* out);
// The threads of each block exchange values through shared memory, ordered by the barrier
// that kind names, into out; the values carry the block's number, so a block that saw
// another's shared memory writes a wrong sum; with count, each then takes kTakes slots with
// atomicAdd.
__global__ void k_exchange(int kind, uint32_t* out, unsigned* count, unsigned* slots);
// A barrier lost on purpose: every round each thread writes its number into one shared word
// with nothing to order the writes, then after a barrier of the given kind (kWarpBarrier or
// kBlockBarrier) thread 0 puts the word, the number of the thread that wrote last, in
// out[blockIdx.x * rounds + round].
__global__ void k_last_writer(int kind, unsigned rounds, unsigned* out);
// Writes value to a[threadIdx.x].
__global__ void k_fill(uint8_t* a, const uint8_t* unused, int value);
// Breaks a rule of the programming model as kind says (kNone: does nothing).
__global__ void k_fault(int kind);

}  // namespace cudasim_test

#endif
