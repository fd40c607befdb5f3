// Shared by the simulator's tests: a clean simulator per test, and a launch helper.
#ifndef TESTS_CUDASIM_SIM_TEST_H
#define TESTS_CUDASIM_SIM_TEST_H

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "cudasim/control.h"

class SimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* v :
             {"CUDASIM_DEVICES", "CUDASIM_FAIL", "CUDASIM_CORRUPT", "CUDASIM_THREADS"}) {
            unsetenv(v);
        }
        cudasim::reset();
    }
    void TearDown() override {
        EXPECT_TRUE(cudasim::live_allocations().empty()) << "device memory leaked";
        EXPECT_EQ(cudasim::live_streams(), 0u);
        EXPECT_EQ(cudasim::live_events(), 0u);
        cudasim::reset();
    }
};

template <class T>
struct Same {
    using type = T;
};

// Launches kernel on the legacy stream with arguments converted to its parameter types and
// returns the launch's error.
template <class... P>
cudaError_t launch(void (*kernel)(P...), dim3 grid, dim3 block, typename Same<P>::type... args) {
    void* pointers[] = {&args..., nullptr};
    return cudaLaunchKernel(kernel, grid, block, pointers, 0, nullptr);
}

// A device buffer of n T, freed at scope exit.
template <class T>
class DeviceBuffer {
  public:
    explicit DeviceBuffer(size_t n) : n_(n) {
        EXPECT_EQ(cudaMalloc(&p_, n * sizeof(T)), cudaSuccess);
    }
    ~DeviceBuffer() { cudaFree(p_); }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    T* get() const { return p_; }
    std::vector<T> read() const {
        std::vector<T> out(n_);
        EXPECT_EQ(cudaMemcpy(out.data(), p_, n_ * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return out;
    }
    void write(const std::vector<T>& in) {
        EXPECT_EQ(cudaMemcpy(p_, in.data(), in.size() * sizeof(T), cudaMemcpyHostToDevice),
                  cudaSuccess);
    }

  private:
    T* p_ = nullptr;
    size_t n_;
};

#endif
