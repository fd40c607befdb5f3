// In-process start-up on simulated GPUs: a fresh simulator per test, the settings the stages
// read, and the embedded vectors as the records of a verify file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/gpu_device.h"
#include "app/options.h"
#include "app/self_test_vectors.h"
#include "cudasim/control.h"

namespace tovren::qel::testing {

struct SimTest : ::testing::Test {
    // GPUs "A", "B", ... of {multiprocessors, free MiB}, each on its own bus, with no faults.
    static void use_gpus(const std::vector<std::pair<int, int>>& gpus) {
        cudasim::reset();
        cudasim::DeviceList list;
        for (const auto& [sm_count, free_mib] : gpus) {
            cudasim::DeviceSpec& gpu = list.devices.emplace_back();
            gpu.pci_bus = static_cast<int>(list.devices.size());
            gpu.name = std::string(1, static_cast<char>('A' + gpu.pci_bus - 1));
            gpu.sm_count = sm_count;
            gpu.free_mem = static_cast<uint64_t>(free_mib) << 20;
        }
        cudasim::set_devices(list);
        cudasim::set_fail_rules({});
        cudasim::set_corrupt_rules({});
    }

    Settings settings_;
    GpuDeviceList devices_;
};

// The embedded vectors, over and over, as n records.
inline std::string verify_records(size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        const SelfTestVector& v = self_test_vectors[i % kSelfTestVectorCount];
        text += std::string(v.header_hex) + " " + std::to_string(v.nonce) + " " + v.expected_hex +
                " 0\n";
    }
    return text;
}

}  // namespace tovren::qel::testing
