// Shared by the simulator's tests: settings given either way (the environment or the control
// calls), a clean simulator per test, launches and device buffers.
#ifndef TESTS_CUDASIM_SIM_TEST_H
#define TESTS_CUDASIM_SIM_TEST_H

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "cudasim/control.h"

namespace cudasim_test {

// The five settings in their text form; null leaves one unset.
struct Settings {
    const char* devices = nullptr;
    const char* fail = nullptr;
    const char* corrupt = nullptr;
    const char* threads = nullptr;
    const char* order = nullptr;
};

// Resets the simulator with s: in the environment, or (api) read by the parse_* calls and
// handed to the set_* calls.
inline void apply(const Settings& s, bool api) {
    const char* names[] = {"CUDASIM_DEVICES", "CUDASIM_FAIL", "CUDASIM_CORRUPT", "CUDASIM_THREADS",
                           "CUDASIM_ORDER"};
    const char* values[] = {s.devices, s.fail, s.corrupt, s.threads, s.order};
    for (int i = 0; i < 5; ++i)
        api || values[i] == nullptr ? unsetenv(names[i]) : setenv(names[i], values[i], 1);
    cudasim::reset();
    std::string err;
    cudasim::DeviceList devices;
    std::vector<cudasim::FailRule> fail;
    std::vector<cudasim::CorruptRule> corrupt;
    cudasim::LaneOrder order;
    if (!api)
        return;
    ASSERT_TRUE(cudasim::parse_devices(s.devices ? s.devices : "name=cudasim GPU", devices, err) &&
                cudasim::parse_fail_rules(s.fail ? s.fail : "", fail, err) &&
                cudasim::parse_corrupt_rules(s.corrupt ? s.corrupt : "", corrupt, err) &&
                cudasim::parse_lane_order(s.order ? s.order : "ascending", order, err))
        << err;
    cudasim::set_devices(devices), cudasim::set_fail_rules(fail),
        cudasim::set_corrupt_rules(corrupt), cudasim::set_lane_order(order);
    cudasim::set_threads(s.threads ? std::stoul(s.threads) : cudasim::threads());
}

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override { apply({}, false); }
    void TearDown() override { apply({}, false); }
};

// Launches kernel with arguments converted to its parameter types; returns the launch's error.
template <class... P>
cudaError_t launch(cudaStream_t stream, void (*kernel)(P...), dim3 grid, dim3 block,
                   typename std::common_type<P>::type... args) {
    void* pointers[] = {&args..., nullptr};
    return cudaLaunchKernel(kernel, grid, block, pointers, 0, stream);
}

// n elements of device memory with every byte set to fill; reset() frees them.
template <class T>
T* device_array(size_t n, int fill) {
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, n * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemset(p, fill, n * sizeof(T)), cudaSuccess);
    return static_cast<T*>(p);
}

template <class T>
std::vector<T> read(const T* p, size_t n) {
    std::vector<T> out(n);
    EXPECT_EQ(cudaMemcpy(out.data(), p, n * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return out;
}

}  // namespace cudasim_test

#endif
