// The search kernel on the simulator beside the CPU hash: time per hash of a list launch
// (one hash, its latency), of range launches (several blocks at once) and of the CPU
// reference. The simulated hash should stay within 10 times the CPU hash, so that
// everything that runs the kernel in tests stays quick.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "gpu/gpu_context.h"
#include "pow/argon2id.h"

namespace {

using tovren::qel::BlockArena;
using tovren::qel::DHit;
using tovren::qel::GpuContext;

std::vector<uint8_t> bench_header() {
    std::vector<uint8_t> h(tovren::qel::kHeaderBytes);
    for (size_t i = 0; i < h.size(); ++i)
        h[i] = static_cast<uint8_t>(i * 29 + 3);
    return h;
}

void per_hash(benchmark::State& state, double hashes) {
    // Seconds per hash (printed with an SI prefix: 12.3m is 12.3 ms).
    state.counters["s_per_hash"] =
        benchmark::Counter(hashes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(static_cast<int64_t>(hashes));
}

void BM_CpuHash(benchmark::State& state) {
    BlockArena arena;
    const auto header = bench_header();
    uint8_t out[32];
    uint64_t nonce = 0;
    for (auto _ : state) {
        tovren::qel::argon2id_pow_hash(arena, header.data(), nonce++, out);
        benchmark::DoNotOptimize(out);
    }
    per_hash(state, static_cast<double>(state.iterations()));
}

void BM_SimList(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    GpuContext ctx;
    std::string err;
    if (!ctx.init(0, n, err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    const std::vector<std::vector<uint8_t>> headers(n, bench_header());
    std::vector<uint64_t> nonces(n);
    std::vector<std::vector<uint8_t>> out;
    for (auto _ : state) {
        if (!ctx.hash_list(headers, nonces, out, err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        for (auto& x : nonces)
            x += n;
    }
    per_hash(state, static_cast<double>(state.iterations()) * n);
}

void BM_SimRange(benchmark::State& state) {
    const int blocks = static_cast<int>(state.range(0));
    const int iters = static_cast<int>(state.range(1));
    GpuContext ctx;
    std::string err;
    const auto header = bench_header();
    const std::vector<uint8_t> target(32, 0);
    if (!ctx.init(0, blocks, err) || !ctx.set_job(header.data(), target.data(), err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    std::vector<DHit> hits;
    uint64_t nonce = 0;
    for (auto _ : state) {
        if (!ctx.run_range(blocks, iters, nonce, hits, nullptr, err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        nonce += static_cast<uint64_t>(blocks) * iters;
    }
    per_hash(state, static_cast<double>(state.iterations()) * blocks * iters);
}

BENCHMARK(BM_CpuHash)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SimList)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SimRange)->Args({1, 2})->Args({4, 2})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
