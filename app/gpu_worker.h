// The thread that drives one GPU: in pool mode from the pool's job to shares on the wire,
// each hit re-hashed on the CPU before it is sent; in bench mode a synthetic job of its own.
#pragma once

#include <atomic>
#include <cstdint>

#include "clock.h"
#include "gpu_device.h"
#include "nonce_allocator.h"
#include "pool/pool.h"

namespace tovren::qel {

// The pause before a worker that cannot launch (no job, no connection, range used up)
// looks at the pool's job again.
constexpr int64_t kWorkerWaitNs = 200 * 1000 * 1000;
// Wrong GPU hashes in a row, with no good share between them, that stop a worker.
constexpr int kWrongHashStreakLimit = 10;

// What a worker is given by main; every reference outlives the worker thread.
struct WorkerClosure {
    GpuDevice* dev;                       // this worker's GPU, a different one per thread
    int& bench_seconds;                   // non-zero: bench mode
    std::atomic<int>& stopped_gpus;       // +1 by every worker that gives up
    Pool& pool;                           // not used in bench mode
    NonceAllocator& nonces;               // shared by every worker; not used in bench mode
    std::atomic<uint64_t>& wrong_hashes;  // GPU hashes that failed the CPU re-check, all GPUs
    Clock& clock;                         // the 200 ms waits
    // When set, the wall time spent inside run_range is added here (for the benchmark that
    // shows how much of a worker's time its GPU is busy).
    std::atomic<int64_t>* launch_ns = nullptr;
};

// The body of one worker thread. Returns when it sees stop_requested, or after a failure,
// which it reports and counts in stopped_gpus first.
void gpu_worker(WorkerClosure closure);

}  // namespace tovren::qel
