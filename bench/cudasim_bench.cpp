// What the simulator's warp synchronisation costs: one __syncthreads across 32 threads, one
// 32-lane shuffle and one __syncwarp (target: well under a microsecond each, so that a
// hash of some 8,000 blocks with a few dozen barriers each stays cheap), and a grid shaped
// like a range launch on the pool of threads.
#include <benchmark/benchmark.h>
#include <cuda_runtime.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cudasim/control.h"

namespace {

constexpr int kRounds = 20000;

__global__ void k_barriers(int rounds, uint32_t* out) {
    uint32_t v = threadIdx.x;
    for (int i = 0; i < rounds; ++i) {
        __syncthreads();
        v += static_cast<uint32_t>(i);
    }
    out[threadIdx.x] = v;
}

__global__ void k_shuffles(int rounds, uint32_t* out) {
    uint32_t v = threadIdx.x;
    for (int i = 0; i < rounds; ++i) {
        v += __shfl_xor_sync(0xffffffffu, v, i & 31);
    }
    out[threadIdx.x] = v;
}

__global__ void k_syncwarps(int rounds, uint32_t* out) {
    uint32_t v = threadIdx.x;
    for (int i = 0; i < rounds; ++i) {
        __syncwarp();
        v += static_cast<uint32_t>(i);
    }
    out[threadIdx.x] = v;
}

uint32_t* scratch() {
    static uint32_t* buffer = [] {
        void* p = nullptr;
        if (cudaMalloc(&p, 1024 * sizeof(uint32_t)) != cudaSuccess) {
            std::fprintf(stderr, "cudasim_bench: cudaMalloc failed\n");
            std::exit(1);
        }
        return static_cast<uint32_t*>(p);
    }();
    return buffer;
}

void run(benchmark::State& state, void (*kernel)(int, uint32_t*), dim3 grid, int rounds) {
    uint32_t* out = scratch();
    const unsigned threads = static_cast<unsigned>(state.range(0));
    void* args[] = {&rounds, &out};
    for (auto _ : state) {
        if (cudaLaunchKernel(kernel, grid, dim3(threads), args, 0, nullptr) != cudaSuccess ||
            cudaDeviceSynchronize() != cudaSuccess) {
            state.SkipWithError("launch failed");
            return;
        }
    }
    // Seconds per operation (shown with an SI prefix: "300n" is 300 ns).
    state.counters["per_op"] = benchmark::Counter(
        static_cast<double>(rounds) * grid.x,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Syncthreads(benchmark::State& state) {
    run(state, k_barriers, dim3(1), kRounds);
}
void BM_Shuffle(benchmark::State& state) {
    run(state, k_shuffles, dim3(1), kRounds);
}
void BM_Syncwarp(benchmark::State& state) {
    run(state, k_syncwarps, dim3(1), kRounds);
}

// 8,000 blocks of 32 threads with 25 barriers each, spread over the pool: the per-barrier
// cost of a whole grid with all cores at work.
void BM_GridOfBarriers(benchmark::State& state) {
    run(state, k_barriers, dim3(8000), 25);
}

}  // namespace

BENCHMARK(BM_Syncthreads)->Arg(32)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Shuffle)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Syncwarp)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridOfBarriers)->Arg(32)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
