#include "bench_mode.h"

#include <random>
#include <string>
#include <vector>

#include "console.h"
#include "stop_signal.h"

namespace tovren::qel {

std::array<uint8_t, 112> bench_header(int ordinal) {
    std::mt19937_64 rng(static_cast<uint64_t>(ordinal) + kBenchSeedOffset);
    std::array<uint8_t, 112> header{};
    for (uint8_t& byte : header) {
        byte = static_cast<uint8_t>(rng());
    }
    return header;
}

uint64_t bench_start_nonce(int ordinal) {
    return static_cast<uint64_t>(ordinal) << 56;
}

void bench_worker(GpuDevice& dev, std::atomic<int>& stopped_gpus) {
    std::string err;
    const std::array<uint8_t, 112> header = bench_header(dev.ordinal);
    const uint8_t target[32] = {};
    if (!dev.ctx->set_job(header.data(), target, err)) {
        log_line(color_red, "gpu  ", err);
        stopped_gpus.fetch_add(1);
        return;
    }
    const uint64_t count =
        static_cast<uint64_t>(static_cast<int64_t>(dev.hashes) * static_cast<int64_t>(dev.iters));
    uint64_t nonce = bench_start_nonce(dev.ordinal);
    std::vector<DHit> hits;
    while (!stop_requested.load()) {
        if (!dev.ctx->run_range(dev.hashes, dev.iters, nonce, hits, nullptr, err)) {
            log_line(color_red, "gpu  ", "GPU" + std::to_string(dev.ordinal) + ": " + err);
            stopped_gpus.fetch_add(1);
            return;
        }
        nonce += count;
        dev.hash_count.fetch_add(count);
        hits.clear();
    }
}

bool bench_tick(const RateSamples& samples, int bench_seconds) {
    if (samples.ticks == kBenchWindowTick) {
        log_line(color_bold, "bench",
                 "window 20-55 s: " + format_rate(total_rate(samples, kBenchWindowSamples)));
    }
    if (bench_seconds <= static_cast<int32_t>(static_cast<uint32_t>(samples.ticks))) {
        log_line(color_bold, "bench",
                 std::to_string(samples.rings.size()) +
                     " GPU(s): " + format_rate(total_rate(samples, bench_seconds)) + " over " +
                     std::to_string(bench_seconds) + " s");
        return true;
    }
    if (samples.ticks % 10 == 0) {
        log_line(color_grey, "speed", "10s " + format_rate(total_rate(samples, 10)));
    }
    return false;
}

}  // namespace tovren::qel
