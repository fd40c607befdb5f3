// Times the CPU proof-of-work hash against the Argon2 reference library with the same
// parameters, in the same run, and prints both and their ratio. The hash sits on the share
// path (every GPU hit is re-checked on the CPU), so it must not be the slower of the two.
#include <argon2.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "pow/argon2id.h"

namespace {

// Every operator new of the process is counted, so that the benchmark can show that a
// reused arena makes the hash allocate nothing.
std::atomic<uint64_t> g_allocations{0};
// Allocations made by argon2id_pow_hash after its arena's first use, over every round.
uint64_t g_allocations_after_first_use = 0;

}  // namespace

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using tovren::qel::argon2id_pow_hash;
using tovren::qel::BlockArena;
using tovren::qel::kHashBytes;
using tovren::qel::kHeaderBytes;
using tovren::qel::kPowSalt;
using tovren::qel::kPowSaltBytes;

constexpr const char* kOurs = "argon2id_pow_hash";
constexpr const char* kTheirs = "libargon2_argon2id_hash_raw";

std::vector<uint8_t> bench_header() {
    std::mt19937_64 rng(2024);
    std::vector<uint8_t> h(kHeaderBytes);
    for (uint8_t& b : h)
        b = static_cast<uint8_t>(rng());
    return h;
}

void bm_ours(benchmark::State& state) {
    const std::vector<uint8_t> header = bench_header();
    BlockArena arena;
    uint8_t out[kHashBytes];
    uint64_t nonce = 0;
    argon2id_pow_hash(arena, header.data(), nonce++, out);  // the arena's first use

    const uint64_t before = g_allocations.load();
    for (auto _ : state) {
        argon2id_pow_hash(arena, header.data(), nonce++, out);
        benchmark::DoNotOptimize(out);
    }
    g_allocations_after_first_use += g_allocations.load() - before;
}

void bm_theirs(benchmark::State& state) {
    const std::vector<uint8_t> header = bench_header();
    uint8_t pwd[kHeaderBytes + 8];
    std::copy(header.begin(), header.end(), pwd);
    uint8_t out[kHashBytes];
    uint64_t nonce = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < 8; ++i)
            pwd[kHeaderBytes + i] = static_cast<uint8_t>(nonce >> (8 * i));
        ++nonce;
        if (argon2id_hash_raw(1, 8192, 1, pwd, sizeof(pwd), kPowSalt, kPowSaltBytes, out,
                              kHashBytes) != ARGON2_OK) {
            state.SkipWithError("argon2id_hash_raw failed");
            break;
        }
        benchmark::DoNotOptimize(out);
    }
}

// Keeps every run's time per hash while the console reporter prints as usual.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const std::string name = run.run_name.function_name;
            const double ms = run.GetAdjustedRealTime() * unit_to_ms(run.time_unit);
            if (name == kOurs)
                ours_ms_.push_back(ms);
            if (name == kTheirs)
                theirs_ms_.push_back(ms);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    double ours_ms() const { return median(ours_ms_); }
    double theirs_ms() const { return median(theirs_ms_); }

  private:
    static double unit_to_ms(benchmark::TimeUnit u) {
        switch (u) {
            case benchmark::kNanosecond:
                return 1e-6;
            case benchmark::kMicrosecond:
                return 1e-3;
            case benchmark::kMillisecond:
                return 1.0;
            case benchmark::kSecond:
                return 1e3;
        }
        return 1.0;
    }

    static double median(std::vector<double> v) {
        if (v.empty())
            return 0;
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }

    std::vector<double> ours_ms_;
    std::vector<double> theirs_ms_;
};

}  // namespace

int main(int argc, char** argv) {
    // Alternate the two, and compare medians, so that a change in machine load hits both alike.
    constexpr int kRounds = 5;
    for (int r = 0; r < kRounds; ++r) {
        benchmark::RegisterBenchmark(kOurs, bm_ours)->Unit(benchmark::kMillisecond)->UseRealTime();
        benchmark::RegisterBenchmark(kTheirs, bm_theirs)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    if (reporter.ours_ms() > 0 && reporter.theirs_ms() > 0) {
        std::printf(
            "\nmedian of %d rounds: ours %.3f ms/hash, libargon2 %.3f ms/hash, ratio %.3f "
            "(target <= 1.0)\n",
            kRounds, reporter.ours_ms(), reporter.theirs_ms(),
            reporter.ours_ms() / reporter.theirs_ms());
        std::printf("allocations by argon2id_pow_hash after its arena's first use: %llu\n",
                    static_cast<unsigned long long>(g_allocations_after_first_use));
    }
    return 0;
}
