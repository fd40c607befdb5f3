#include "gpu/gpu_info.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "gpu_test_util.h"

namespace tovren::qel {
namespace {

// One line per listed device: ordinal, name, bus id, compute capability, SMs, L2 bytes,
// total and free memory.
std::string describe(const std::vector<GpuInfo>& list) {
    std::string s;
    for (const GpuInfo& g : list) {
        char line[200];
        std::snprintf(line, sizeof line, "%d %s %s %d.%d %d %lld %llu %llu\n", g.ordinal,
                      g.name.c_str(), g.pci_bus_id.c_str(), g.cc_major, g.cc_minor, g.sm_count,
                      static_cast<long long>(g.l2_cache_bytes),
                      static_cast<unsigned long long>(g.total_mem),
                      static_cast<unsigned long long>(g.free_mem));
        s += line;
    }
    return s;
}

struct EnumCase {
    size_t devices;  // the first of the models A, B, C
    bool no_device_is_error;
    std::vector<cudasim::FailRule> rules;
    std::string listed;
    std::string err;
};

class Enumeration : public test::SimTest {};

// Devices whose properties cannot be read are left out, the others keep their ordinals; a
// failed memory query keeps the device with free memory 0; err is set only when the count
// cannot be had (no device at all is an error or a count of 0, as the runtime says).
TEST_F(Enumeration, ListsTheReadableDevicesOrSaysWhyNone) {
    cudasim::DeviceSpec models[3];
    models[0].name = "A";
    models[0].pci_bus = 0x41;
    models[0].major = 12;
    models[0].minor = 0;
    models[0].sm_count = 170;
    models[0].l2_bytes = 96 << 20;
    models[0].total_mem = uint64_t{32} << 30;
    models[0].free_mem = uint64_t{31} << 30;
    models[1].name = "B";
    models[1].pci_bus = 3;
    models[1].pci_device = 0x1f;
    models[2].name = "C";
    models[2].pci_bus = 0x100;  // the width of the bus number is a minimum
    models[2].pci_device = 2;
    const std::string a = "0 A 41:00.0 12.0 170 100663296 34359738368 33285996544\n";
    const std::string b = "1 B 03:1f.0 8.6 46 4194304 8589934592 ";
    const std::string c = "2 C 100:02.0 8.6 46 4194304 8589934592 8053063680\n";
    const auto props = fail("cudaGetDeviceProperties", 1, cudaErrorInvalidDevice, 1);
    const auto meminfo = fail("cudaMemGetInfo", 2, cudaErrorUnknown);
    const auto count = fail("cudaGetDeviceCount", 1, cudaErrorInsufficientDriver);
    const EnumCase cases[] = {
        {3, true, {}, a + b + "8053063680\n" + c, "untouched"},
        {3, true, {props}, a + c, "untouched"},
        {3, true, {meminfo}, a + b + "0\n" + c, "untouched"},
        {3,
         true,
         {count},
         "",
         "CUDA: CUDA driver version is insufficient for CUDA runtime version"},
        {0, false, {}, "", "untouched"},
        {0, true, {}, "", "CUDA: no CUDA-capable device is detected"},
    };
    for (const EnumCase& e : cases) {
        SCOPED_TRACE(e.err + " " + e.listed);
        cudasim::DeviceList list;
        list.devices.assign(models, models + e.devices);
        list.no_device_is_error = e.no_device_is_error;
        cudasim::set_devices(list);
        cudasim::set_fail_rules(e.rules);
        std::string err = "untouched";
        EXPECT_EQ(describe(enumerate_gpus(err)), e.listed);
        EXPECT_EQ(err, e.err);
    }
}

// The step word, a colon and a blank, then the runtime's own text for the error.
TEST(CudaError, WordColonRuntimeText) {
    const struct {
        const char* step;
        cudaError_t error;
        const char* text;
    } cases[] = {
        {"set device", cudaErrorInvalidDevice, "set device: invalid device ordinal"},
        {"kernel", cudaErrorLaunchFailure, "kernel: unspecified launch failure"},
        {"kernel launch", cudaErrorLaunchOutOfResources,
         "kernel launch: too many resources requested for launch"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cuda_error(c.step, c.error), c.text);
}

}  // namespace
}  // namespace tovren::qel
