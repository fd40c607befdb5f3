// The OS threads that run the blocks of a grid in parallel. The launching thread works too,
// so a grid of one block never waits for another thread; each thread runs one block at a
// time, which is what makes __shared__ storage per block.
#ifndef CUDASIM_SRC_BLOCK_POOL_H
#define CUDASIM_SRC_BLOCK_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cuda_runtime.h"
#include "cudasim/control.h"

namespace cudasim {
namespace detail {

class BlockPool {
  public:
    static BlockPool& instance();
    ~BlockPool();

    // Threads that run blocks, the launching one included; only while no grid runs.
    void set_threads(unsigned int threads);
    unsigned int threads();

    // Runs every block of the grid, the threads of each in `order`. False, with the first
    // fault, when a block failed; the blocks not yet started are then skipped.
    bool run_grid(const KernelLaunch& kernel, dim3 grid, dim3 block, const LaneOrder& order,
                  std::string& fault);

  private:
    struct Grid {
        const KernelLaunch* kernel;
        dim3 grid;
        dim3 block;
        LaneOrder order;
        uint64_t total;
        std::atomic<uint64_t> next{0};
        std::atomic<bool> failed{false};
        unsigned users = 0;  // threads working on it; under mu_
        std::string fault;   // under mu_
    };

    BlockPool();
    void stop_workers();
    void worker_loop();
    void work_on(Grid& grid);

    std::mutex mu_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::deque<Grid*> grids_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
    unsigned int threads_;
};

}  // namespace detail
}  // namespace cudasim

#endif
