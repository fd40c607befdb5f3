#include "rate_window.h"

namespace tovren::qel {

void RateSamples::sample(const GpuDeviceList& devices) {
    std::vector<uint64_t> counts;
    counts.reserve(devices.size());
    for (const auto& dev : devices) {
        counts.push_back(dev->hash_count.load());
    }
    sample(counts);
}

void RateSamples::sample(const std::vector<uint64_t>& hash_counts) {
    const size_t slot = static_cast<size_t>(ticks % kRateRing);
    for (size_t g = 0; g < rings.size() && g < hash_counts.size(); ++g) {
        rings[g][slot] = hash_counts[g] - last_hash_count[g];
        last_hash_count[g] = hash_counts[g];
    }
    ++ticks;
}

double rate_window_average(const RateSamples& samples, int g, int w) {
    const uint64_t wide = static_cast<uint64_t>(static_cast<int64_t>(w));
    uint64_t k = wide < samples.ticks ? wide : samples.ticks;
    if (k == 0) {
        return 0.0;
    }
    const size_t gpu = static_cast<size_t>(g);
    if (k > static_cast<uint64_t>(kRateRing)) {
        // Only a long benchmark asks for more than the ring holds; over the whole run the
        // samples add up to the counter itself, so the average stays exact.
        if (k == samples.ticks) {
            return static_cast<double>(samples.last_hash_count[gpu]) / static_cast<double>(k);
        }
        k = kRateRing;
    }
    uint64_t sum = 0;
    for (uint64_t j = 0; j < k; ++j) {
        sum += samples.rings[gpu][(samples.ticks - 1 - j) % kRateRing];
    }
    return static_cast<double>(sum) / static_cast<double>(k);
}

double total_rate(const RateSamples& samples, int w) {
    double total = 0.0;
    for (size_t g = 0; g < samples.rings.size(); ++g) {
        total += rate_window_average(samples, static_cast<int>(g), w);
    }
    return total;
}

}  // namespace tovren::qel
