// The device side of the simulator as kernels rely on it: shuffles, votes, barriers, thread
// numbering, launch arguments, and shared memory per block and atomics while blocks run in
// parallel.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "sample_kernel.h"
#include "sim_test.h"

namespace cudasim_test {
namespace {

using Device = SimTest;

// The lane a shuffle reads, as the programming guide words it: a segment of width lanes for
// an index, up and down (which read their own lane past its ends); for xor, earlier segments
// but no later one.
unsigned source_lane(int op, unsigned lane, unsigned a, unsigned w) {
    switch (op) {
        case kIdx:
            return lane / w * w + a % w;
        case kUp:
            return lane % w >= a ? lane - a : lane;
        case kDown:
            return lane % w + a < w ? lane + a : lane;
        default:
            return (lane ^ a) / w > lane / w ? lane : lane ^ a;
    }
}

TEST_F(Device, ShufflesReadTheLaneTheProgrammingGuideNames) {
    uint64_t* out = device_array<uint64_t>(32, 0);
    for (int op : {kIdx, kXor, kUp, kDown})
        for (int width : {1, 2, 4, 8, 16, 32})
            for (int arg : {0, 1, 3, 5, 16, 31})
                for (int step : {0, 7})  // 7: every lane asks for a different lane
                    for (unsigned mask : {~0u, 0x0000ffffu, 0xaaaaaaaau, 0x00f0f00fu, 1u << 31}) {
                        ASSERT_EQ(cudaMemset(out, 0xff, 32 * sizeof(uint64_t)), cudaSuccess);
                        ASSERT_EQ(
                            launch(nullptr, k_shuffle, 1, 32, op, arg, step, width, mask, out),
                            cudaSuccess);
                        const std::vector<uint64_t> got = read(out, 32);
                        std::vector<uint64_t> want(32, ~0ull);
                        for (unsigned lane = 0; lane < 32; ++lane) {
                            const unsigned src =
                                source_lane(op, lane, (arg + lane * step) & 31, width);
                            if ((mask >> lane) & 1u)  // a source outside the mask is undefined
                                want[lane] = (mask >> src) & 1u ? lane_value(src) : got[lane];
                        }
                        ASSERT_EQ(got, want) << "op " << op << " width " << width << " arg " << arg
                                             << " step " << step << " mask " << mask;
                    }
}

// What thread t of block b of k_exchange writes.
uint32_t exchanged(int kind, unsigned b, unsigned t, unsigned threads) {
    const unsigned n = kind == kGroupBarrier ? 8 : kind == kExits ? 40 : threads;
    const auto read = [n, b](unsigned u) { return 4 * (b << 20) + 4000 * ((u + 97) % n) + 6; };
    return kind == kExits ? (t < n ? read(t) + read(t ^ 1) : ~0u)
           : t < n        ? read(t)
                          : (b << 20) + t % n * 1000 + 3;
}

// k_exchange's blocks, each noting the OS thread that ran it.
__global__ void k_blocks(int kind, uint32_t* out, unsigned* count, unsigned* slots, uint64_t* os) {
    k_exchange(kind, out, count, slots);
    os[blockIdx.x] = std::hash<std::thread::id>()(std::this_thread::get_id());
}

// Every exchange runs as a grid of blocks on one OS thread or on four, set either way; each
// block's shared memory must stay its own while the others run.
// kExits: threads 40 to 63 exit at once; __syncthreads and a full-mask shuffle go on without
// them.
TEST_F(Device, BarriersSharedMemoryAndAtomicsHoldWhileBlocksRunInParallel) {
    const unsigned blocks = 200;
    for (const auto& [setting, api] :
         {std::pair{"1", false}, std::pair{"4", false}, std::pair{"4", true}}) {
        apply({nullptr, nullptr, nullptr, setting}, api);
        ASSERT_EQ(cudasim::threads(), std::stoul(setting));
        std::set<uint64_t> used;
        for (auto [kind, threads] : {std::pair{kBlockBarrier, 256u}, std::pair{kWarpBarrier, 32u},
                                     std::pair{kGroupBarrier, 32u}, std::pair{kExits, 64u}}) {
            const unsigned n = blocks * threads;
            uint32_t* out = device_array<uint32_t>(n, 0xff);
            unsigned* count = device_array<unsigned>(1, 0);
            unsigned* slots = device_array<unsigned>(n * kTakes, 0xff);
            uint64_t* os = device_array<uint64_t>(blocks, 0);
            ASSERT_EQ(launch(nullptr, k_blocks, blocks, threads, kind, out, count, slots, os),
                      cudaSuccess);
            const std::vector<uint32_t> got = read(out, n);
            std::vector<unsigned> taken = read(slots, n * kTakes);
            std::sort(taken.begin(), taken.end());
            for (unsigned i = 0; i < n * kTakes; ++i) {
                ASSERT_EQ(taken[i], i / kTakes) << "a slot taken twice or never";
                ASSERT_EQ(got[i % n], exchanged(kind, i % n / threads, i % threads, threads))
                    << "exchange " << kind << " thread " << i % n;
            }
            EXPECT_EQ(read(count, 1)[0], n * kTakes);
            for (uint64_t id : read(os, blocks))
                used.insert(id);
        }
        EXPECT_TRUE(used.size() <= std::stoul(setting) && (used.size() > 1) == (*setting == '4'))
            << used.size() << " OS threads";
    }
}

TEST_F(Device, ShufflesCarryEveryBitOfTheirType) {
    int* ints = device_array<int>(32, 0);
    unsigned* uints = device_array<unsigned>(32, 0);
    double* doubles = device_array<double>(32, 0);
    float* floats = device_array<float>(32, 0);
    ASSERT_EQ(launch(nullptr, k_shuffle_types, 1, 32, ints, uints, doubles, floats), cudaSuccess);
    const std::vector<int> i = read(ints, 32);
    const std::vector<unsigned> u = read(uints, 32);
    const std::vector<double> d = read(doubles, 32);
    const std::vector<float> f = read(floats, 32);
    for (int lane = 0; lane < 32; ++lane) {
        EXPECT_EQ(i[lane], lane - 31);
        EXPECT_EQ(u[lane], 0x80000000u | static_cast<unsigned>(lane ^ 5));
        EXPECT_EQ(d[lane], (lane == 31 ? 31 : lane + 1) * 1.5);
        EXPECT_EQ(f[lane], (lane % 16 >= 2 ? lane - 2 : lane) * 0.25f);
    }
}

TEST_F(Device, DivergentHalvesOfAWarpShuffleAmongThemselves) {
    uint32_t* out = device_array<uint32_t>(32, 0xff);
    ASSERT_EQ(launch(nullptr, k_divergent_shuffles, 1, 32, out), cudaSuccess);
    const std::vector<uint32_t> got = read(out, 32);
    for (unsigned lane = 0; lane < 32; ++lane)
        EXPECT_EQ(got[lane], 3 * (lane < 16 ? lane ^ 1 : lane % 16 < 14 ? lane + 2 : lane)) << lane;
}

TEST_F(Device, WarpVotesCountOnlyTheLanesOfTheMask) {
    struct Row {
        unsigned mask, ballot, any, all;
    };
    const Row rows[] = {
        {~0u, 0x49249249u, 1, 0},         {0xaaaaaaaau, 0x08208208u, 1, 1},
        {0x000000f0u, 0x00000040u, 1, 0}, {0x00000080u, 0, 1, 1},
        {0x0000ff00u, 0x00009200u, 0, 0},
    };
    unsigned* out = device_array<unsigned>(96, 0);
    for (const Row& r : rows) {
        ASSERT_EQ(cudaMemset(out, 0xff, 96 * sizeof(unsigned)), cudaSuccess);
        ASSERT_EQ(launch(nullptr, k_votes, 1, 32, r.mask, out), cudaSuccess);
        const std::vector<unsigned> got = read(out, 96);
        for (unsigned lane = 0; lane < 32; ++lane) {
            const bool in = (r.mask >> lane) & 1u;
            const std::vector<unsigned> want =
                in ? std::vector<unsigned>{r.ballot, r.any, r.all} : std::vector<unsigned>(3, ~0u);
            EXPECT_EQ(std::vector<unsigned>(got.begin() + 3 * lane, got.begin() + 3 * lane + 3),
                      want)
                << "mask " << std::hex << r.mask << std::dec << " lane " << lane;
        }
    }
}

// Threads that exited take no part in a block barrier's vote.
TEST_F(Device, BlockBarrierVotesCountTheLiveThreads) {
    struct Row {
        unsigned threads;
        int m;
        unsigned live;
        int count, all, any;
    };
    const Row rows[] = {
        {100, 5, 100, 20, 0, 1},  {100, 1, 100, 100, 1, 1},   {100, 200, 100, 0, 0, 0},
        {100, 100, 100, 1, 0, 1}, {1024, 3, 1024, 341, 0, 1}, {64, 8, 40, 5, 0, 1},
    };
    for (const Row& r : rows) {
        int* out = device_array<int>(3 * r.threads, 0xff);
        ASSERT_EQ(launch(nullptr, k_block_votes, 1, r.threads, r.m, r.live, out), cudaSuccess);
        const std::vector<int> got = read(out, 3 * r.threads);
        for (unsigned t = 0; t < r.threads; ++t) {
            const std::vector<int> want =
                t < r.live ? std::vector<int>{r.count, r.all, r.any} : std::vector<int>(3, -1);
            ASSERT_EQ(std::vector<int>(got.begin() + 3 * t, got.begin() + 3 * t + 3), want)
                << r.threads << " threads, m " << r.m << ", " << r.live << " live, thread " << t;
        }
    }
}

TEST_F(Device, ThreadsAndBlocksAreNumberedXFirst) {
    const std::pair<dim3, dim3> rows[] = {
        {dim3(3, 2, 2), dim3(4, 3, 2)},
        {dim3(1, 1, 3), dim3(1, 1, 64)},
        {dim3(2), dim3(32, 32)},
        {dim3(1, 5), dim3(7)},
    };
    for (const auto& [grid, block] : rows) {
        const unsigned n = grid.x * grid.y * grid.z * block.x * block.y * block.z;
        uint32_t* out = device_array<uint32_t>(4 * n, 0xff);
        ASSERT_EQ(launch(nullptr, k_numbering, grid, block, out), cudaSuccess);
        const std::vector<uint32_t> got = read(out, 4 * n);
        const auto packed = [](unsigned x, unsigned y, unsigned z) { return x | y << 8 | z << 16; };
        size_t i = 0;
        for (unsigned bz = 0; bz < grid.z; ++bz)
            for (unsigned by = 0; by < grid.y; ++by)
                for (unsigned bx = 0; bx < grid.x; ++bx)
                    for (unsigned tz = 0; tz < block.z; ++tz)
                        for (unsigned ty = 0; ty < block.y; ++ty)
                            for (unsigned tx = 0; tx < block.x; ++tx, i += 4)
                                ASSERT_EQ(
                                    std::vector<uint32_t>(got.begin() + i, got.begin() + i + 4),
                                    (std::vector<uint32_t>{packed(bx, by, bz), packed(tx, ty, tz),
                                                           packed(grid.x, grid.y, grid.z),
                                                           packed(block.x, block.y, block.z)}))
                                    << "thread " << i / 4;
    }
}

// 500 blocks of 64 threads: ids 0 to 31999.
TEST_F(Device, AtomicsFromManyBlocksLoseNothing) {
    for (const char* threads : {"1", "4"}) {
        apply({nullptr, nullptr, nullptr, threads}, true);
        unsigned* count = device_array<unsigned>(1, 0);
        unsigned long long* sum = device_array<unsigned long long>(1, 0);
        unsigned* maximum = device_array<unsigned>(1, 0);
        int* signed_sum = device_array<int>(1, 0);
        ASSERT_EQ(launch(nullptr, k_atomics, 500, 64, count, sum, maximum, signed_sum),
                  cudaSuccess);
        EXPECT_EQ(read(count, 1)[0], 32000u) << threads;
        EXPECT_EQ(read(sum, 1)[0], 511984000ull << 32) << threads;
        EXPECT_EQ(read(maximum, 1)[0], 223993u) << threads;
        EXPECT_EQ(read(signed_sum, 1)[0], -1) << threads;
    }
}

// A 64-bit value, a negative int and a pointer, null or not, each reach every thread as the
// host passed them.
TEST_F(Device, ArgumentsOfEachKindReachTheKernelAsPassed) {
    struct Row {
        uint64_t a;
        int b;
        bool null;
        uint64_t first;  // out[0]; out[t] is t more
    };
    const Row rows[] = {
        {uint64_t{1} << 40, 7, true, 0x100000003efull},
        {5, -6, false, ~0ull},
        {0, 0, false, 0},
    };
    uint64_t* out = device_array<uint64_t>(32, 0);
    const uint16_t* c = device_array<uint16_t>(1, 0);
    for (const Row& r : rows) {
        ASSERT_EQ(launch(nullptr, k_args, 1, 32, r.a, r.b, r.null ? nullptr : c, out), cudaSuccess);
        const std::vector<uint64_t> got = read(out, 32);
        for (unsigned t = 0; t < 32; ++t)
            ASSERT_EQ(got[t], r.first + t) << r.a << " " << r.b << " thread " << t;
    }
}

// Rounds of waits that every thread takes part in, one __any_sync of its warp or one
// __syncthreads_or of the block each, until *stop is set or after `rounds`.
__global__ void k_rounds(int barrier, const unsigned* stop, unsigned rounds) {
    for (unsigned n = 0; n < rounds; ++n) {
        const int seen = __atomic_load_n(stop, __ATOMIC_RELAXED) != 0;
        if (barrier ? __syncthreads_or(seen) : __any_sync(~0u, seen))
            return;
    }
}

// Every wait resolved is one step, counted whichever OS thread ran its block, by the block's
// end at the latest: fewer than a batch, and batches and a remainder.
TEST_F(Device, StepsCountTheResolvedWaitsOfEveryBlock) {
    const struct {
        const char* threads;
        int barrier;
        unsigned block, blocks, rounds;
    } rows[] = {
        {"1", 0, 32, 1, 0},     {"1", 0, 32, 1, 1},     {"1", 0, 32, 3, 5000},
        {"1", 1, 256, 2, 4097}, {"4", 0, 32, 16, 3000}, {"4", 1, 64, 8, 9000},
    };
    for (const auto& r : rows) {
        apply({nullptr, nullptr, nullptr, r.threads}, true);
        const unsigned* stop = device_array<unsigned>(1, 0);
        const uint64_t before = cudasim::steps();
        ASSERT_EQ(launch(nullptr, k_rounds, r.blocks, r.block, r.barrier, stop, r.rounds),
                  cudaSuccess);
        EXPECT_EQ(cudasim::steps() - before, uint64_t{r.blocks} * r.rounds)
            << r.threads << " threads, " << r.blocks << " blocks of " << r.block;
    }
}

// A launch that runs on shows its steps before it ends: a test can tell it from a hung one.
TEST_F(Device, StepsMoveWhileALaunchRuns) {
    unsigned* stop = device_array<unsigned>(1, 0);
    const uint64_t before = cudasim::steps();
    std::atomic<bool> returned{false};
    std::thread launcher([&] {
        EXPECT_EQ(launch(nullptr, k_rounds, 1, 32, 0, stop, 1u << 20), cudaSuccess);
        returned = true;
    });
    // Steps read while the launch has not yet returned; one that counted only at the end of
    // its block would end by itself after its rounds, unseen.
    bool moved = false;
    while (!moved && !returned.load()) {
        const uint64_t now = cudasim::steps();
        moved = now != before && !returned.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    __atomic_store_n(stop, 1u, __ATOMIC_RELAXED);
    launcher.join();
    EXPECT_TRUE(moved);
}

}  // namespace
}  // namespace cudasim_test
