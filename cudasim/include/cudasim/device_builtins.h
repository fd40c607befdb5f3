// The device-side vocabulary of CUDA C++, so that a .cu file compiles as host C++ and its
// kernels run on the simulator: qualifiers, built-in variables, warp and block
// synchronisation, atomics and the integer intrinsics, with the programming guide's semantics.
//
// Each block runs on one OS thread at a time, its threads as fibers on that thread, so the
// built-in variables and __shared__ storage live in thread-local storage.
#ifndef CUDASIM_DEVICE_BUILTINS_H
#define CUDASIM_DEVICE_BUILTINS_H

#include <cstdint>
#include <cstring>
#include <memory>  // before __noinline__ is defined: libstdc++ spells an attribute that way
#include <type_traits>

#include "cudasim/vector_types.h"

#define __global__
#define __device__
#define __host__
#define __constant__
#define __managed__
#define __forceinline__ inline __attribute__((always_inline))
#define __noinline__ __attribute__((noinline))
#define __align__(n) __attribute__((aligned(n)))
#define __launch_bounds__(...)
// One copy per OS thread, and an OS thread runs one block at a time: storage per block.
#define __shared__ static __thread

extern __thread uint3 threadIdx;
extern __thread uint3 blockIdx;
extern __thread dim3 blockDim;
extern __thread dim3 gridDim;
constexpr int warpSize = 32;

namespace cudasim {
namespace detail {

enum class WarpOp : unsigned char {
    sync,
    shfl_idx,
    shfl_up,
    shfl_down,
    shfl_xor,
    ballot,
    any,
    all
};

// A warp-wide operation of the calling lane among the lanes named in mask: returns the
// shuffled value, the ballot, or the any/all verdict.
uint64_t warp_op(WarpOp op, unsigned int mask, uint64_t value, int arg, int width);
// __syncthreads among the block's threads that have not exited; returns how many of them
// passed a non-zero predicate.
int block_barrier(int predicate);
unsigned int active_mask();
[[noreturn]] void trap();

template <class T>
inline uint64_t to_bits(T v) {
    static_assert(std::is_trivially_copyable<T>::value && sizeof(T) <= 8,
                  "shuffles move values of at most 64 bits");
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof(T));
    return bits;
}
template <class T>
inline T from_bits(uint64_t bits) {
    T v;
    std::memcpy(&v, &bits, sizeof(T));
    return v;
}

}  // namespace detail
}  // namespace cudasim

// Synchronisation and warp collectives.

inline void __syncthreads() {
    cudasim::detail::block_barrier(0);
}
inline int __syncthreads_count(int predicate) {
    return cudasim::detail::block_barrier(predicate);
}
inline int __syncthreads_and(int predicate) {
    int n = static_cast<int>(blockDim.x * blockDim.y * blockDim.z);
    return cudasim::detail::block_barrier(predicate) == n;
}
inline int __syncthreads_or(int predicate) {
    return cudasim::detail::block_barrier(predicate) != 0;
}
inline void __syncwarp(unsigned int mask = 0xffffffffu) {
    cudasim::detail::warp_op(cudasim::detail::WarpOp::sync, mask, 0, 0, warpSize);
}
inline unsigned int __activemask() {
    return cudasim::detail::active_mask();
}

template <class T>
inline T __shfl_sync(unsigned int mask, T var, int srcLane, int width = warpSize) {
    using cudasim::detail::WarpOp;
    return cudasim::detail::from_bits<T>(cudasim::detail::warp_op(
        WarpOp::shfl_idx, mask, cudasim::detail::to_bits(var), srcLane, width));
}
template <class T>
inline T __shfl_up_sync(unsigned int mask, T var, unsigned int delta, int width = warpSize) {
    using cudasim::detail::WarpOp;
    return cudasim::detail::from_bits<T>(
        cudasim::detail::warp_op(WarpOp::shfl_up, mask, cudasim::detail::to_bits(var),
                                 static_cast<int>(delta & 31u), width));
}
template <class T>
inline T __shfl_down_sync(unsigned int mask, T var, unsigned int delta, int width = warpSize) {
    using cudasim::detail::WarpOp;
    return cudasim::detail::from_bits<T>(
        cudasim::detail::warp_op(WarpOp::shfl_down, mask, cudasim::detail::to_bits(var),
                                 static_cast<int>(delta & 31u), width));
}
template <class T>
inline T __shfl_xor_sync(unsigned int mask, T var, int laneMask, int width = warpSize) {
    using cudasim::detail::WarpOp;
    return cudasim::detail::from_bits<T>(cudasim::detail::warp_op(
        WarpOp::shfl_xor, mask, cudasim::detail::to_bits(var), laneMask & 31, width));
}
inline unsigned int __ballot_sync(unsigned int mask, int predicate) {
    using cudasim::detail::WarpOp;
    return static_cast<unsigned int>(
        cudasim::detail::warp_op(WarpOp::ballot, mask, predicate != 0, 0, warpSize));
}
inline int __any_sync(unsigned int mask, int predicate) {
    using cudasim::detail::WarpOp;
    return static_cast<int>(
        cudasim::detail::warp_op(WarpOp::any, mask, predicate != 0, 0, warpSize));
}
inline int __all_sync(unsigned int mask, int predicate) {
    using cudasim::detail::WarpOp;
    return static_cast<int>(
        cudasim::detail::warp_op(WarpOp::all, mask, predicate != 0, 0, warpSize));
}

// Blocks of one grid run on several OS threads at once: the fences are real fences.
inline void __threadfence_block() {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
inline void __threadfence() {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
inline void __threadfence_system() {
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
[[noreturn]] inline void __trap() {
    cudasim::detail::trap();
}

// Atomics on device memory; like the hardware's, they order nothing but themselves.

#define CUDASIM_ATOMIC_RMW(name, builtin, type)         \
    inline type name(type* address, type val) {         \
        return builtin(address, val, __ATOMIC_RELAXED); \
    }
CUDASIM_ATOMIC_RMW(atomicAdd, __atomic_fetch_add, int)
CUDASIM_ATOMIC_RMW(atomicAdd, __atomic_fetch_add, unsigned int)
CUDASIM_ATOMIC_RMW(atomicAdd, __atomic_fetch_add, unsigned long long)
CUDASIM_ATOMIC_RMW(atomicSub, __atomic_fetch_sub, int)
CUDASIM_ATOMIC_RMW(atomicSub, __atomic_fetch_sub, unsigned int)
CUDASIM_ATOMIC_RMW(atomicExch, __atomic_exchange_n, int)
CUDASIM_ATOMIC_RMW(atomicExch, __atomic_exchange_n, unsigned int)
CUDASIM_ATOMIC_RMW(atomicExch, __atomic_exchange_n, unsigned long long)
CUDASIM_ATOMIC_RMW(atomicAnd, __atomic_fetch_and, int)
CUDASIM_ATOMIC_RMW(atomicAnd, __atomic_fetch_and, unsigned int)
CUDASIM_ATOMIC_RMW(atomicAnd, __atomic_fetch_and, unsigned long long)
CUDASIM_ATOMIC_RMW(atomicOr, __atomic_fetch_or, int)
CUDASIM_ATOMIC_RMW(atomicOr, __atomic_fetch_or, unsigned int)
CUDASIM_ATOMIC_RMW(atomicOr, __atomic_fetch_or, unsigned long long)
CUDASIM_ATOMIC_RMW(atomicXor, __atomic_fetch_xor, int)
CUDASIM_ATOMIC_RMW(atomicXor, __atomic_fetch_xor, unsigned int)
CUDASIM_ATOMIC_RMW(atomicXor, __atomic_fetch_xor, unsigned long long)
#undef CUDASIM_ATOMIC_RMW

template <class T>
inline T cudasim_atomic_cas(T* address, T compare, T val) {
    __atomic_compare_exchange_n(address, &compare, val, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
    return compare;
}
inline int atomicCAS(int* address, int compare, int val) {
    return cudasim_atomic_cas(address, compare, val);
}
inline unsigned int atomicCAS(unsigned int* address, unsigned int compare, unsigned int val) {
    return cudasim_atomic_cas(address, compare, val);
}
inline unsigned long long atomicCAS(unsigned long long* address, unsigned long long compare,
                                    unsigned long long val) {
    return cudasim_atomic_cas(address, compare, val);
}

template <class T, class Pick>
inline T cudasim_atomic_pick(T* address, T val, Pick pick) {
    T old = __atomic_load_n(address, __ATOMIC_RELAXED);
    while (!__atomic_compare_exchange_n(address, &old, pick(old, val), true, __ATOMIC_RELAXED,
                                        __ATOMIC_RELAXED)) {
    }
    return old;
}
#define CUDASIM_ATOMIC_PICK(name, type, op)                                                      \
    inline type name(type* address, type val) {                                                  \
        return cudasim_atomic_pick(address, val, [](type a, type b) { return a op b ? a : b; }); \
    }
CUDASIM_ATOMIC_PICK(atomicMin, int, <)
CUDASIM_ATOMIC_PICK(atomicMin, unsigned int, <)
CUDASIM_ATOMIC_PICK(atomicMin, unsigned long long, <)
CUDASIM_ATOMIC_PICK(atomicMax, int, >)
CUDASIM_ATOMIC_PICK(atomicMax, unsigned int, >)
CUDASIM_ATOMIC_PICK(atomicMax, unsigned long long, >)
#undef CUDASIM_ATOMIC_PICK

// Integer intrinsics.

inline unsigned int __umulhi(unsigned int x, unsigned int y) {
    return static_cast<unsigned int>((static_cast<unsigned long long>(x) * y) >> 32);
}
inline int __mulhi(int x, int y) {
    return static_cast<int>((static_cast<long long>(x) * y) >> 32);
}
inline unsigned long long __umul64hi(unsigned long long x, unsigned long long y) {
    return static_cast<unsigned long long>((static_cast<unsigned __int128>(x) * y) >> 64);
}
inline long long __mul64hi(long long x, long long y) {
    return static_cast<long long>((static_cast<__int128>(x) * y) >> 64);
}
inline int __popc(unsigned int x) {
    return __builtin_popcount(x);
}
inline int __popcll(unsigned long long x) {
    return __builtin_popcountll(x);
}
inline int __clz(int x) {
    return x == 0 ? 32 : __builtin_clz(static_cast<unsigned int>(x));
}
inline int __clzll(long long x) {
    return x == 0 ? 64 : __builtin_clzll(static_cast<unsigned long long>(x));
}
inline int __ffs(int x) {
    return __builtin_ffs(x);
}
inline int __ffsll(long long x) {
    return __builtin_ffsll(x);
}
inline unsigned int __brev(unsigned int x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
    return __builtin_bswap32(x);
}
inline unsigned long long __brevll(unsigned long long x) {
    return (static_cast<unsigned long long>(__brev(static_cast<unsigned int>(x))) << 32) |
           __brev(static_cast<unsigned int>(x >> 32));
}
// hi:lo shifted left by shift mod 32; the upper word.
inline unsigned int __funnelshift_l(unsigned int lo, unsigned int hi, unsigned int shift) {
    unsigned long long both = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned int>((both << (shift & 31u)) >> 32);
}
// hi:lo shifted right by shift mod 32; the lower word.
inline unsigned int __funnelshift_r(unsigned int lo, unsigned int hi, unsigned int shift) {
    unsigned long long both = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned int>(both >> (shift & 31u));
}
// As above with the shift clamped to 32 instead of taken mod 32.
inline unsigned int __funnelshift_lc(unsigned int lo, unsigned int hi, unsigned int shift) {
    unsigned long long both = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned int>((both << (shift < 32u ? shift : 32u)) >> 32);
}
inline unsigned int __funnelshift_rc(unsigned int lo, unsigned int hi, unsigned int shift) {
    unsigned long long both = (static_cast<unsigned long long>(hi) << 32) | lo;
    return static_cast<unsigned int>(both >> (shift < 32u ? shift : 32u));
}
// Byte n of the result is byte (s >> 4n) & 7 of the eight bytes y:x.
inline unsigned int __byte_perm(unsigned int x, unsigned int y, unsigned int s) {
    unsigned long long both = (static_cast<unsigned long long>(y) << 32) | x;
    unsigned int r = 0;
    for (int n = 0; n < 4; ++n) {
        unsigned int pick = (s >> (4 * n)) & 7u;
        r |= static_cast<unsigned int>((both >> (8 * pick)) & 0xffu) << (8 * n);
    }
    return r;
}

// Read-only loads are plain loads here.
template <class T>
inline T __ldg(const T* address) {
    return *address;
}

// The overloads of min and max that CUDA puts in the global namespace.
#define CUDASIM_MIN_MAX(r, a, b)                                                              \
    inline r min(a x, b y) {                                                                  \
        return static_cast<r>(x) < static_cast<r>(y) ? static_cast<r>(x) : static_cast<r>(y); \
    }                                                                                         \
    inline r max(a x, b y) {                                                                  \
        return static_cast<r>(x) > static_cast<r>(y) ? static_cast<r>(x) : static_cast<r>(y); \
    }
CUDASIM_MIN_MAX(int, int, int)
CUDASIM_MIN_MAX(unsigned int, unsigned int, unsigned int)
CUDASIM_MIN_MAX(unsigned int, int, unsigned int)
CUDASIM_MIN_MAX(unsigned int, unsigned int, int)
CUDASIM_MIN_MAX(long, long, long)
CUDASIM_MIN_MAX(unsigned long, unsigned long, unsigned long)
CUDASIM_MIN_MAX(unsigned long, long, unsigned long)
CUDASIM_MIN_MAX(unsigned long, unsigned long, long)
CUDASIM_MIN_MAX(long long, long long, long long)
CUDASIM_MIN_MAX(unsigned long long, unsigned long long, unsigned long long)
CUDASIM_MIN_MAX(unsigned long long, long long, unsigned long long)
CUDASIM_MIN_MAX(unsigned long long, unsigned long long, long long)
CUDASIM_MIN_MAX(float, float, float)
CUDASIM_MIN_MAX(double, double, double)
CUDASIM_MIN_MAX(double, float, double)
CUDASIM_MIN_MAX(double, double, float)
#undef CUDASIM_MIN_MAX

#endif
