#include "block_runner.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "cudasim/control.h"

__thread uint3 threadIdx;
__thread uint3 blockIdx;
__thread dim3 blockDim;
__thread dim3 gridDim;

namespace cudasim {
namespace detail {

namespace {

// Kernel frames are shallow, but sanitizers and unoptimised builds widen them.
constexpr size_t kStackBytes = 256 * 1024;

thread_local BlockRunner* running_runner = nullptr;

// Resolved waits of every block that has run, for steps(). A block adds its own in batches:
// one atomic addition per few thousand waits costs nothing next to their fiber switches.
std::atomic<uint64_t> resolved_waits{0};
constexpr uint64_t kStepsPerFlush = 4096;

BlockRunner& runner_or_die(const char* what) {
    BlockRunner* r = BlockRunner::running();
    if (r == nullptr) {
        std::fprintf(stderr, "cudasim: %s called outside a kernel\n", what);
        std::abort();
    }
    return *r;
}

const char* op_name(WarpOp op) {
    switch (op) {
        case WarpOp::sync:
            return "__syncwarp";
        case WarpOp::shfl_idx:
            return "__shfl_sync";
        case WarpOp::shfl_up:
            return "__shfl_up_sync";
        case WarpOp::shfl_down:
            return "__shfl_down_sync";
        case WarpOp::shfl_xor:
            return "__shfl_xor_sync";
        case WarpOp::ballot:
            return "__ballot_sync";
        case WarpOp::any:
            return "__any_sync";
        case WarpOp::all:
            return "__all_sync";
    }
    return "?";
}

}  // namespace

BlockRunner::BlockRunner() {
    fiber_adopt_thread(main_);
}

BlockRunner::~BlockRunner() {
    for (Lane& lane : lanes_) {
        fiber_release(lane.fiber);
    }
}

BlockRunner& BlockRunner::for_this_thread() {
    static thread_local BlockRunner runner;
    return runner;
}

BlockRunner* BlockRunner::running() {
    return running_runner;
}

bool BlockRunner::run(const KernelLaunch& kernel, dim3 grid, dim3 block, uint3 block_index,
                      const LaneOrder& order, std::string& fault) {
    threads_ = block.x * block.y * block.z;
    if (lanes_.size() < threads_) {
        lanes_.resize(threads_);
    }
    while (stacks_.size() < threads_) {
        stacks_.push_back(
            std::make_unique<FiberStack>(kStackBytes, static_cast<unsigned>(stacks_.size())));
    }
    const unsigned warps = (threads_ + 31) / 32;
    alive_.assign(warps, 0);
    waiting_.assign(warps, 0);
    queue_.resize(threads_);
    for (unsigned t = 0; t < threads_; ++t) {
        Lane& lane = lanes_[t];
        lane.thread_idx = uint3{t % block.x, (t / block.x) % block.y, t / (block.x * block.y)};
        lane.warp = t / 32;
        lane.bit = 1u << (t % 32);
        lane.state = State::runnable;
        alive_[lane.warp] |= lane.bit;
        fiber_prepare(lane.fiber, *stacks_[t], &BlockRunner::lane_main);
        queue_[t] = &lane;
    }
    queue_head_ = 0;
    queue_count_ = threads_;
    turns_.start(order, block_index.x +
                            uint64_t{grid.x} * (block_index.y + uint64_t{grid.y} * block_index.z));
    if (!turns_.as_released()) {
        take_turns();
    }
    live_ = threads_;
    at_barrier_ = 0;
    kernel_ = &kernel;
    block_index_ = block_index;
    faulted_ = false;
    fault_.clear();

    blockIdx = block_index;
    blockDim = block;
    gridDim = grid;
    running_runner = this;
    Lane* first = next_runnable();
    current_ = first;
    threadIdx = first->thread_idx;
    fiber_switch(main_, first->fiber);
    running_runner = nullptr;
    current_ = nullptr;
    flush_steps();

    if (!faulted_ && live_ == 0) {
        return true;
    }
    if (!faulted_) {
        fault_ = "block (" + std::to_string(block_index.x) + "," + std::to_string(block_index.y) +
                 "," + std::to_string(block_index.z) + ") deadlocked: " + describe_waits();
    }
    // The abandoned threads' frames stay on their stacks; the next block starts afresh.
    for (unsigned t = 0; t < threads_; ++t) {
        stacks_[t]->scrub();
    }
    fault = fault_;
    return false;
}

void BlockRunner::lane_main() {
    BlockRunner& r = *running_runner;
    Lane& me = *r.current_;
    r.kernel_->run_thread(r.kernel_->frame);
    r.finish(me);
}

void BlockRunner::push(Lane& lane) {
    lane.state = State::runnable;
    size_t tail = queue_head_ + queue_count_;
    queue_[tail >= threads_ ? tail - threads_ : tail] = &lane;
    ++queue_count_;
}

void BlockRunner::take_turns() {
    turns_.arrange(queue_.data(), queue_count_);
}

BlockRunner::Lane* BlockRunner::next_runnable() {
    if (queue_count_ == 0) {
        // Threads to rearrange must lie side by side from the start of the ring. The default
        // order leaves the ring as it was: resetting it there too cost __syncthreads some 4%.
        const bool arrange = !turns_.as_released();
        if (arrange) {
            queue_head_ = 0;
        }
        resolve();
        if (queue_count_ == 0) {
            return nullptr;
        }
        if (arrange) {
            take_turns();
        }
        count_step();
    }
    Lane* lane = queue_[queue_head_];
    queue_head_ = queue_head_ + 1 == threads_ ? 0 : queue_head_ + 1;
    --queue_count_;
    return lane;
}

void BlockRunner::suspend(Lane& me) {
    Lane* next = next_runnable();
    if (next == &me) {
        return;  // the wait completed at once
    }
    current_ = next;
    if (next == nullptr) {
        fiber_switch(me.fiber, main_);  // deadlock: the block is given up
        std::abort();
    }
    threadIdx = next->thread_idx;
    fiber_switch(me.fiber, next->fiber);
}

void BlockRunner::finish(Lane& me) {
    me.state = State::done;
    --live_;
    alive_[me.warp] &= ~me.bit;
    Lane* next = next_runnable();
    current_ = next;
    if (next == nullptr) {
        fiber_exit(me.fiber, main_);
    }
    threadIdx = next->thread_idx;
    fiber_exit(me.fiber, next->fiber);
}

void BlockRunner::count_step() {
    if (++unflushed_steps_ == kStepsPerFlush) {
        flush_steps();
    }
}

void BlockRunner::flush_steps() {
    resolved_waits.fetch_add(unflushed_steps_, std::memory_order_relaxed);
    unflushed_steps_ = 0;
}

void BlockRunner::resolve() {
    if (live_ > 0 && at_barrier_ == live_) {
        uint64_t count = 0;
        for (unsigned t = 0; t < threads_; ++t) {
            if (lanes_[t].state == State::at_barrier) {
                count += lanes_[t].value;
            }
        }
        for (unsigned t = 0; t < threads_; ++t) {
            if (lanes_[t].state == State::at_barrier) {
                lanes_[t].result = count;
                push(lanes_[t]);
            }
        }
        at_barrier_ = 0;
        return;
    }
    for (unsigned w = 0; w < waiting_.size(); ++w) {
        uint32_t pending = waiting_[w];
        while (pending != 0) {
            const Lane& lead = lanes_[w * 32 + static_cast<unsigned>(__builtin_ctz(pending))];
            uint32_t group = lead.mask & alive_[w];
            if (release_warp_group(w, group)) {
                pending &= ~group;
            } else {
                pending &= ~lead.bit;
            }
        }
    }
}

// Completes the warp operation of `group` if all of its lanes wait in the same operation
// with the same mask.
bool BlockRunner::release_warp_group(unsigned warp, uint32_t group) {
    if ((group & ~waiting_[warp]) != 0) {
        return false;
    }
    if (group == kFullWarp) {
        return release_full_warp(warp);
    }
    Lane* base = &lanes_[warp * 32];
    const Lane& lead = base[__builtin_ctz(group)];
    uint32_t votes = 0;
    for (uint32_t g = group; g != 0; g &= g - 1) {
        const Lane& lane = base[__builtin_ctz(g)];
        if (lane.op != lead.op || lane.mask != lead.mask) {
            return false;
        }
        if (lane.value != 0) {
            votes |= lane.bit;
        }
    }
    for (uint32_t g = group; g != 0; g &= g - 1) {
        Lane& lane = base[__builtin_ctz(g)];
        lane.result = result_of(lane, group, votes);
    }
    waiting_[warp] &= ~group;
    for (uint32_t g = group; g != 0; g &= g - 1) {
        push(base[__builtin_ctz(g)]);
    }
    return true;
}

// The common case, a whole warp in one operation at full width: the general path's
// checks and results, without its per-lane segment arithmetic.
bool BlockRunner::release_full_warp(unsigned warp) {
    Lane* base = &lanes_[warp * 32];
    const WarpOp op = base[0].op;
    const uint32_t mask = base[0].mask;
    uint64_t values[32];
    uint32_t votes = 0;
    bool full_width = true;
    for (unsigned l = 0; l < 32; ++l) {
        const Lane& lane = base[l];
        if (lane.op != op || lane.mask != mask) {
            return false;
        }
        values[l] = lane.value;
        votes |= lane.value != 0 ? lane.bit : 0;
        full_width = full_width && lane.width == warpSize;
    }
    switch (op) {
        case WarpOp::shfl_idx:
        case WarpOp::shfl_up:
        case WarpOp::shfl_down:
        case WarpOp::shfl_xor:
            if (!full_width) {
                for (unsigned l = 0; l < 32; ++l) {
                    base[l].result = shuffle(base[l], kFullWarp);
                }
                break;
            }
            // One loop per operation: the source lanes cannot leave the warp.
            if (op == WarpOp::shfl_idx) {
                for (int l = 0; l < 32; ++l) {
                    base[l].result = values[base[l].arg & 31];
                }
            } else if (op == WarpOp::shfl_xor) {
                for (int l = 0; l < 32; ++l) {
                    base[l].result = values[l ^ (base[l].arg & 31)];
                }
            } else if (op == WarpOp::shfl_up) {
                for (int l = 0; l < 32; ++l) {
                    const int j = l - (base[l].arg & 31);
                    base[l].result = values[j >= 0 ? j : l];
                }
            } else {
                for (int l = 0; l < 32; ++l) {
                    const int j = l + (base[l].arg & 31);
                    base[l].result = values[j < 32 ? j : l];
                }
            }
            break;
        default:
            for (unsigned l = 0; l < 32; ++l) {
                base[l].result = result_of(base[l], kFullWarp, votes);
            }
            break;
    }
    waiting_[warp] = 0;
    for (unsigned l = 0; l < 32; ++l) {
        push(base[l]);
    }
    return true;
}

uint64_t BlockRunner::result_of(const Lane& lane, uint32_t group, uint32_t votes) const {
    switch (lane.op) {
        case WarpOp::sync:
            return 0;
        case WarpOp::ballot:
            return votes;
        case WarpOp::any:
            return votes != 0;
        case WarpOp::all:
            return votes == group;
        default:
            return shuffle(lane, group);
    }
}

// The source lane as the hardware's shuffle picks it: width splits the warp into segments;
// a source outside the caller's segment (or, for xor, in a later one) yields the caller's
// own value.
uint64_t BlockRunner::shuffle(const Lane& me, uint32_t group) const {
    const int lane = __builtin_ctz(me.bit);
    const int segmask = static_cast<int>(((32u - static_cast<unsigned>(me.width)) << 8) >> 8) & 31;
    const int min_lane = lane & segmask;
    const int max_lane = me.op == WarpOp::shfl_up ? min_lane : (min_lane | (31 & ~segmask));
    const int b = me.arg & 31;
    int j = lane;
    bool inside = true;
    switch (me.op) {
        case WarpOp::shfl_idx:
            j = min_lane | (b & ~segmask);
            inside = j <= max_lane;
            break;
        case WarpOp::shfl_up:
            j = lane - b;
            inside = j >= max_lane;
            break;
        case WarpOp::shfl_down:
            j = lane + b;
            inside = j <= max_lane;
            break;
        case WarpOp::shfl_xor:
            j = lane ^ b;
            inside = j <= max_lane;
            break;
        default:
            break;
    }
    if (!inside) {
        j = lane;
    }
    if (((group >> j) & 1u) == 0) {
        return 0;  // the source lane takes no part: undefined on the hardware
    }
    return lanes_[me.warp * 32 + static_cast<unsigned>(j)].value;
}

uint64_t BlockRunner::warp_op(WarpOp op, uint32_t mask, uint64_t value, int arg, int width) {
    Lane& me = *current_;
    if ((mask & me.bit) == 0) {
        char text[128];
        std::snprintf(text, sizeof text, "%s with mask 0x%08x that leaves out the caller",
                      op_name(op), mask);
        trap(text);
    }
    me.op = op;
    me.mask = mask;
    me.value = value;
    me.arg = arg;
    me.width = width;
    if ((mask & alive_[me.warp]) == me.bit) {
        // Alone in its group: nothing to wait for.
        return result_of(me, me.bit, value != 0 ? me.bit : 0);
    }
    me.state = State::at_warp_op;
    waiting_[me.warp] |= me.bit;
    suspend(me);
    return me.result;
}

int BlockRunner::barrier(int predicate) {
    Lane& me = *current_;
    me.value = predicate != 0;
    me.state = State::at_barrier;
    ++at_barrier_;
    suspend(me);
    return static_cast<int>(me.result);
}

uint32_t BlockRunner::active_mask() const {
    return alive_[current_->warp];
}

void BlockRunner::trap(const char* why) {
    Lane& me = *current_;
    faulted_ = true;
    fault_ = where(me) + ": " + why;
    me.state = State::done;
    current_ = nullptr;
    fiber_exit(me.fiber, main_);
}

std::string BlockRunner::where(const Lane& lane) const {
    char text[96];
    std::snprintf(text, sizeof text, "block (%u,%u,%u) thread (%u,%u,%u)", block_index_.x,
                  block_index_.y, block_index_.z, lane.thread_idx.x, lane.thread_idx.y,
                  lane.thread_idx.z);
    return text;
}

std::string BlockRunner::describe_waits() const {
    std::string text = std::to_string(at_barrier_) + " of " + std::to_string(live_) +
                       " live threads wait at __syncthreads";
    for (unsigned t = 0; t < threads_; ++t) {
        const Lane& lane = lanes_[t];
        if (lane.state == State::at_warp_op) {
            char item[96];
            std::snprintf(item, sizeof item, "; thread %u waits in %s with mask 0x%08x", t,
                          op_name(lane.op), lane.mask);
            text += item;
        }
    }
    return text;
}

uint64_t warp_op(WarpOp op, unsigned int mask, uint64_t value, int arg, int width) {
    return runner_or_die("a warp operation").warp_op(op, mask, value, arg, width);
}

int block_barrier(int predicate) {
    return runner_or_die("__syncthreads").barrier(predicate);
}

unsigned int active_mask() {
    return runner_or_die("__activemask").active_mask();
}

void trap() {
    runner_or_die("__trap").trap("__trap() called");
}

}  // namespace detail

uint64_t steps() {
    return detail::resolved_waits.load(std::memory_order_relaxed);
}

}  // namespace cudasim
