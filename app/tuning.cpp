#include "tuning.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "console.h"

namespace tovren::qel {

namespace {

const uint8_t kZeroTarget[32] = {};

void print_tune_line(const GpuDevice& dev, const char* suffix) {
    const unsigned long long arena_mib = static_cast<unsigned long long>(dev.hashes) * 8ULL;
    log_line(color_grey, "tune ",
             "GPU" + std::to_string(dev.ordinal) + ": " + std::to_string(dev.hashes) +
                 " hashes in flight (" + std::to_string(arena_mib) + " MB), " +
                 format_rate(dev.tuned_rate) + suffix);
}

// --hashes chose the hashes in flight: one launch of 8 iterations sets the iterations.
bool tune_set(GpuDevice& dev, int n) {
    std::string err;
    const uint8_t header[112] = {};
    std::vector<DHit> hits;
    double t = 0.0;
    if (!dev.ctx->set_job(header, kZeroTarget, err) ||
        !dev.ctx->run_range(n, kSetItersMeasure, kWarmUpNonce, hits, &t, err)) {
        log_line(color_red, "gpu  ", err);
        return false;
    }
    dev.hashes = n;
    dev.iters = iterations_for(t * 0.125);
    dev.tuned_rate = static_cast<double>(n * kSetItersMeasure) / t;
    print_tune_line(dev, " (set by --hashes)");
    return true;
}

void tune_failed(const GpuDevice& dev, const std::string& err) {
    log_line(color_red, "tune ", "GPU" + std::to_string(dev.ordinal) + ": " + err);
}

// Tries each candidate with a warm-up and a measured launch and keeps the fastest.
bool tune_measure(GpuDevice& dev) {
    std::string err;
    const std::array<uint8_t, 112> header = tuning_header(dev.ordinal);
    if (!dev.ctx->set_job(header.data(), kZeroTarget, err)) {
        tune_failed(dev, err);
        return false;
    }
    const auto time_launches = [&dev, &err](int n, double& seconds) {
        std::vector<DHit> hits;
        return dev.ctx->run_range(n, kTuneItersMeasure, kWarmUpNonce, hits, nullptr, err) &&
               dev.ctx->run_range(n, kTuneItersMeasure, kMeasureNonce, hits, &seconds, err);
    };
    TuneChoice best;
    if (!choose_hashes(tuning_candidates(dev.sm_count, dev.ctx->slots), time_launches, best)) {
        tune_failed(dev, err);
        return false;
    }
    if (best.hashes == 0) {
        tune_failed(dev, "not enough GPU memory");
        return false;
    }
    dev.hashes = best.hashes;
    dev.tuned_rate = best.rate;
    dev.iters = iterations_for(best.seconds_per_iteration);
    print_tune_line(dev, " (measured, override with --hashes <n>)");
    return true;
}

}  // namespace

int iterations_for(double seconds_per_iteration) {
    // The comparison is false for NaN too, which would otherwise reach the int conversion.
    int x = 3499;
    if (seconds_per_iteration >= kMinIterationSeconds) {
        x = static_cast<int>(kLaunchTargetSeconds / seconds_per_iteration);
    }
    return std::max(std::min(x, kMaxIters), kMinIters);
}

std::vector<int> tuning_candidates(int sm_count, int slots) {
    std::vector<int> candidates;
    for (double m : kHashesPerSmCandidates) {
        const double wanted = static_cast<double>(sm_count) * m + 0.5;
        if (wanted >= static_cast<double>(slots) + 1.0) {
            break;  // also keeps the conversion below within the int range
        }
        const int n = std::max(static_cast<int>(wanted), 1);
        if (n > slots) {
            break;
        }
        candidates.push_back(n);
    }
    return candidates;
}

bool choose_hashes(const std::vector<int>& candidates,
                   const std::function<bool(int n, double& seconds)>& time_launches,
                   TuneChoice& best) {
    best = TuneChoice{};
    for (int n : candidates) {
        double t2 = 0.0;
        if (!time_launches(n, t2)) {
            return false;
        }
        const double rate = static_cast<double>(n) * kTuneItersMeasure / t2;
        if (rate > best.rate) {  // an equal rate keeps the candidate tried first
            best.hashes = n;
            best.rate = rate;
            best.seconds_per_iteration = t2 * 0.03125;
        }
    }
    return true;
}

std::array<uint8_t, 112> tuning_header(int ordinal) {
    std::mt19937_64 rng(
        static_cast<uint64_t>(static_cast<int64_t>(ordinal) + static_cast<int64_t>(kTuningSeed)));
    std::array<uint8_t, 112> header{};
    for (uint8_t& byte : header) {
        byte = static_cast<uint8_t>(rng());
    }
    return header;
}

bool tune_gpu(GpuDevice& dev, int hashes_option) {
    return hashes_option > 0 ? tune_set(dev, hashes_option) : tune_measure(dev);
}

int tune_gpus(GpuDeviceList& devices, int hashes_option) {
    for (auto& dev : devices) {
        if (!tune_gpu(*dev, hashes_option)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace tovren::qel
