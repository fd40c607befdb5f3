// Blocks: __syncthreads ordering across warps, thread and block numbering, __shared__
// storage that belongs to one block even while blocks run in parallel, and atomics from
// many blocks at once.
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "sim_test.h"

namespace {

class BlockTest : public SimTest {};

// Each round every thread writes its slot, then reads a slot written by another warp.
__global__ void k_barrier_rounds(uint32_t* out) {
    __shared__ uint32_t slots[256];
    const unsigned t = threadIdx.x;
    uint32_t sum = 0;
    for (uint32_t round = 0; round < 5; ++round) {
        slots[t] = t * 1000 + round;
        __syncthreads();
        sum += slots[(t + 97) % 256];
        __syncthreads();
    }
    out[t] = sum;
}

TEST_F(BlockTest, SyncthreadsOrdersSharedMemoryAcrossWarps) {
    DeviceBuffer<uint32_t> out(256);
    ASSERT_EQ(launch(k_barrier_rounds, 1, 256, out.get()), cudaSuccess);
    auto got = out.read();
    for (unsigned t = 0; t < 256; ++t) {
        unsigned n = (t + 97) % 256;
        EXPECT_EQ(got[t], 5 * n * 1000 + 0 + 1 + 2 + 3 + 4) << "thread " << t;
    }
}

__global__ void k_barrier_votes(int* out) {
    const int t = static_cast<int>(threadIdx.x);
    out[t * 3] = __syncthreads_count(t % 5 == 0);
    out[t * 3 + 1] = __syncthreads_and(t < 1000);
    out[t * 3 + 2] = __syncthreads_or(t == 77);
}

TEST_F(BlockTest, SyncthreadsVotes) {
    DeviceBuffer<int> out(100 * 3);
    ASSERT_EQ(launch(k_barrier_votes, 1, 100, out.get()), cudaSuccess);
    auto got = out.read();
    for (int t = 0; t < 100; ++t) {
        EXPECT_EQ(got[t * 3], 20);
        EXPECT_EQ(got[t * 3 + 1], 1);
        EXPECT_EQ(got[t * 3 + 2], 1);
    }
}

__global__ void k_numbering(uint32_t* out) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
    uint32_t* slot = out + 4 * (block * threads + thread);
    slot[0] = blockIdx.x | blockIdx.y << 8 | blockIdx.z << 16;
    slot[1] = threadIdx.x | threadIdx.y << 8 | threadIdx.z << 16;
    slot[2] = gridDim.x | gridDim.y << 8 | gridDim.z << 16;
    slot[3] = blockDim.x | blockDim.y << 8 | blockDim.z << 16;
}

TEST_F(BlockTest, ThreadsAndBlocksAreNumberedXFirst) {
    const dim3 grid(3, 2, 2);
    const dim3 block(4, 3, 2);
    DeviceBuffer<uint32_t> out(12 * 24 * 4);
    ASSERT_EQ(launch(k_numbering, grid, block, out.get()), cudaSuccess);
    auto got = out.read();
    size_t i = 0;
    for (unsigned bz = 0; bz < 2; ++bz) {
        for (unsigned by = 0; by < 2; ++by) {
            for (unsigned bx = 0; bx < 3; ++bx) {
                for (unsigned tz = 0; tz < 2; ++tz) {
                    for (unsigned ty = 0; ty < 3; ++ty) {
                        for (unsigned tx = 0; tx < 4; ++tx, i += 4) {
                            EXPECT_EQ(got[i], bx | by << 8 | bz << 16);
                            EXPECT_EQ(got[i + 1], tx | ty << 8 | tz << 16);
                            EXPECT_EQ(got[i + 2], 3u | 2u << 8 | 2u << 16);
                            EXPECT_EQ(got[i + 3], 4u | 3u << 8 | 2u << 16);
                        }
                    }
                }
            }
        }
    }
}

// Every block fills its shared array with its own number and checks it after barriers
// while other blocks, on other OS threads, do the same; thread 0 dawdles between barriers
// so that blocks overlap in time.
__global__ void k_shared_isolation(uint32_t* bad, uint64_t* os_thread) {
    __shared__ uint32_t tags[64];
    const unsigned t = threadIdx.x;
    uint32_t wrong = 0;
    for (uint32_t round = 0; round < 4; ++round) {
        tags[t] = blockIdx.x * 16 + round;
        __syncthreads();
        if (t == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        for (unsigned i = 0; i < 64; ++i) {
            wrong += tags[i] != blockIdx.x * 16 + round;
        }
        __syncthreads();
    }
    bad[blockIdx.x * 64 + t] = wrong;
    if (t == 0) {
        os_thread[blockIdx.x] = std::hash<std::thread::id>()(std::this_thread::get_id());
    }
}

TEST_F(BlockTest, SharedMemoryBelongsToOneBlockWhileBlocksRunInParallel) {
    cudasim::set_threads(4);
    const unsigned blocks = 48;
    DeviceBuffer<uint32_t> bad(blocks * 64);
    DeviceBuffer<uint64_t> os_thread(blocks);
    ASSERT_EQ(launch(k_shared_isolation, blocks, 64, bad.get(), os_thread.get()), cudaSuccess);
    for (uint32_t wrong : bad.read()) {
        ASSERT_EQ(wrong, 0u);
    }
    auto ids = os_thread.read();
    EXPECT_GE(std::set<uint64_t>(ids.begin(), ids.end()).size(), 2u)
        << "the blocks did not run in parallel";
}

__global__ void k_atomics(unsigned* count, unsigned long long* sum, unsigned* maximum,
                          int* signed_sum) {
    const unsigned id = blockIdx.x * blockDim.x + threadIdx.x;
    atomicAdd(count, 1u);
    atomicAdd(sum, static_cast<unsigned long long>(id) << 32);
    atomicMax(maximum, id * 7 % 1000003);
    atomicAdd(signed_sum, static_cast<int>(id % 3) - 1);
}

TEST_F(BlockTest, AtomicsFromManyBlocksLoseNothing) {
    cudasim::set_threads(4);
    const unsigned blocks = 500;
    const unsigned threads = 64;
    DeviceBuffer<unsigned> count(1);
    DeviceBuffer<unsigned long long> sum(1);
    DeviceBuffer<unsigned> maximum(1);
    DeviceBuffer<int> signed_sum(1);
    for (void* p : {static_cast<void*>(count.get()), static_cast<void*>(sum.get()),
                    static_cast<void*>(maximum.get()), static_cast<void*>(signed_sum.get())}) {
        ASSERT_EQ(cudaMemset(p, 0, 4), cudaSuccess);
    }
    ASSERT_EQ(cudaMemset(sum.get(), 0, 8), cudaSuccess);
    ASSERT_EQ(
        launch(k_atomics, blocks, threads, count.get(), sum.get(), maximum.get(), signed_sum.get()),
        cudaSuccess);
    const unsigned n = blocks * threads;
    unsigned long long expected_sum = 0;
    unsigned expected_max = 0;
    int expected_signed = 0;
    for (unsigned id = 0; id < n; ++id) {
        expected_sum += static_cast<unsigned long long>(id) << 32;
        expected_max = std::max(expected_max, id * 7 % 1000003);
        expected_signed += static_cast<int>(id % 3) - 1;
    }
    EXPECT_EQ(count.read()[0], n);
    EXPECT_EQ(sum.read()[0], expected_sum);
    EXPECT_EQ(maximum.read()[0], expected_max);
    EXPECT_EQ(signed_sum.read()[0], expected_signed);
}

__global__ void k_args(uint64_t a, int b, const uint16_t* c, uint64_t* out) {
    out[threadIdx.x] = a + static_cast<uint64_t>(b) + (c == nullptr ? 1000 : 0) + threadIdx.x;
}

TEST_F(BlockTest, ArgumentsAreCopiedAtLaunch) {
    DeviceBuffer<uint64_t> out(32);
    uint64_t a = 1ull << 40;
    int b = 7;
    const uint16_t* c = nullptr;
    uint64_t* o = out.get();
    void* args[] = {&a, &b, &c, &o};
    ASSERT_EQ(cudaLaunchKernel(k_args, dim3(1), dim3(32), args, 0, nullptr), cudaSuccess);
    auto got = out.read();
    for (unsigned t = 0; t < 32; ++t) {
        EXPECT_EQ(got[t], (1ull << 40) + 7 + 1000 + t);
    }
}

}  // namespace
