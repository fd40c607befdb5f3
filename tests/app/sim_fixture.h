// In-process start-up on the simulated GPUs: a fresh simulator per test, devices described
// in the simulator's own terms, and the settings the stages read.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/console.h"
#include "app/gpu_device.h"
#include "app/options.h"
#include "cudasim/control.h"

namespace tovren::qel::testing {

constexpr uint64_t kMiB = uint64_t{1} << 20;

inline cudasim::DeviceSpec sim_gpu(const char* name, int sm_count, uint64_t free_mib) {
    cudasim::DeviceSpec model;
    model.name = name;
    model.sm_count = sm_count;
    model.total_mem = 8192 * kMiB;
    model.free_mem = free_mib * kMiB;
    return model;
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cudasim::reset();
        set_console_colors(false);
    }
    void TearDown() override {
        devices_.clear();
        cudasim::set_fail_rules({});
        cudasim::set_corrupt_rules({});
        cudasim::reset();
    }

    void use_gpus(const std::vector<cudasim::DeviceSpec>& specs) {
        cudasim::DeviceList list;
        list.devices = specs;
        for (size_t i = 0; i < specs.size(); ++i) {
            if (specs[i].pci_bus == cudasim::DeviceSpec{}.pci_bus) {
                list.devices[i].pci_bus = static_cast<int>(i) + 1;  // one bus per card
            }
        }
        cudasim::set_devices(list);
    }

    Settings settings_;
    GpuDeviceList devices_;
};

}  // namespace tovren::qel::testing
