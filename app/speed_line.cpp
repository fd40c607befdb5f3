#include "speed_line.h"

#include "console.h"

namespace tovren::qel {

std::string speed_line_message(const RateSamples& samples, const std::vector<int>& ordinals,
                               uint64_t accepted, uint64_t rejected) {
    std::string per_gpu;
    for (size_t g = 0; g < ordinals.size(); ++g) {
        if (g > 0) {
            per_gpu += " \u00b7 ";
        }
        per_gpu += "GPU" + std::to_string(ordinals[g]) + " " +
                   format_rate(rate_window_average(samples, static_cast<int>(g), 60));
    }
    return "10s/60s/15m  " + format_rate(total_rate(samples, 10)) + " / " +
           format_rate(total_rate(samples, 60)) + " / " + format_rate(total_rate(samples, 900)) +
           "   parts " + std::to_string(accepted) + "/" + std::to_string(rejected) + "   " +
           per_gpu;
}

}  // namespace tovren::qel
