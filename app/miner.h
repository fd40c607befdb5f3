// The stages of the miner's main, each callable on its own.
#pragma once

#include "gpu_device.h"
#include "options.h"

namespace tovren::qel {

// Colours, banner, stop signals and the CUDA device order: everything between the option
// loop and the first CUDA call.
void start_console(const Settings& settings);

// Every chosen GPU, then the CPU, proven against the embedded vectors. Returns the exit
// code; 0 means devices holds one self-tested record per chosen GPU.
int prepare_gpus(const Settings& settings, GpuDeviceList& devices);

// The title line, printed once every GPU is ready to mine.
void print_title_line(size_t gpu_count);

// The whole program; main's exit code.
int run_miner(int argc, char** argv);

}  // namespace tovren::qel
