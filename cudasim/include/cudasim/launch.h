// How cudaLaunchKernel hands a kernel and its arguments to the simulator: the arguments are
// copied once at launch, as the real runtime does, and every thread of the grid calls the
// kernel with its own copies.
#ifndef CUDASIM_LAUNCH_H
#define CUDASIM_LAUNCH_H

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cudasim/vector_types.h"

namespace cudasim {
namespace detail {

struct KernelLaunch {
    const void* kernel = nullptr;  // the kernel's address: its identity in messages
    void (*run_thread)(const void* frame) = nullptr;
    const void* frame = nullptr;
    bool arguments_present = true;        // false: args, or one of its entries, was null
    void* const* pointer_args = nullptr;  // per parameter: its value if it is a data pointer
    int arg_count = 0;
};

// Validates the launch, runs the grid to completion and applies any corruption rule.
// Returns the launch's own error (also recorded as the thread's last error).
int launch(const KernelLaunch& kernel, dim3 grid, dim3 block, std::size_t shared_bytes,
           void* stream);

template <class... P>
struct KernelFrame {
    void (*kernel)(P...);
    std::tuple<P...> args;
};

template <class... P>
void run_frame(const void* frame) {
    const auto* f = static_cast<const KernelFrame<P...>*>(frame);
    std::apply(f->kernel, f->args);
}

template <class T>
void* pointer_value(const T& value) {
    if constexpr (std::is_pointer<T>::value &&
                  std::is_object<typename std::remove_pointer<T>::type>::value) {
        return const_cast<void*>(static_cast<const volatile void*>(value));
    } else {
        (void)value;
        return nullptr;
    }
}

template <class... P, std::size_t... I>
int launch_kernel(void (*kernel)(P...), dim3 grid, dim3 block, void** args,
                  std::size_t shared_bytes, void* stream, std::index_sequence<I...>) {
    KernelLaunch launch_info;
    launch_info.kernel = reinterpret_cast<const void*>(kernel);
    launch_info.arg_count = static_cast<int>(sizeof...(P));
    bool present = sizeof...(P) == 0 || args != nullptr;
    for (std::size_t i = 0; present && i < sizeof...(P); ++i) {
        present = args[i] != nullptr;
    }
    if (kernel == nullptr || !present) {
        launch_info.arguments_present = present;
        return launch(launch_info, grid, block, shared_bytes, stream);
    }
    KernelFrame<P...> frame{kernel, std::tuple<P...>(*static_cast<P*>(args[I])...)};
    void* pointers[sizeof...(P) + 1] = {pointer_value(std::get<I>(frame.args))..., nullptr};
    launch_info.run_thread = &run_frame<P...>;
    launch_info.frame = &frame;
    launch_info.pointer_args = pointers;
    return launch(launch_info, grid, block, shared_bytes, stream);
}

}  // namespace detail
}  // namespace cudasim

#endif
