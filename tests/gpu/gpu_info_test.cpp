#include "gpu/gpu_info.h"

#include <gtest/gtest.h>

#include "gpu_test_util.h"

namespace tovren::qel {
namespace {

class Enumeration : public test::SimTest {
  protected:
    static cudasim::DeviceSpec model(const char* name, int bus, int dev) {
        cudasim::DeviceSpec s;
        s.name = name;
        s.pci_bus = bus;
        s.pci_device = dev;
        return s;
    }
    static void use(std::vector<cudasim::DeviceSpec> specs, bool no_device_is_error = true) {
        cudasim::DeviceList list;
        list.devices = std::move(specs);
        list.no_device_is_error = no_device_is_error;
        cudasim::set_devices(list);
    }
};

TEST_F(Enumeration, DescribesEveryDevice) {
    cudasim::DeviceSpec a = model("Rig GPU A", 0x41, 0);
    a.major = 12;
    a.minor = 0;
    a.sm_count = 170;
    a.l2_bytes = 96 << 20;
    a.total_mem = uint64_t{32} << 30;
    a.free_mem = uint64_t{31} << 30;
    use({a, model("Rig GPU B", 3, 0x1f), model("Rig GPU C", 0x100, 2)});

    std::string err = "untouched";
    const auto list = enumerate_gpus(err);
    EXPECT_EQ(err, "untouched");
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].ordinal, 0);
    EXPECT_EQ(list[0].name, "Rig GPU A");
    EXPECT_EQ(list[0].pci_bus_id, "41:00.0");
    EXPECT_EQ(list[0].cc_major, 12);
    EXPECT_EQ(list[0].cc_minor, 0);
    EXPECT_EQ(list[0].sm_count, 170);
    EXPECT_EQ(list[0].l2_cache_bytes, int64_t{96} << 20);
    EXPECT_EQ(list[0].total_mem, uint64_t{32} << 30);
    EXPECT_EQ(list[0].free_mem, uint64_t{31} << 30);
    EXPECT_EQ(list[1].pci_bus_id, "03:1f.0");
    EXPECT_EQ(list[2].pci_bus_id, "100:02.0");  // the width is a minimum
    EXPECT_EQ(list[2].ordinal, 2);
}

TEST_F(Enumeration, CountFailureGivesEmptyListAndCudaText) {
    cudasim::set_fail_rules({fail("cudaGetDeviceCount", 1, cudaErrorInsufficientDriver)});
    std::string err;
    EXPECT_TRUE(enumerate_gpus(err).empty());
    EXPECT_EQ(err, "CUDA: CUDA driver version is insufficient for CUDA runtime version");
}

TEST_F(Enumeration, NoDevice) {
    use({}, false);
    std::string err = "untouched";
    EXPECT_TRUE(enumerate_gpus(err).empty());
    EXPECT_EQ(err, "untouched");

    use({}, true);
    EXPECT_TRUE(enumerate_gpus(err).empty());
    EXPECT_EQ(err, "CUDA: no CUDA-capable device is detected");
}

TEST_F(Enumeration, UnreadableDeviceIsSkippedOthersKeepTheirOrdinals) {
    use({model("A", 1, 0), model("B", 2, 0), model("C", 3, 0)});
    auto rule = fail("cudaGetDeviceProperties", 1, cudaErrorInvalidDevice);
    rule.device = 1;
    cudasim::set_fail_rules({rule});
    std::string err;
    const auto list = enumerate_gpus(err);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].ordinal, 0);
    EXPECT_EQ(list[0].name, "A");
    EXPECT_EQ(list[1].ordinal, 2);
    EXPECT_EQ(list[1].name, "C");
    EXPECT_TRUE(err.empty());
}

TEST_F(Enumeration, FailingFreeMemoryQueryKeepsTheDevice) {
    cudasim::DeviceSpec a = model("A", 1, 0);
    a.free_mem = uint64_t{5} << 30;
    use({a, a});
    cudasim::set_fail_rules({fail("cudaMemGetInfo", 2, cudaErrorUnknown)});
    std::string err;
    const auto list = enumerate_gpus(err);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].free_mem, uint64_t{5} << 30);
    EXPECT_EQ(list[1].free_mem, 0u);
    EXPECT_EQ(list[1].name, "A");
    EXPECT_EQ(list[1].total_mem, a.total_mem);
    EXPECT_EQ(list[1].pci_bus_id, "01:00.0");
}

TEST(CudaError, WordColonRuntimeText) {
    EXPECT_EQ(cuda_error("set device", cudaErrorInvalidDevice),
              "set device: invalid device ordinal");
    EXPECT_EQ(cuda_error("kernel", cudaErrorLaunchFailure), "kernel: unspecified launch failure");
}

}  // namespace
}  // namespace tovren::qel
