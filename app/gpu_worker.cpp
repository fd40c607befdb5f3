#include "gpu_worker.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bench_mode.h"
#include "console.h"
#include "pow/argon2id.h"
#include "share_target.h"
#include "stop_signal.h"

namespace tovren::qel {

namespace {

// The state one mining worker keeps for its whole life; no other thread touches it.
class MiningWorker {
  public:
    explicit MiningWorker(const WorkerClosure& c)
        : c_(c),
          dev_(*c.dev),
          count_(static_cast<uint64_t>(static_cast<int64_t>(dev_.hashes) *
                                       static_cast<int64_t>(dev_.iters))) {}

    void run() {
        while (!stop_requested.load()) {
            if (!refresh_job()) {
                return;
            }
            uint64_t base = 0;
            if (!job_.valid || !c_.pool.connected.load() || !c_.nonces.take(job_, count_, base)) {
                wait();
                continue;
            }
            hits_.clear();
            if (!launch(base)) {
                give_up("GPU" + std::to_string(dev_.ordinal) + ": " + err_);
                return;
            }
            dev_.hash_count.fetch_add(count_);
            report_lost_hits();
            if (!handle_hits()) {
                return;
            }
        }
    }

  private:
    // Copies and uploads the pool's job when ours is stale. False when the upload failed.
    bool refresh_job() {
        if (job_.valid && job_.seq == c_.pool.job_seq.load()) {
            return true;
        }
        {
            std::lock_guard<std::mutex> lock(c_.pool.job_mutex);
            job_ = c_.pool.job;
        }
        if (job_.valid && !dev_.ctx->set_job(job_.header, job_.target, err_)) {
            give_up(err_);
            return false;
        }
        return true;
    }

    bool launch(uint64_t base) {
        if (c_.launch_ns == nullptr) {
            return dev_.ctx->run_range(dev_.hashes, dev_.iters, base, hits_, nullptr, err_,
                                       &counted_);
        }
        const int64_t start = monotonic_clock().now_ns();
        const bool ok =
            dev_.ctx->run_range(dev_.hashes, dev_.iters, base, hits_, nullptr, err_, &counted_);
        c_.launch_ns->fetch_add(monotonic_clock().now_ns() - start);
        return ok;
    }

    // A launch keeps only so many hits. A pool whose difficulty is low for the launch size
    // credits less than the GPU found, and the user has to be able to see why.
    void report_lost_hits() {
        if (counted_ <= static_cast<uint32_t>(kHitSlots)) {
            return;
        }
        const uint32_t lost = counted_ - static_cast<uint32_t>(kHitSlots);
        log_line(color_red, "gpu  ",
                 "GPU" + std::to_string(dev_.ordinal) + ": " + std::to_string(lost) +
                     (lost == 1 ? " share" : " shares") + " of one launch lost (" +
                     std::to_string(kHitSlots) + " at most)");
    }

    // After every wait the job is copied and uploaded again, even when its seq is unchanged.
    void wait() {
        c_.clock.sleep_ns(kWorkerWaitNs);
        job_.valid = false;
    }

    // False when the wrong-hash streak has stopped the worker.
    bool handle_hits() {
        for (const DHit& hit : hits_) {
            if (job_.conn_gen != c_.pool.connections.load()) {
                // The job came on an earlier connection; the pool would refuse its shares.
                return true;
            }
            if (!hash_meets_target(hit.hash, job_.target)) {
                continue;
            }
            uint8_t cpu_hash[kHashBytes];
            argon2id_pow_hash(arena_, job_.header, hit.nonce, cpu_hash);
            if (std::memcmp(cpu_hash, hit.hash, kHashBytes) != 0) {
                if (!wrong_hash()) {
                    return false;
                }
                continue;
            }
            c_.pool.submit(job_, hit.nonce, hit.hash);
            if (hash_meets_target(hit.hash, job_.network_target)) {
                log_line(color_green, "block",
                         "candidate found at height " + std::to_string(job_.height) + " (GPU" +
                             std::to_string(dev_.ordinal) + ")");
            }
            streak_ = 0;
        }
        return true;
    }

    bool wrong_hash() {
        c_.wrong_hashes.fetch_add(1);
        const uint64_t total = c_.wrong_hashes.load();
        const std::string gpu = "GPU" + std::to_string(dev_.ordinal);
        log_line(color_red, "gpu  ",
                 gpu + " returned a wrong hash: share NOT sent (" + std::to_string(total) +
                     " so far; check the card's clocks)");
        if (++streak_ >= kWrongHashStreakLimit) {
            give_up(gpu + ": 10 wrong hashes in a row, stopping");
            return false;
        }
        return true;
    }

    void give_up(const std::string& message) {
        log_line(color_red, "gpu  ", message);
        c_.stopped_gpus.fetch_add(1);
    }

    const WorkerClosure& c_;
    GpuDevice& dev_;
    const uint64_t count_;  // nonces per launch
    PoolJob job_;
    int streak_ = 0;  // wrong hashes since the last share sent
    std::string err_;
    std::vector<DHit> hits_;
    uint32_t counted_ = 0;  // hits the last launch found, kept or not
    BlockArena arena_;      // sized at the first re-check, kept for the thread's life
};

}  // namespace

void gpu_worker(WorkerClosure closure) {
    if (closure.bench_seconds != 0) {
        bench_worker(*closure.dev, closure.stopped_gpus);
        return;
    }
    MiningWorker(closure).run();
}

}  // namespace tovren::qel
