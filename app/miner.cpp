#include "miner.h"

#include <cstdio>

#include "console.h"
#include "gpu_selection.h"
#include "mining_loop.h"
#include "self_test.h"
#include "stop_signal.h"
#include "tuning.h"
#include "verify.h"

namespace tovren::qel {

void start_console(const Settings& settings) {
    set_console_colors(settings.color);
    print_banner(kBrandLine, kTitleLine, kVersion, settings.color);
    install_stop_signals();
    set_cuda_device_order();
}

int prepare_gpus(const Settings& settings, GpuDeviceList& devices) {
    const int code = open_gpus(settings, devices);
    if (code != 0) {
        return code;
    }
    return run_cpu_self_test();
}

void print_title_line(size_t gpu_count) {
    std::printf("%s %s %s%s  Argon2id 8 MiB \u00b7 %d GPU%s%s\n", color_bold, kBrandLine, kVersion,
                color_reset, static_cast<int>(gpu_count), gpu_count > 1 ? "s" : "",
                " \u00b7 1% dev fee");
    std::fflush(stdout);
}

int run_miner(int argc, char** argv) {
    Settings settings;
    int exit_code = 0;
    if (!parse_options(argc, argv, settings, exit_code)) {
        return exit_code;
    }
    start_console(settings);

    GpuDeviceList devices;
    exit_code = prepare_gpus(settings, devices);
    if (exit_code != 0) {
        return exit_code;
    }
    if (!settings.verify_file.empty()) {
        return run_verify_mode(settings.verify_file, devices);
    }
    if (!require_payout_address(settings)) {
        return 2;
    }
    settings.worker = default_worker_name(settings.worker);

    exit_code = tune_gpus(devices, settings.hashes);
    if (exit_code != 0) {
        return exit_code;
    }
    print_title_line(devices.size());
    return run_mining_loop(settings, devices);
}

}  // namespace tovren::qel
