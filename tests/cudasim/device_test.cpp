// The device side of the simulator as kernels rely on it: shuffles, barriers, shared memory
// per block and atomics while blocks run in parallel.
#include <algorithm>
#include <set>
#include <thread>

#include "sample_kernel.h"
#include "sim_test.h"

namespace cudasim_test {
namespace {

using Device = SimTest;

// The lane a shuffle reads, as the programming guide words it: a segment of width lanes for
// an index; for xor, earlier segments but no later one.
unsigned source_lane(int op, unsigned lane, unsigned a, unsigned w) {
    return op == kIdx ? lane / w * w + a % w : (lane ^ a) / w > lane / w ? lane : lane ^ a;
}

TEST_F(Device, ShufflesReadTheLaneTheProgrammingGuideNames) {
    uint64_t* out = device_array<uint64_t>(32, 0);
    for (int op : {kIdx, kXor})
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

// What thread t of a block of k_exchange writes.
uint32_t exchanged(int kind, unsigned t, unsigned threads) {
    const unsigned n = kind == kGroupBarrier ? 8 : kind == kExits ? 40 : threads;
    const auto read = [n](unsigned u) { return 4000 * ((u + 97) % n) + 6; };
    return kind == kExits ? (t < n ? read(t) + read(t ^ 1) : ~0u)
           : t < n        ? read(t)
                          : t % n * 1000 + 3;
}

// k_exchange's blocks, each noting the OS thread that ran it.
__global__ void k_blocks(int kind, uint32_t* out, unsigned* count, unsigned* slots, uint64_t* os) {
    k_exchange(kind, out, count, slots);
    os[blockIdx.x] = std::hash<std::thread::id>()(std::this_thread::get_id());
}

// Every exchange runs as a grid of blocks on one OS thread or on four, set either way.
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
                ASSERT_EQ(got[i % n], exchanged(kind, i % threads, threads))
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

}  // namespace
}  // namespace cudasim_test
