// Cooperative fibers on one OS thread: the threads of a simulated block. On x86-64 a switch
// is a handful of instructions (a few nanoseconds); elsewhere ucontext does it, slowly.
// Switches are announced to AddressSanitizer and ThreadSanitizer, which otherwise take a
// stack switch for a wild stack overflow or for a data race.
#ifndef CUDASIM_SRC_FIBER_H
#define CUDASIM_SRC_FIBER_H

#include <cstddef>

#if CUDASIM_UCONTEXT
#include <ucontext.h>
#elif !defined(__x86_64__)
#error "cudasim switches threads in x86-64 assembly; build with CUDASIM_UCONTEXT=ON"
#endif

namespace cudasim {
namespace detail {

// A stack of its own, with an inaccessible guard page below it. Stacks of neighbouring
// threads start at different offsets within a page: otherwise their hot top frames would
// all compete for the same few cache sets.
class FiberStack {
  public:
    FiberStack(std::size_t size, unsigned colour);
    ~FiberStack();
    FiberStack(const FiberStack&) = delete;
    FiberStack& operator=(const FiberStack&) = delete;

    void* bottom() const { return bottom_; }
    std::size_t size() const { return size_; }
    // Where the first frame goes.
    std::size_t used_size() const { return size_ - offset_; }
    // Forgets the sanitizer state of frames that were abandoned on this stack.
    void scrub();

  private:
    void* mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
    void* bottom_ = nullptr;
    std::size_t size_ = 0;
    std::size_t offset_ = 0;
};

struct Fiber {
#if CUDASIM_UCONTEXT
    ucontext_t context;
#else
    void* context = nullptr;  // the suspended stack pointer
#endif
    // The stack's lowest address and size; for an OS thread's own stack, learnt at its
    // first switch.
    const void* stack_bottom = nullptr;
    std::size_t stack_size = 0;
    void* fake_stack = nullptr;  // AddressSanitizer's per-fiber state
    void* tsan_fiber = nullptr;  // ThreadSanitizer's per-fiber state
};

// Makes `fiber` run entry() on `stack` when it is first switched to. entry() must never
// return: it ends with fiber_exit().
void fiber_prepare(Fiber& fiber, FiberStack& stack, void (*entry)());
// Makes `fiber` stand for the calling OS thread's own context.
void fiber_adopt_thread(Fiber& fiber);
void fiber_release(Fiber& fiber);
// Suspends `from` (the running fiber) and resumes `to`; returns when a fiber switches back.
void fiber_switch(Fiber& from, Fiber& to);
// Leaves the running fiber `from` for good and resumes `to`.
[[noreturn]] void fiber_exit(Fiber& from, Fiber& to);

}  // namespace detail
}  // namespace cudasim

#endif
