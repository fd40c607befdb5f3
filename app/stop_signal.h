// The process-wide stop flag and the process set-up that start-up makes before the first
// CUDA call.
#pragma once

#include <atomic>

namespace tovren::qel {

// Set by SIGINT, SIGTERM and the shutdown; read by the main loop and every worker.
extern std::atomic<bool> stop_requested;

// Only flips the flag: safe in a signal handler on any thread.
void on_stop_signal(int signal);

// SIGINT and SIGTERM to on_stop_signal; SIGPIPE ignored, so a lost pool socket cannot end
// the process.
void install_stop_signals();

// Number the GPUs in PCI bus order, the order that nvidia-smi and rig tools show, unless
// the user has already chosen an order.
void set_cuda_device_order();

}  // namespace tovren::qel
