#include "block_pool.h"

#include <algorithm>

#include "block_runner.h"

namespace cudasim {
namespace detail {

BlockPool& BlockPool::instance() {
    // Never destroyed: a kernel may still be launched while static objects are torn down.
    static BlockPool* pool = new BlockPool;
    return *pool;
}

BlockPool::BlockPool() : threads_(std::max(1u, std::thread::hardware_concurrency())) {}

BlockPool::~BlockPool() {
    stop_workers();
}

void BlockPool::stop_workers() {
    std::vector<std::thread> leaving;
    {
        std::lock_guard<std::mutex> lock(mu_);
        stopping_ = true;
        leaving.swap(workers_);
    }
    work_cv_.notify_all();
    for (std::thread& t : leaving) {
        t.join();
    }
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = false;
}

void BlockPool::set_threads(unsigned int threads) {
    threads = std::max(1u, threads);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (threads == threads_) {
            return;
        }
    }
    stop_workers();
    std::lock_guard<std::mutex> lock(mu_);
    threads_ = threads;
}

unsigned int BlockPool::threads() {
    std::lock_guard<std::mutex> lock(mu_);
    return threads_;
}

bool BlockPool::run_grid(const KernelLaunch& kernel, dim3 grid, dim3 block, const LaneOrder& order,
                         std::string& fault) {
    Grid g;
    g.kernel = &kernel;
    g.grid = grid;
    g.block = block;
    g.order = order;
    g.total = uint64_t{grid.x} * grid.y * grid.z;
    bool shared = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (g.total > 1 && threads_ > 1) {
            shared = true;
            while (workers_.size() + 1 < threads_) {
                workers_.emplace_back(&BlockPool::worker_loop, this);
            }
            g.users = 1;
            grids_.push_back(&g);
        }
    }
    if (shared) {
        work_cv_.notify_all();
    }
    work_on(g);
    std::unique_lock<std::mutex> lock(mu_);
    if (shared) {
        auto it = std::find(grids_.begin(), grids_.end(), &g);
        if (it != grids_.end()) {
            grids_.erase(it);
        }
        --g.users;
        done_cv_.wait(lock, [&] { return g.users == 0; });
    }
    fault = g.fault;
    return !g.failed.load();
}

void BlockPool::worker_loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        work_cv_.wait(lock, [&] { return stopping_ || !grids_.empty(); });
        if (stopping_) {
            return;
        }
        Grid* g = grids_.front();
        ++g->users;
        lock.unlock();
        work_on(*g);
        lock.lock();
        // Nothing is left to claim: no other worker needs to look at it.
        auto it = std::find(grids_.begin(), grids_.end(), g);
        if (it != grids_.end()) {
            grids_.erase(it);
        }
        if (--g->users == 0) {
            done_cv_.notify_all();
        }
    }
}

void BlockPool::work_on(Grid& g) {
    BlockRunner& runner = BlockRunner::for_this_thread();
    std::string fault;
    while (!g.failed.load(std::memory_order_relaxed)) {
        uint64_t b = g.next.fetch_add(1, std::memory_order_relaxed);
        if (b >= g.total) {
            return;
        }
        uint3 index{static_cast<unsigned>(b % g.grid.x),
                    static_cast<unsigned>((b / g.grid.x) % g.grid.y),
                    static_cast<unsigned>(b / (uint64_t{g.grid.x} * g.grid.y))};
        if (!runner.run(*g.kernel, g.grid, g.block, index, g.order, fault)) {
            std::lock_guard<std::mutex> lock(mu_);
            if (!g.failed.load()) {
                g.fault = fault;
                g.failed.store(true);
            }
            return;
        }
    }
}

}  // namespace detail
}  // namespace cudasim
