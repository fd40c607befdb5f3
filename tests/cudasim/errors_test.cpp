// The runtime's error paths: texts, launch configurations, device ordinals, and how errors
// reach cudaGetLastError.
#include <thread>

#include "sim_test.h"

namespace {

class ErrorsTest : public SimTest {};

__global__ void k_count(unsigned* n) {
    atomicAdd(n, 1u);
}

TEST_F(ErrorsTest, TextsAreTheRuntimesOwn) {
    EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidValue), "invalid argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorNoDevice), "no CUDA-capable device is detected");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration),
                 "invalid configuration argument");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
    EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(12345)), "unrecognized error code");
    EXPECT_STREQ(cudaGetErrorName(cudaErrorInvalidResourceHandle),
                 "cudaErrorInvalidResourceHandle");
}

TEST_F(ErrorsTest, ImpossibleLaunchConfigurations) {
    DeviceBuffer<unsigned> n(1);
    ASSERT_EQ(cudaMemset(n.get(), 0, 4), cudaSuccess);
    const dim3 bad[][2] = {
        {dim3(0), dim3(32)},       {dim3(1), dim3(0)},        {dim3(1), dim3(1025)},
        {dim3(1), dim3(32, 33)},   {dim3(1), dim3(1, 1, 65)}, {dim3(1, 65536), dim3(32)},
        {dim3(1, 1, 0), dim3(32)}, {dim3(2), dim3(2048, 1)},
    };
    for (const auto& config : bad) {
        EXPECT_EQ(launch(k_count, config[0], config[1], n.get()), cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);  // not sticky
    }
    EXPECT_EQ(n.read()[0], 0u);
    EXPECT_EQ(cudasim::launch_count(), 0u);
    // The largest legal block runs.
    EXPECT_EQ(launch(k_count, dim3(2), dim3(32, 32), n.get()), cudaSuccess);
    EXPECT_EQ(launch(k_count, dim3(1), dim3(1, 1, 64), n.get()), cudaSuccess);
    EXPECT_EQ(n.read()[0], 2048u + 64u);
}

TEST_F(ErrorsTest, NullKernelsArgumentsAndTooMuchSharedMemory) {
    void (*none)(unsigned*) = nullptr;
    DeviceBuffer<unsigned> n(1);
    unsigned* p = n.get();
    void* args[] = {&p};
    EXPECT_EQ(cudaLaunchKernel(none, dim3(1), dim3(1), args, 0, nullptr),
              cudaErrorInvalidDeviceFunction);
    EXPECT_EQ(cudaLaunchKernel(k_count, dim3(1), dim3(1), nullptr, 0, nullptr),
              cudaErrorInvalidValue);
    void* null_entry[] = {nullptr};
    EXPECT_EQ(cudaLaunchKernel(k_count, dim3(1), dim3(1), null_entry, 0, nullptr),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaLaunchKernel(k_count, dim3(1), dim3(1), args, 64 * 1024, nullptr),
              cudaErrorInvalidValue);
    cudaStream_t bogus = reinterpret_cast<cudaStream_t>(&p);
    EXPECT_EQ(cudaLaunchKernel(k_count, dim3(1), dim3(1), args, 0, bogus),
              cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
}

TEST_F(ErrorsTest, EveryFailingCallSetsTheLastError) {
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaSetDevice(1), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);  // success leaves it
    EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    // Per thread, as in the real runtime.
    EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
    cudaError_t other = cudaErrorUnknown;
    std::thread([&] { other = cudaGetLastError(); }).join();
    EXPECT_EQ(other, cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
}

TEST_F(ErrorsTest, BadOrdinalsAndNullPointers) {
    cudaDeviceProp prop;
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetDeviceProperties(&prop, -1), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetDeviceProperties(nullptr, 0), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetDeviceCount(nullptr), cudaErrorInvalidValue);
    EXPECT_EQ(cudaGetDevice(nullptr), cudaErrorInvalidValue);
    size_t free = 0;
    EXPECT_EQ(cudaMemGetInfo(&free, nullptr), cudaErrorInvalidValue);
    int device = -1;
    EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
    EXPECT_EQ(device, 0);
}

TEST_F(ErrorsTest, TheCurrentDeviceIsPerThread) {
    cudasim::DeviceList list;
    list.devices.resize(3);
    cudasim::set_devices(list);
    ASSERT_EQ(cudaSetDevice(2), cudaSuccess);
    int there = -1;
    std::thread([&] { cudaGetDevice(&there); }).join();
    EXPECT_EQ(there, 0);
    int here = -1;
    EXPECT_EQ(cudaGetDevice(&here), cudaSuccess);
    EXPECT_EQ(here, 2);
}

}  // namespace
