// Configuration from the environment and the C++ controls: simulated devices, injected
// call failures, corrupted kernel output and the thread count, malformed values included.
#include <cstring>

#include "sim_test.h"

namespace {

class ConfigTest : public SimTest {
  protected:
    // Sets (or with null, unsets) a variable and makes the simulator read it; returns what
    // the simulator printed on standard error.
    std::string configure(const char* variable, const char* value) {
        if (value != nullptr) {
            setenv(variable, value, 1);
        } else {
            unsetenv(variable);
        }
        ::testing::internal::CaptureStderr();
        cudasim::reset();
        return ::testing::internal::GetCapturedStderr();
    }
};

int device_count(cudaError_t* status = nullptr) {
    int n = -1;
    cudaError_t e = cudaGetDeviceCount(&n);
    if (status != nullptr) {
        *status = e;
    }
    return n;
}

TEST_F(ConfigTest, UnsetMeansOneDefaultDevice) {
    cudaError_t e = cudaErrorUnknown;
    EXPECT_EQ(device_count(&e), 1);
    EXPECT_EQ(e, cudaSuccess);
    cudaDeviceProp prop;
    ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
    EXPECT_STREQ(prop.name, "cudasim GPU");
    EXPECT_EQ(prop.major, 8);
    EXPECT_EQ(prop.minor, 6);
    EXPECT_EQ(prop.totalGlobalMem, size_t{8} << 30);
    EXPECT_EQ(prop.warpSize, 32);
    EXPECT_EQ(prop.pciBusID, 1);
    EXPECT_EQ(prop.pciDeviceID, 0);
}

TEST_F(ConfigTest, ZeroOrEmptyMeansNoDeviceAsOnAMachineWithoutAGpu) {
    for (const char* value : {"0", "", "  "}) {
        EXPECT_EQ(configure("CUDASIM_DEVICES", value), "");
        cudaError_t e = cudaSuccess;
        EXPECT_EQ(device_count(&e), 0);
        EXPECT_EQ(e, cudaErrorNoDevice);
        EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, 8), cudaErrorNoDevice);
    }
    configure("CUDASIM_DEVICES", "none");
    cudaError_t e = cudaErrorUnknown;
    EXPECT_EQ(device_count(&e), 0);
    EXPECT_EQ(e, cudaSuccess);
}

TEST_F(ConfigTest, SeveralDevicesWithEveryField) {
    configure("CUDASIM_DEVICES",
              "name=Tovren X 80; cc=12.0; sm=84; mem=16G; free=15.5G; l2=64M; pci=41:00 |"
              "name=Small;cc=8.9;sm=24;mem=512M;l2=1536K;pci=3:1f|"
              "cc=7.5");
    ASSERT_EQ(device_count(), 3);
    cudaDeviceProp p;
    ASSERT_EQ(cudaGetDeviceProperties(&p, 0), cudaSuccess);
    EXPECT_STREQ(p.name, "Tovren X 80");
    EXPECT_EQ(p.major, 12);
    EXPECT_EQ(p.minor, 0);
    EXPECT_EQ(p.multiProcessorCount, 84);
    EXPECT_EQ(p.totalGlobalMem, size_t{16} << 30);
    EXPECT_EQ(p.l2CacheSize, 64 << 20);
    EXPECT_EQ(p.pciBusID, 0x41);
    EXPECT_EQ(p.pciDeviceID, 0);
    size_t free = 0;
    size_t total = 0;
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(free, (size_t{31} << 30) / 2);
    ASSERT_EQ(cudaGetDeviceProperties(&p, 1), cudaSuccess);
    EXPECT_STREQ(p.name, "Small");
    EXPECT_EQ(p.l2CacheSize, 1536 << 10);
    EXPECT_EQ(p.pciBusID, 3);
    EXPECT_EQ(p.pciDeviceID, 0x1f);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    EXPECT_EQ(total, size_t{512} << 20);
    EXPECT_EQ(free, (size_t{480}) << 20);  // 15/16 of the total by default
    ASSERT_EQ(cudaGetDeviceProperties(&p, 2), cudaSuccess);
    EXPECT_EQ(p.major, 7);
    EXPECT_EQ(p.minor, 5);
    EXPECT_EQ(p.pciBusID, 3);  // its position in the list, counted from 1
    EXPECT_STREQ(p.name, "cudasim GPU");
}

TEST_F(ConfigTest, MalformedDevicesAreAnErrorNeverADefault) {
    const char* bad[] = {
        "name=A;cc=8",         "name=A;cc=x.6", "sm=0",    "mem=lots", "mem=1G;free=2G",
        "name=A;colour=green", "name=A;name=B", "name=A|", "|name=A",  "pci=1:2:3",
        "pci=zz:00",           "l2=4G",         "cc",      "sm=-3",    "mem=1.2345678G",
    };
    for (const char* value : bad) {
        SCOPED_TRACE(value);
        std::string message = configure("CUDASIM_DEVICES", value);
        EXPECT_NE(message.find("cudasim: CUDASIM_DEVICES: "), std::string::npos) << message;
        cudaError_t e = cudaSuccess;
        device_count(&e);
        EXPECT_EQ(e, cudaErrorInitializationError);
        EXPECT_EQ(cudaSetDevice(0), cudaErrorInitializationError);
    }
    // Installing devices from the program replaces the broken setting.
    cudasim::set_devices(cudasim::DeviceList{{cudasim::DeviceSpec{}}, true});
    EXPECT_EQ(device_count(), 1);
}

TEST_F(ConfigTest, FailRulesParse) {
    std::vector<cudasim::FailRule> rules;
    std::string err;
    ASSERT_TRUE(cudasim::parse_fail_rules(
        "cudaMalloc:3:cudaErrorMemoryAllocation, cudaSetDevice@1:1:cudaErrorInvalidDevice,"
        "cudaMemGetInfo:2+:cudaErrorUnknown,cudaEventRecord:*:719",
        rules, err))
        << err;
    ASSERT_EQ(rules.size(), 4u);
    EXPECT_EQ(rules[0].function, "cudaMalloc");
    EXPECT_EQ(rules[0].call, 3u);
    EXPECT_FALSE(rules[0].and_later);
    EXPECT_EQ(rules[0].error, cudaErrorMemoryAllocation);
    EXPECT_EQ(rules[1].device, 1);
    EXPECT_TRUE(rules[2].and_later);
    EXPECT_EQ(rules[2].call, 2u);
    EXPECT_TRUE(rules[3].and_later);
    EXPECT_EQ(rules[3].call, 1u);
    EXPECT_EQ(rules[3].error, cudaErrorLaunchFailure);
    EXPECT_TRUE(cudasim::parse_fail_rules("", rules, err));
    EXPECT_TRUE(rules.empty());
    for (const char* bad : {"cudaMalloc", "cudaMalloc:1", "cudaMaloc:1:cudaErrorUnknown",
                            "cudaMalloc:0:cudaErrorUnknown", "cudaMalloc:x:cudaErrorUnknown",
                            "cudaMalloc:1:cudaErrorNope", "cudaMalloc:1:cudaSuccess",
                            "cudaMalloc@x:1:cudaErrorUnknown", "cudaMalloc:1:2:3",
                            "cudaMalloc:1:cudaErrorUnknown,"}) {
        EXPECT_FALSE(cudasim::parse_fail_rules(bad, rules, err)) << bad;
    }
}

TEST_F(ConfigTest, TheNthCallFailsAndDoesNothing) {
    configure("CUDASIM_FAIL",
              "cudaMalloc:2:cudaErrorMemoryAllocation,cudaFree:1+:cudaErrorUnknown");
    void* a = nullptr;
    void* b = nullptr;
    void* c = nullptr;
    EXPECT_EQ(cudaMalloc(&a, 16), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, 16), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&c, 16), cudaSuccess);
    EXPECT_EQ(cudaFree(a), cudaErrorUnknown);
    EXPECT_EQ(cudaFree(c), cudaErrorUnknown);
    EXPECT_EQ(cudasim::live_allocations().size(), 2u);
    cudasim::set_fail_rules({});
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(c), cudaSuccess);
}

// What enumeration tests need: a property query that fails for the second of three
// devices, and a free-memory query that fails for the third, whatever the order of calls.
TEST_F(ConfigTest, RulesForOneDevice) {
    setenv("CUDASIM_DEVICES", "name=A|name=B|name=C", 1);
    configure("CUDASIM_FAIL",
              "cudaGetDeviceProperties@1:1+:cudaErrorInvalidDevice,"
              "cudaMemGetInfo@2:*:cudaErrorUnknown");
    std::vector<std::string> listed;
    std::vector<bool> memory_known;
    for (int i = 0; i < device_count(); ++i) {
        cudaDeviceProp p;
        if (cudaGetDeviceProperties(&p, i) != cudaSuccess) {
            continue;
        }
        listed.push_back(p.name);
        cudaSetDevice(i);
        size_t free = 0;
        size_t total = 0;
        memory_known.push_back(cudaMemGetInfo(&free, &total) == cudaSuccess);
    }
    EXPECT_EQ(listed, (std::vector<std::string>{"A", "C"}));
    EXPECT_EQ(memory_known, (std::vector<bool>{true, false}));
    cudaDeviceProp p;
    EXPECT_EQ(cudaGetDeviceProperties(&p, 1), cudaErrorInvalidDevice);  // every time
}

TEST_F(ConfigTest, InjectedLaunchAndWaitFailures) {
    configure("CUDASIM_FAIL",
              "cudaLaunchKernel:1:cudaErrorLaunchOutOfResources,"
              "cudaEventSynchronize:1:cudaErrorLaunchFailure");
    void (*kernel)() = [] {};
    EXPECT_EQ(cudaLaunchKernel(kernel, dim3(1), dim3(1), nullptr, 0, nullptr),
              cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudasim::launch_count(), 0u);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
    EXPECT_EQ(cudaLaunchKernel(kernel, dim3(1), dim3(1), nullptr, 0, nullptr), cudaSuccess);
    EXPECT_EQ(cudasim::launch_count(), 1u);
    cudaEvent_t e = nullptr;
    ASSERT_EQ(cudaEventCreate(&e), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(e), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaEventSynchronize(e), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
}

TEST_F(ConfigTest, MalformedFailOrCorruptRulesFailEveryCall) {
    for (const char* variable : {"CUDASIM_FAIL", "CUDASIM_CORRUPT", "CUDASIM_THREADS"}) {
        std::string message = configure(variable, "bogus");
        EXPECT_NE(message.find(std::string("cudasim: ") + variable + ": "), std::string::npos)
            << message;
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, 8), cudaErrorInitializationError);
        EXPECT_EQ(configure(variable, nullptr), "");
        EXPECT_EQ(cudaMalloc(&p, 8), cudaSuccess);
        EXPECT_EQ(cudaFree(p), cudaSuccess);
    }
}

TEST_F(ConfigTest, CorruptRulesParse) {
    std::vector<cudasim::CorruptRule> rules;
    std::string err;
    ASSERT_TRUE(cudasim::parse_corrupt_rules("10, 8+8@1", rules, err)) << err;
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].param, 10);
    EXPECT_EQ(rules[0].offset, 0u);
    EXPECT_EQ(rules[0].device, -1);
    EXPECT_EQ(rules[1].param, 8);
    EXPECT_EQ(rules[1].offset, 8u);
    EXPECT_EQ(rules[1].device, 1);
    for (const char* bad : {"x", "8+", "8@", "+3", "8+x", "300", "8,,9"}) {
        EXPECT_FALSE(cudasim::parse_corrupt_rules(bad, rules, err)) << bad;
    }
}

__global__ void k_fill(uint8_t* a, const uint8_t* unused, uint8_t* b, int value) {
    (void)unused;
    a[threadIdx.x] = static_cast<uint8_t>(value);
    if (b != nullptr) {
        b[threadIdx.x] = static_cast<uint8_t>(value);
    }
}

TEST_F(ConfigTest, CorruptionFlipsAByteBehindNonNullPointers) {
    configure("CUDASIM_CORRUPT", "0+5,2,3,1");
    DeviceBuffer<uint8_t> a(32);
    DeviceBuffer<uint8_t> b(32);
    ASSERT_EQ(launch(k_fill, 1, 32, a.get(), nullptr, b.get(), 0x11), cudaSuccess);
    auto got_a = a.read();
    auto got_b = b.read();
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(got_a[i], i == 5 ? 0xee : 0x11) << i;
        EXPECT_EQ(got_b[i], i == 0 ? 0xee : 0x11) << i;
    }
    // A null pointer is left alone, and so is an offset beyond the buffer.
    cudasim::set_corrupt_rules({cudasim::CorruptRule{2, 0, -1}, cudasim::CorruptRule{0, 32, -1}});
    ASSERT_EQ(launch(k_fill, 1, 32, a.get(), nullptr, nullptr, 0x22), cudaSuccess);
    for (uint8_t v : a.read()) {
        EXPECT_EQ(v, 0x22);
    }
}

TEST_F(ConfigTest, CorruptionOfOneDeviceOnly) {
    cudasim::DeviceList list;
    list.devices.resize(2);
    cudasim::set_devices(list);
    cudasim::set_corrupt_rules({cudasim::CorruptRule{0, 1, 1}});
    for (int device = 0; device < 2; ++device) {
        ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
        DeviceBuffer<uint8_t> a(32);
        ASSERT_EQ(launch(k_fill, 1, 32, a.get(), nullptr, nullptr, 0), cudaSuccess);
        EXPECT_EQ(a.read()[1], device == 1 ? 0xff : 0x00) << device;
    }
}

TEST_F(ConfigTest, ThreadCount) {
    configure("CUDASIM_THREADS", "3");
    EXPECT_EQ(cudasim::threads(), 3u);
    cudasim::set_threads(1);
    EXPECT_EQ(cudasim::threads(), 1u);
    for (const char* bad : {"0", "-1", "1025", "four"}) {
        std::string message = configure("CUDASIM_THREADS", bad);
        EXPECT_NE(message.find("CUDASIM_THREADS"), std::string::npos) << bad;
    }
}

}  // namespace
