#include "mining_loop.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench_mode.h"
#include "console.h"
#include "dev_fee.h"
#include "gpu_worker.h"
#include "nonce_allocator.h"
#include "pool/pool.h"
#include "pool_callbacks.h"
#include "rate_window.h"
#include "speed_line.h"
#include "stats_file.h"
#include "stop_signal.h"

namespace tovren::qel {

namespace {

constexpr uint64_t kReportTicks = 10;  // speed line and statistics file

int64_t whole_seconds_since(Clock& clock, int64_t start_ns) {
    return (clock.now_ns() - start_ns) / kNanosPerSecond;
}

void report_speed(const RateSamples& samples, const GpuDeviceList& devices,
                  const std::atomic<uint64_t>& accepted, const std::atomic<uint64_t>& rejected,
                  const std::string& stats_path, Clock& clock, int64_t loop_start) {
    std::vector<int> ordinals;
    for (const auto& dev : devices) {
        ordinals.push_back(dev->ordinal);
    }
    log_line(color_grey, "speed",
             speed_line_message(samples, ordinals, accepted.load(), rejected.load()));
    if (stats_path.empty()) {
        return;
    }
    std::vector<double> gpu_rates;
    for (size_t g = 0; g < devices.size(); ++g) {
        gpu_rates.push_back(rate_window_average(samples, static_cast<int>(g), 60));
    }
    const int64_t uptime = whole_seconds_since(clock, loop_start);
    // A file that cannot be written is tried again at the next report, silently.
    write_stats_file(stats_path, stats_line(total_rate(samples, 60), gpu_rates, accepted.load(),
                                            rejected.load(), static_cast<uint64_t>(uptime)));
}

}  // namespace

int run_mining_loop(const Settings& settings, GpuDeviceList& devices, Clock& clock) {
    const bool bench = settings.bench_seconds != 0;
    Pool::Config config;
    // The option loop has already refused an endpoint whose port is not a port.
    (void)split_endpoint(settings.pool_endpoint, config.host, config.port);
    config.address = settings.address;
    config.worker = settings.worker;
    config.agent = kPoolAgent;
    if (!bench) {
        log_line(color_grey, "pool ", config.host + ":" + std::to_string(config.port));
        log_line(color_grey, "user ", config.address + " \u00b7 worker " + config.worker);
    }

    // The counters outlive the pool whose callbacks write them.
    std::atomic<uint64_t> accepted_shares{0};
    std::atomic<uint64_t> rejected_shares{0};
    Pool pool;
    connect_pool_callbacks(pool, accepted_shares, rejected_shares);
    if (!bench) {
        pool.start(config);
    }

    std::atomic<int> stopped_gpus{0};
    std::atomic<uint64_t> wrong_hashes{0};
    NonceAllocator nonces;
    int bench_seconds = settings.bench_seconds;
    std::vector<std::thread> workers;
    for (auto& dev : devices) {
        workers.emplace_back(gpu_worker, WorkerClosure{dev.get(), bench_seconds, stopped_gpus, pool,
                                                       nonces, wrong_hashes, clock});
    }

    RateSamples samples(devices.size());
    DevFeeSchedule fee;
    const int64_t loop_start = clock.now_ns();
    while (!stop_requested.load()) {
        clock.sleep_ns(kNanosPerSecond);
        if (stopped_gpus.load() != 0) {
            log_line(color_red, "gpu  ", "a GPU stopped, exiting");
            break;
        }
        samples.sample(devices);
        if (bench) {
            if (bench_tick(samples, bench_seconds)) {
                break;
            }
            continue;
        }
        const DevFeeSchedule::Switch change = fee.update(whole_seconds_since(clock, loop_start));
        if (change != DevFeeSchedule::Switch::none) {
            switch_pool_login(pool, config, change == DevFeeSchedule::Switch::to_fee,
                              settings.address, settings.worker);
        }
        if (samples.ticks % kReportTicks == 0) {
            report_speed(samples, devices, accepted_shares, rejected_shares, settings.stats_file,
                         clock, loop_start);
        }
    }

    // The pool stays up until the workers are gone: a launch in progress still sends its
    // shares before its worker sees the flag.
    stop_requested.exchange(true);
    for (std::thread& worker : workers) {
        worker.join();
    }
    pool.stop();
    if (!bench) {
        std::printf("\n shutdown requested \u2014 clean exit\n");
        std::fflush(stdout);
    }
    return stopped_gpus.load() != 0 ? 1 : 0;
}

}  // namespace tovren::qel
