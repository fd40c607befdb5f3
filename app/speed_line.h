// The mining speed line, printed every 10 seconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rate_window.h"

namespace tovren::qel {

// "10s/60s/15m  <r10> / <r60> / <r900>   parts <accepted>/<rejected>   GPU<n> <rate> · ...",
// each GPU with its 60-second rate, the GPUs named by their ordinals in list order.
std::string speed_line_message(const RateSamples& samples, const std::vector<int>& ordinals,
                               uint64_t accepted, uint64_t rejected);

}  // namespace tovren::qel
