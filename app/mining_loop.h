// The last stretch of the miner, after the title line: the pool client (mining only), one
// worker thread per GPU, the one-second loop with its speed lines, statistics file, dev-fee
// switches or bench lines, and the orderly shutdown.
#pragma once

#include "clock.h"
#include "gpu_device.h"
#include "options.h"

namespace tovren::qel {

constexpr char kPoolAgent[] = "tovren-qel-gpu/v1.0.3";

// Runs until a stop request, a worker that gave up or the end of the bench. Returns the
// exit code: 1 when a worker gave up, else 0. devices must be tuned; settings.worker must
// hold the worker name to log in with.
int run_mining_loop(const Settings& settings, GpuDeviceList& devices,
                    Clock& clock = monotonic_clock());

}  // namespace tovren::qel
