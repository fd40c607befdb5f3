#include "fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define CUDASIM_ASAN 1
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(__SANITIZE_THREAD__)
#define CUDASIM_TSAN 1
#include <sanitizer/tsan_interface.h>
#endif

namespace cudasim {
namespace detail {

namespace {

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

// entry() of the fibers prepared on this thread.
thread_local void (*pending_entry)() = nullptr;

void before_switch(Fiber& from, Fiber& to, bool exiting) {
#if CUDASIM_ASAN
    __sanitizer_start_switch_fiber(exiting ? nullptr : &from.fake_stack, to.stack_bottom,
                                   to.stack_size);
#else
    (void)from;
    (void)exiting;
#endif
#if CUDASIM_TSAN
    __tsan_switch_to_fiber(to.tsan_fiber, 0);
#else
    (void)to;
#endif
}

// Runs in the fiber that has just been resumed (its saved sanitizer state in fake_stack,
// null for a fresh fiber); `previous` is the one that switched to it.
void after_switch(void* fake_stack, Fiber* previous) {
#if CUDASIM_ASAN
    const void* bottom = nullptr;
    std::size_t size = 0;
    __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
    if (previous->stack_size == 0) {
        previous->stack_bottom = bottom;
        previous->stack_size = size;
    }
#else
    (void)fake_stack;
    (void)previous;
#endif
}

// What both ways of switching record about a fiber before its first switch.
void finish_prepare(Fiber& fiber, FiberStack& stack, void (*entry)()) {
    fiber.stack_bottom = stack.bottom();
    fiber.stack_size = stack.size();
    fiber.fake_stack = nullptr;
    pending_entry = entry;
#if CUDASIM_TSAN
    if (fiber.tsan_fiber == nullptr) {
        fiber.tsan_fiber = __tsan_create_fiber(0);
    }
#endif
}

}  // namespace

FiberStack::FiberStack(std::size_t size, unsigned colour) {
    const std::size_t page = page_size();
    size_ = (size + page - 1) / page * page;
    mapping_size_ = size_ + page;
    mapping_ = mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mapping_ == MAP_FAILED) {
        std::fprintf(stderr, "cudasim: cannot map a fiber stack of %zu bytes\n", size_);
        std::abort();
    }
    mprotect(mapping_, page, PROT_NONE);
    bottom_ = static_cast<char*>(mapping_) + page;
    offset_ = (colour * 5 % 64) * 64;
}

FiberStack::~FiberStack() {
    munmap(mapping_, mapping_size_);
}

void FiberStack::scrub() {
#if CUDASIM_ASAN
    __asan_unpoison_memory_region(bottom_, size_);
#endif
}

#if CUDASIM_UCONTEXT

namespace {
thread_local Fiber* switched_from = nullptr;

void ucontext_trampoline() {
    after_switch(nullptr, switched_from);
    pending_entry();
    std::abort();
}
}  // namespace

void fiber_prepare(Fiber& fiber, FiberStack& stack, void (*entry)()) {
    getcontext(&fiber.context);
    fiber.context.uc_stack.ss_sp = stack.bottom();
    fiber.context.uc_stack.ss_size = stack.used_size();
    fiber.context.uc_link = nullptr;
    makecontext(&fiber.context, ucontext_trampoline, 0);
    finish_prepare(fiber, stack, entry);
}

void fiber_switch(Fiber& from, Fiber& to) {
    before_switch(from, to, false);
    switched_from = &from;
    swapcontext(&from.context, &to.context);
    after_switch(from.fake_stack, switched_from);
}

void fiber_exit(Fiber& from, Fiber& to) {
    before_switch(from, to, true);
    switched_from = &from;
    setcontext(&to.context);
    std::abort();
}

#else

// Saves the callee-saved registers on the running stack, stores its stack pointer in
// *save_sp, switches to to_sp and restores the registers saved there; the `ret` at the end
// pairs with the `call` that suspended the other fiber at the same place, so the CPU's
// return prediction stays right (a jump-based switch makes every later return miss).
// `arg` arrives as the return value on the other side.
extern "C" void* cudasim_stack_switch(void** save_sp, void* to_sp, void* arg);
// The first return into a fresh fiber lands here: rbx holds its entry, rax the switcher.
extern "C" void cudasim_fiber_start();
asm(R"(
    .text
    .globl cudasim_stack_switch
    .hidden cudasim_stack_switch
    .type cudasim_stack_switch, @function
cudasim_stack_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    movq %rdx, %rax
    ret
    .size cudasim_stack_switch, .-cudasim_stack_switch

    .globl cudasim_fiber_start
    .hidden cudasim_fiber_start
    .type cudasim_fiber_start, @function
cudasim_fiber_start:
    movq %rax, %rdi
    xorl %ebp, %ebp
    andq $-16, %rsp
    callq *%rbx
    ud2
    .size cudasim_fiber_start, .-cudasim_fiber_start
)");

namespace {

void fiber_entry(Fiber* previous) {
    after_switch(nullptr, previous);
    pending_entry();
    std::abort();
}

}  // namespace

void fiber_prepare(Fiber& fiber, FiberStack& stack, void (*entry)()) {
    // The frame that cudasim_stack_switch pops: r15, r14, r13, r12, rbx, rbp, return
    // address; the return address sits on a 16-byte boundary, as after a call.
    uintptr_t top = reinterpret_cast<uintptr_t>(stack.bottom()) + stack.used_size();
    void** frame = reinterpret_cast<void**>((top - 64) & ~uintptr_t{15}) - 6;
    for (int i = 0; i < 6; ++i) {
        frame[i] = nullptr;
    }
    frame[4] = reinterpret_cast<void*>(&fiber_entry);
    frame[6] = reinterpret_cast<void*>(&cudasim_fiber_start);
    fiber.context = frame;
    finish_prepare(fiber, stack, entry);
}

void fiber_switch(Fiber& from, Fiber& to) {
    before_switch(from, to, false);
    void* previous = cudasim_stack_switch(&from.context, to.context, &from);
    after_switch(from.fake_stack, static_cast<Fiber*>(previous));
}

void fiber_exit(Fiber& from, Fiber& to) {
    before_switch(from, to, true);
    cudasim_stack_switch(&from.context, to.context, &from);
    std::abort();
}

#endif

void fiber_adopt_thread(Fiber& fiber) {
    fiber.stack_bottom = nullptr;
    fiber.stack_size = 0;
#if CUDASIM_TSAN
    fiber.tsan_fiber = __tsan_get_current_fiber();
#endif
}

void fiber_release(Fiber& fiber) {
#if CUDASIM_TSAN
    if (fiber.tsan_fiber != nullptr && fiber.tsan_fiber != __tsan_get_current_fiber()) {
        __tsan_destroy_fiber(fiber.tsan_fiber);
    }
    fiber.tsan_fiber = nullptr;
#else
    (void)fiber;
#endif
}

}  // namespace detail
}  // namespace cudasim
