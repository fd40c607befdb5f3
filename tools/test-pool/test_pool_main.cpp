// The local test pool as a program, for scripts/demo: listens on 127.0.0.1, hands out a new
// job every few seconds, checks and answers every share, and prints what it sees.
//
//   qel-test-pool [--port N] [--port-file F] [--share-one-in K] [--block-one-in B]
//                 [--job-seconds S] [--verbose]
// --verbose also prints every accepted share; rejected ones are always printed.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "test_pool.h"

namespace {

std::atomic<bool> stop{false};

void on_signal(int) {
    stop = true;
}

}  // namespace

int main(int argc, char** argv) {
    using tovren::qel::testing::PoolTestJob;
    using tovren::qel::testing::TestPool;
    long port = 0;
    std::string port_file;
    long share_one_in = 8;
    long block_one_in = 0;
    long job_seconds = 30;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            verbose = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "test pool: %s needs a value\n", arg.c_str());
            return 2;
        }
        const char* value = argv[++i];
        if (arg == "--port") {
            port = std::strtol(value, nullptr, 10);
        } else if (arg == "--port-file") {
            port_file = value;
        } else if (arg == "--share-one-in") {
            share_one_in = std::strtol(value, nullptr, 10);
        } else if (arg == "--block-one-in") {
            block_one_in = std::strtol(value, nullptr, 10);
        } else if (arg == "--job-seconds") {
            job_seconds = std::strtol(value, nullptr, 10);
        } else {
            std::fprintf(stderr, "test pool: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    // Started in the background by a script, it keeps ignoring Ctrl-C, so that the miner in
    // the foreground is the one that stops first; the script then ends the pool.
    if (signal(SIGINT, on_signal) == SIG_IGN) {
        signal(SIGINT, SIG_IGN);
    }
    signal(SIGTERM, on_signal);

    TestPool pool(static_cast<uint16_t>(port));
    if (!pool.listening()) {
        std::fprintf(stderr, "test pool: cannot listen on 127.0.0.1:%ld\n", port);
        return 1;
    }
    pool.set_event_printer([verbose](const std::string& text) {
        // The miner prints every accepted share itself.
        const std::string accepted = ": accepted";
        if (!verbose && text.size() > accepted.size() &&
            text.compare(text.size() - accepted.size(), accepted.size(), accepted) == 0) {
            return;
        }
        std::printf("  [test pool] %s\n", text.c_str());
        std::fflush(stdout);
    });
    if (!port_file.empty()) {
        std::FILE* f = std::fopen((port_file + ".tmp").c_str(), "w");
        if (f == nullptr)
            return 1;
        std::fprintf(f, "%u\n", pool.port());
        std::fclose(f);
        std::rename((port_file + ".tmp").c_str(), port_file.c_str());
    }
    std::printf("  [test pool] listening on 127.0.0.1:%u\n", pool.port());
    std::fflush(stdout);

    std::mt19937_64 rng(static_cast<uint64_t>(time(nullptr)));
    PoolTestJob job;
    job.target = TestPool::target_one_in(static_cast<uint32_t>(std::max(share_one_in, 1L)));
    if (block_one_in > 0) {
        job.network_target = TestPool::target_one_in(static_cast<uint32_t>(block_one_in));
    }
    job.height = 100000;
    job.difficulty = static_cast<uint64_t>(share_one_in);
    long ticks = 0;
    while (!stop) {
        if (ticks % (std::max(job_seconds, 1L) * 10) == 0) {
            for (uint8_t& b : job.header)
                b = static_cast<uint8_t>(rng());
            ++job.height;
            job.job_id = "demo-" + std::to_string(job.height);
            pool.set_job(job);
        }
        timespec tenth{0, 100 * 1000 * 1000};
        nanosleep(&tenth, nullptr);
        ++ticks;
    }
    std::printf("  [test pool] stopped\n");
    return 0;
}
