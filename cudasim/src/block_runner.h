// Runs one block of a grid on the calling OS thread: each of its threads is a fiber, and a
// thread that waits (at __syncthreads, __syncwarp, a shuffle, a vote) hands the OS thread to
// the next runnable one. When none is left runnable, the waits that can complete are
// released, shuffles computed as the hardware would; if none can, the block is deadlocked.
// The threads released together (and those of the start) take their turns in the launch's
// LaneOrder, each running alone up to its next wait.
#ifndef CUDASIM_SRC_BLOCK_RUNNER_H
#define CUDASIM_SRC_BLOCK_RUNNER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cuda_runtime.h"
#include "cudasim/control.h"
#include "fiber.h"
#include "turn_order.h"

namespace cudasim {
namespace detail {

class BlockRunner {
  public:
    BlockRunner();
    ~BlockRunner();
    BlockRunner(const BlockRunner&) = delete;
    BlockRunner& operator=(const BlockRunner&) = delete;

    // The runner of the calling OS thread.
    static BlockRunner& for_this_thread();
    // The runner whose block is running on this OS thread, or null outside kernels.
    static BlockRunner* running();

    // Runs block `block_index` to completion. False, with the reason in `fault`, when a
    // thread trapped or the threads can never all finish.
    bool run(const KernelLaunch& kernel, dim3 grid, dim3 block, uint3 block_index,
             const LaneOrder& order, std::string& fault);

    uint64_t warp_op(WarpOp op, uint32_t mask, uint64_t value, int arg, int width);
    int barrier(int predicate);
    uint32_t active_mask() const;
    [[noreturn]] void trap(const char* why);

  private:
    static constexpr uint32_t kFullWarp = 0xffffffffu;
    enum class State : unsigned char { runnable, at_barrier, at_warp_op, done };
    struct Lane {
        Fiber fiber;
        uint3 thread_idx{};
        unsigned warp = 0;
        uint32_t bit = 0;
        State state = State::done;
        WarpOp op = WarpOp::sync;
        uint32_t mask = 0;
        int arg = 0;
        int width = 0;
        uint64_t value = 0;
        uint64_t result = 0;
    };

    static void lane_main();
    void suspend(Lane& me);
    [[noreturn]] void finish(Lane& me);
    Lane* next_runnable();
    // Out of line, so that the default order keeps every wait's path as short as it was.
    [[gnu::noinline]] void take_turns();
    void push(Lane& lane);
    void resolve();
    void count_step();
    void flush_steps();
    bool release_warp_group(unsigned warp, uint32_t group);
    bool release_full_warp(unsigned warp);
    uint64_t result_of(const Lane& lane, uint32_t group, uint32_t votes) const;
    uint64_t shuffle(const Lane& me, uint32_t group) const;
    std::string describe_waits() const;
    std::string where(const Lane& lane) const;

    Fiber main_;
    std::vector<Lane> lanes_;
    std::vector<std::unique_ptr<FiberStack>> stacks_;
    std::vector<Lane*> queue_;  // ring buffer of runnable lanes
    size_t queue_head_ = 0;
    size_t queue_count_ = 0;
    std::vector<uint32_t> alive_;    // per warp: lanes that have not exited
    std::vector<uint32_t> waiting_;  // per warp: lanes waiting in a warp operation
    unsigned threads_ = 0;
    unsigned live_ = 0;
    unsigned at_barrier_ = 0;
    Lane* current_ = nullptr;
    const KernelLaunch* kernel_ = nullptr;
    uint3 block_index_{};
    bool faulted_ = false;
    std::string fault_;
    uint64_t unflushed_steps_ = 0;  // resolved waits not yet in the process-wide count
    TurnOrder turns_;
};

}  // namespace detail
}  // namespace cudasim

#endif
