// How much of a GPU worker's wall time its GPU spends searching: a worker mines a job whose
// share target lets through one hash in k, against a pool connection that is a socket pair
// drained by a reader thread, and the time inside run_range is compared with the wall time.
// The rest is the CPU re-check of every share, the submit and the job bookkeeping.
//
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/gpu_worker.h"
#include "app/stop_signal.h"
#include "cudasim/control.h"
#include "pow/argon2id.h"

namespace {

using namespace tovren::qel;
using Steady = std::chrono::steady_clock;

constexpr int kHashes = 2;
constexpr int kIters = 8;
constexpr double kRunSeconds = 6.0;

double seconds_since(Steady::time_point t) {
    return std::chrono::duration<double>(Steady::now() - t).count();
}

// (2^256 - 1) / k as a big-endian target.
void target_one_in(uint32_t k, uint8_t* t) {
    uint64_t rest = 0;
    for (int i = 0; i < 32; ++i) {
        rest = rest * 256 + 255;
        t[i] = static_cast<uint8_t>(rest / k);
        rest %= k;
    }
}

std::unique_ptr<GpuDevice> device() {
    auto dev = std::make_unique<GpuDevice>();
    dev->ctx = std::make_unique<GpuContext>();
    std::string err;
    if (!dev->ctx->init(0, 4, err)) {
        std::fprintf(stderr, "init: %s\n", err.c_str());
        std::exit(1);
    }
    dev->hashes = kHashes;
    dev->iters = kIters;
    return dev;
}

PoolJob job(uint32_t one_in) {
    PoolJob j;
    j.seq = 1;
    j.conn_gen = 1;
    j.job_id = "bench";
    for (int i = 0; i < 112; ++i)
        j.header[i] = static_cast<uint8_t>(i * 29 + 1);
    target_one_in(one_in, j.target);
    j.nonce_end = UINT64_MAX;
    j.valid = true;
    return j;
}

// Wall time of one launch of the worker's size, alone.
double launch_seconds(GpuDevice& dev, const PoolJob& j) {
    std::string err;
    dev.ctx->set_job(j.header, j.target, err);
    std::vector<DHit> hits;
    const int rounds = 10;
    const auto t0 = Steady::now();
    for (int r = 0; r < rounds; ++r) {
        hits.clear();
        dev.ctx->run_range(kHashes, kIters, uint64_t{1} << 40 | static_cast<uint64_t>(r) << 20,
                           hits, nullptr, err);
    }
    return seconds_since(t0) / rounds;
}

double recheck_seconds(const PoolJob& j) {
    BlockArena arena;
    uint8_t out[32];
    argon2id_pow_hash(arena, j.header, 0, out);
    const int rounds = 20;
    const auto t0 = Steady::now();
    for (int r = 0; r < rounds; ++r)
        argon2id_pow_hash(arena, j.header, r, out);
    return seconds_since(t0) / rounds;
}

void measure(uint32_t one_in) {
    cudasim::reset();
    auto dev = device();
    const PoolJob j = job(one_in);
    const double t_check = recheck_seconds(j);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        std::exit(1);
    Pool pool;
    pool.fd = pair[0];
    pool.connected = true;
    pool.connections = 1;
    pool.job = j;
    pool.job_seq = 1;
    std::atomic<uint64_t> shares{0};
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char buf[4096];
        while (reading) {
            const ssize_t n = read(pair[1], buf, sizeof buf);
            if (n <= 0)
                break;
            for (ssize_t i = 0; i < n; ++i)
                shares += buf[i] == '\n';
        }
    });

    stop_requested = false;
    int bench_seconds = 0;
    std::atomic<int> stopped{0};
    NonceAllocator nonces;
    std::atomic<uint64_t> wrong{0};
    const uint64_t launches_before = cudasim::launch_count();
    const auto t0 = Steady::now();
    std::atomic<int64_t> launch_ns{0};
    std::thread worker(gpu_worker, WorkerClosure{dev.get(), bench_seconds, stopped, pool, nonces,
                                                 wrong, monotonic_clock(), &launch_ns});
    std::this_thread::sleep_for(std::chrono::duration<double>(kRunSeconds));
    stop_requested = true;
    worker.join();
    const double wall = seconds_since(t0);
    const uint64_t launches = cudasim::launch_count() - launches_before;

    pool.fd = -1;
    reading = false;
    shutdown(pair[0], SHUT_RDWR);
    reader.join();
    close(pair[0]);
    close(pair[1]);

    const double gpu = static_cast<double>(launch_ns.load()) * 1e-9;
    const double check = static_cast<double>(shares.load()) * t_check;
    std::printf(
        "shares 1 in %-5u %4llu launches %6llu shares  in run_range %5.1f%%  "
        "CPU re-check %5.1f%%  other %5.1f%%\n",
        one_in, static_cast<unsigned long long>(launches),
        static_cast<unsigned long long>(shares.load()), 100.0 * gpu / wall, 100.0 * check / wall,
        100.0 * (wall - gpu - check) / wall);
}

}  // namespace

int main() {
    std::printf(
        "GPU worker duty on the simulator: %d hashes in flight x %d iterations per "
        "launch, %.0f s per row\n",
        kHashes, kIters, kRunSeconds);
    {
        cudasim::reset();
        auto dev = device();
        const PoolJob j = job(1);
        std::printf("one launch alone %.1f ms, one CPU re-check %.1f ms\n",
                    1e3 * launch_seconds(*dev, j), 1e3 * recheck_seconds(j));
    }
    for (uint32_t one_in : {1024u, 64u, 8u, 1u})
        measure(one_in);
    return 0;
}
