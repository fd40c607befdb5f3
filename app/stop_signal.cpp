#include "stop_signal.h"

#include <csignal>
#include <cstdlib>

namespace tovren::qel {

std::atomic<bool> stop_requested{false};

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

void on_stop_signal(int /*signal*/) {
    stop_requested.exchange(true);
}

void install_stop_signals() {
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGPIPE, SIG_IGN);
}

void set_cuda_device_order() {
    (void)setenv("CUDA_DEVICE_ORDER", "PCI_BUS_ID", 0);
}

}  // namespace tovren::qel
