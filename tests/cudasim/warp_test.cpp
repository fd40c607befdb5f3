// Warp collectives: every kind of shuffle with several widths, arguments and masks, votes,
// __syncwarp ordering, divergent groups, exited threads, and the faults that break the rules.
#include <cmath>

#include "sim_test.h"

namespace {

enum Op { kIdx, kUp, kDown, kXor };

uint64_t lane_value(unsigned lane) {
    return (lane + 1) * 0x100000001ull + (uint64_t{lane} << 56);
}
constexpr uint64_t kUntouched = 0xdeadbeefdeadbeefull;

__global__ void k_shuffle(int op, int arg, int width, unsigned mask, uint64_t* out) {
    const unsigned lane = threadIdx.x;
    if (((mask >> lane) & 1u) == 0) {
        return;
    }
    const uint64_t v = lane_value(lane);
    uint64_t r = 0;
    switch (op) {
        case kIdx:
            r = __shfl_sync(mask, v, arg, width);
            break;
        case kUp:
            r = __shfl_up_sync(mask, v, static_cast<unsigned>(arg), width);
            break;
        case kDown:
            r = __shfl_down_sync(mask, v, static_cast<unsigned>(arg), width);
            break;
        default:
            r = __shfl_xor_sync(mask, v, arg, width);
            break;
    }
    out[lane] = r;
}

// The source lane, as the programming guide describes each shuffle.
unsigned expected_source(int op, unsigned lane, int arg, int width) {
    const unsigned w = static_cast<unsigned>(width);
    const unsigned a = static_cast<unsigned>(arg);
    const unsigned segment = lane / w * w;
    switch (op) {
        case kIdx:
            return segment + a % w;
        case kUp:
            return lane % w >= a ? lane - a : lane;
        case kDown:
            return lane % w + a < w ? lane + a : lane;
        default: {
            unsigned src = lane ^ a;
            return src / w > lane / w ? lane : src;  // later segments are out of reach
        }
    }
}

class WarpTest : public SimTest {};

TEST_F(WarpTest, ShufflesOfEveryKindWidthAndMask) {
    DeviceBuffer<uint64_t> out(32);
    const unsigned masks[] = {0xffffffffu, 0x0000ffffu, 0xaaaaaaaau, 0x00f0f00fu, 0x80000000u};
    const int args[] = {0, 1, 3, 5, 7, 16, 31};
    for (int op : {kIdx, kUp, kDown, kXor}) {
        for (int width : {1, 2, 4, 8, 16, 32}) {
            for (int arg : args) {
                if ((op == kUp || op == kDown) && arg >= width && arg != 0) {
                    continue;  // deltas of a width or more are of no use
                }
                for (unsigned mask : masks) {
                    out.write(std::vector<uint64_t>(32, kUntouched));
                    ASSERT_EQ(launch(k_shuffle, 1, 32, op, arg, width, mask, out.get()),
                              cudaSuccess);
                    std::vector<uint64_t> got = out.read();
                    for (unsigned lane = 0; lane < 32; ++lane) {
                        SCOPED_TRACE(::testing::Message() << "op " << op << " width " << width
                                                          << " arg " << arg << " mask " << std::hex
                                                          << mask << std::dec << " lane " << lane);
                        if (((mask >> lane) & 1u) == 0) {
                            EXPECT_EQ(got[lane], kUntouched);
                            continue;
                        }
                        unsigned src = expected_source(op, lane, arg, width);
                        if (((mask >> src) & 1u) == 0) {
                            continue;  // reading a lane outside the mask is undefined
                        }
                        EXPECT_EQ(got[lane], lane_value(src));
                    }
                }
            }
        }
    }
}

__global__ void k_shuffle_types(int* ints, unsigned* uints, double* doubles, float* floats) {
    const int lane = static_cast<int>(threadIdx.x);
    ints[lane] = __shfl_sync(0xffffffffu, -lane, 31 - lane);
    uints[lane] = __shfl_xor_sync(0xffffffffu, 0x80000000u | static_cast<unsigned>(lane), 5);
    doubles[lane] = __shfl_down_sync(0xffffffffu, lane * 1.5, 1);
    floats[lane] = __shfl_up_sync(0xffffffffu, lane * 0.25f, 2, 16);
}

TEST_F(WarpTest, ShufflesKeepEveryBitOfEachType) {
    DeviceBuffer<int> ints(32);
    DeviceBuffer<unsigned> uints(32);
    DeviceBuffer<double> doubles(32);
    DeviceBuffer<float> floats(32);
    ASSERT_EQ(launch(k_shuffle_types, 1, 32, ints.get(), uints.get(), doubles.get(), floats.get()),
              cudaSuccess);
    auto i = ints.read();
    auto u = uints.read();
    auto d = doubles.read();
    auto f = floats.read();
    for (int lane = 0; lane < 32; ++lane) {
        EXPECT_EQ(i[lane], -(31 - lane));
        EXPECT_EQ(u[lane], 0x80000000u | static_cast<unsigned>(lane ^ 5));
        EXPECT_EQ(d[lane], (lane == 31 ? lane : lane + 1) * 1.5);
        EXPECT_EQ(f[lane], (lane % 16 >= 2 ? lane - 2 : lane) * 0.25f);
    }
}

// Two halves of a warp shuffle at the same time in different ways, each among its own lanes.
__global__ void k_divergent_groups(uint32_t* out) {
    const unsigned lane = threadIdx.x;
    if (lane < 16) {
        out[lane] = __shfl_xor_sync(0x0000ffffu, lane * 3, 1);
    } else {
        out[lane] = __shfl_down_sync(0xffff0000u, lane * 3, 2, 16);
    }
}

TEST_F(WarpTest, DivergentHalvesShuffleIndependently) {
    DeviceBuffer<uint32_t> out(32);
    ASSERT_EQ(launch(k_divergent_groups, 1, 32, out.get()), cudaSuccess);
    auto got = out.read();
    for (unsigned lane = 0; lane < 32; ++lane) {
        unsigned src = lane < 16 ? (lane ^ 1) : (lane % 16 + 2 < 16 ? lane + 2 : lane);
        EXPECT_EQ(got[lane], src * 3) << "lane " << lane;
    }
}

__global__ void k_votes(unsigned mask, unsigned* ballots, int* anys, int* alls) {
    const unsigned lane = threadIdx.x;
    if (((mask >> lane) & 1u) == 0) {
        return;
    }
    ballots[lane] = __ballot_sync(mask, lane % 3 == 0);
    anys[lane] = __any_sync(mask, lane == 7);
    alls[lane] = __all_sync(mask, lane % 2 == 1);
}

TEST_F(WarpTest, VotesCountOnlyTheLanesOfTheMask) {
    DeviceBuffer<unsigned> ballots(32);
    DeviceBuffer<int> anys(32);
    DeviceBuffer<int> alls(32);
    for (unsigned mask : {0xffffffffu, 0xaaaaaaaau, 0x000000f0u, 0x00000080u}) {
        ASSERT_EQ(launch(k_votes, 1, 32, mask, ballots.get(), anys.get(), alls.get()), cudaSuccess);
        auto b = ballots.read();
        auto any = anys.read();
        auto all = alls.read();
        unsigned expected_ballot = 0;
        for (unsigned lane = 0; lane < 32; ++lane) {
            if (((mask >> lane) & 1u) != 0 && lane % 3 == 0) {
                expected_ballot |= 1u << lane;
            }
        }
        bool expected_any = ((mask >> 7) & 1u) != 0;
        bool expected_all = (mask & 0x55555555u) == 0;
        for (unsigned lane = 0; lane < 32; ++lane) {
            if (((mask >> lane) & 1u) == 0) {
                continue;
            }
            SCOPED_TRACE(::testing::Message() << "mask " << std::hex << mask << " lane " << lane);
            EXPECT_EQ(b[lane], expected_ballot);
            EXPECT_EQ(any[lane] != 0, expected_any);
            EXPECT_EQ(all[lane] != 0, expected_all);
        }
    }
}

// Each round every lane writes its slot and reads its neighbour's: only the two
// __syncwarp calls keep the reads after the writes and the next writes after the reads.
__global__ void k_syncwarp_rotate(uint32_t* out) {
    __shared__ uint32_t slots[32];
    const unsigned lane = threadIdx.x;
    uint32_t sum = 0;
    for (uint32_t round = 0; round < 4; ++round) {
        slots[lane] = lane * 100 + round;
        __syncwarp();
        sum += slots[(lane + 1) % 32];
        __syncwarp();
    }
    out[lane] = sum;
}

TEST_F(WarpTest, SyncwarpOrdersSharedMemory) {
    DeviceBuffer<uint32_t> out(32);
    ASSERT_EQ(launch(k_syncwarp_rotate, 1, 32, out.get()), cudaSuccess);
    auto got = out.read();
    for (unsigned lane = 0; lane < 32; ++lane) {
        unsigned n = (lane + 1) % 32;
        EXPECT_EQ(got[lane], 4 * n * 100 + 0 + 1 + 2 + 3) << "lane " << lane;
    }
}

// Threads 40 to 63 leave at once; the rest meet at barriers and shuffle among themselves.
__global__ void k_early_exit(uint32_t* out) {
    const unsigned t = threadIdx.x;
    if (t >= 40) {
        return;
    }
    __shared__ uint32_t slots[40];
    slots[t] = t;
    __syncthreads();
    uint32_t v = slots[39 - t];
    __syncthreads();
    const unsigned mask = t < 32 ? 0xffffffffu : 0x000000ffu;
    v += __shfl_xor_sync(mask, v, 1);
    out[t] = v;
}

TEST_F(WarpTest, ExitedThreadsLeaveBarriersAndWarpOperations) {
    DeviceBuffer<uint32_t> out(40);
    ASSERT_EQ(launch(k_early_exit, 1, 64, out.get()), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    auto got = out.read();
    for (unsigned t = 0; t < 40; ++t) {
        EXPECT_EQ(got[t], (39 - t) + (39 - (t ^ 1))) << "thread " << t;
    }
}

__global__ void k_mask_without_caller(uint32_t* out) {
    out[threadIdx.x] = __shfl_sync(0xfffffffeu, threadIdx.x, 0);
}

__global__ void k_deadlock(uint32_t* out) {
    if (threadIdx.x < 16) {
        __syncthreads();
    } else {
        __syncwarp();
    }
    out[threadIdx.x] = 1;
}

__global__ void k_trap(uint32_t* out) {
    if (threadIdx.x == 5) {
        __trap();
    }
    out[threadIdx.x] = 1;
}

TEST_F(WarpTest, BrokenRulesFailTheKernelAndPoisonTheDevice) {
    for (auto* kernel : {k_mask_without_caller, k_deadlock, k_trap}) {
        DeviceBuffer<uint32_t> out(32);
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(launch(kernel, 1, 32, out.get()), cudaSuccess);
        std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find("kernel fault on device 0"), std::string::npos) << message;
        EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
        // Sticky: the error does not go away when read.
        EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
        EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, 16), cudaErrorLaunchFailure);
        cudasim::reset();  // frees out's memory too: its destructor's cudaFree then fails
    }
    // A fresh device runs kernels again.
    DeviceBuffer<uint32_t> out(32);
    EXPECT_EQ(launch(k_syncwarp_rotate, 1, 32, out.get()), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
}

TEST_F(WarpTest, FaultMessagesNameTheCulprit) {
    DeviceBuffer<uint32_t> out(32);
    ::testing::internal::CaptureStderr();
    launch(k_mask_without_caller, 1, 32, out.get());
    std::string mask_message = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(mask_message.find("thread (0,0,0): __shfl_sync with mask 0xfffffffe"),
              std::string::npos)
        << mask_message;
    cudasim::reset();
    DeviceBuffer<uint32_t> out2(32);
    ::testing::internal::CaptureStderr();
    launch(k_deadlock, 1, 32, out2.get());
    std::string deadlock_message = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(deadlock_message.find("deadlocked: 16 of 32 live threads wait at __syncthreads"),
              std::string::npos)
        << deadlock_message;
    cudasim::reset();
}

}  // namespace
