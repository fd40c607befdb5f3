// What the runtime refuses, and how: bad arguments and handles, impossible launches, and the
// texts of its errors. A refusal does nothing else, and it is the calling thread's last error
// until read, once.
#include <functional>

#include "sample_kernel.h"
#include "sim_test.h"

namespace cudasim_test {
namespace {

using Refusals = SimTest;

struct Refusal {
    const char* call;
    std::function<cudaError_t()> run;
    cudaError_t want;
};

void check(const std::vector<Refusal>& rows) {
    for (const Refusal& r : rows) {
        ASSERT_EQ(cudaGetLastError(), cudaSuccess) << "before " << r.call;
        EXPECT_EQ(r.run(), r.want) << r.call;
        EXPECT_EQ(cudaPeekAtLastError(), r.want) << r.call << ": peeked";
        EXPECT_EQ(cudaGetLastError(), r.want) << r.call << ": read";
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << r.call << ": read twice";
    }
}

TEST_F(Refusals, BadArgumentsAndHandles) {
    uint8_t* dev = device_array<uint8_t>(100, 0);
    uint8_t* freed = device_array<uint8_t>(16, 0);
    ASSERT_EQ(cudaFree(freed), cudaSuccess);
    uint8_t host[200] = {};
    cudaDeviceProp prop;
    size_t bytes = 0;
    float ms = 0;
    cudaStream_t stream = nullptr, gone = nullptr;
    cudaEvent_t event = nullptr, start = nullptr, end = nullptr, untimed = nullptr,
                unrecorded = nullptr, dead = nullptr;
    for (cudaEvent_t* e : {&start, &end, &unrecorded, &dead})
        ASSERT_EQ(cudaEventCreate(e), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming), cudaSuccess);
    for (cudaEvent_t e : {start, end, untimed})
        ASSERT_EQ(cudaEventRecord(e), cudaSuccess);
    ASSERT_EQ(cudaStreamCreate(&gone), cudaSuccess);
    ASSERT_EQ(cudaStreamDestroy(gone), cudaSuccess);
    ASSERT_EQ(cudaEventDestroy(dead), cudaSuccess);
    const auto bogus = reinterpret_cast<cudaStream_t>(&host);
    const auto copy = [&](void* to, const void* from, size_t count, int kind) {
        return cudaMemcpy(to, from, count, static_cast<cudaMemcpyKind>(kind));
    };
    int none = kNone;
    void* args[] = {&none};
    void* null_entry[] = {nullptr};
    const auto fill = [&](void** a, size_t shared, cudaStream_t s) {
        return cudaLaunchKernel(k_fault, dim3(1), dim3(1), a, shared, s);
    };
    void (*no_kernel)(int) = nullptr;

    check({
        {"cudaGetDeviceProperties(&prop, 1)", [&] { return cudaGetDeviceProperties(&prop, 1); },
         cudaErrorInvalidDevice},
        {"cudaGetDeviceProperties(&prop, -1)", [&] { return cudaGetDeviceProperties(&prop, -1); },
         cudaErrorInvalidDevice},
        {"cudaGetDeviceProperties(null, 0)", [&] { return cudaGetDeviceProperties(nullptr, 0); },
         cudaErrorInvalidValue},
        {"cudaGetDeviceCount(null)", [] { return cudaGetDeviceCount(nullptr); },
         cudaErrorInvalidValue},
        {"cudaGetDevice(null)", [] { return cudaGetDevice(nullptr); }, cudaErrorInvalidValue},
        {"cudaSetDevice(-1)", [] { return cudaSetDevice(-1); }, cudaErrorInvalidDevice},
        {"cudaMemGetInfo(&free, null)", [&] { return cudaMemGetInfo(&bytes, nullptr); },
         cudaErrorInvalidValue},
        {"cudaMalloc(null, 16)", [] { return cudaMalloc(static_cast<void**>(nullptr), 16); },
         cudaErrorInvalidValue},
        {"cudaFree(null)", [] { return cudaFree(nullptr); }, cudaSuccess},
        {"cudaFree(dev + 1)", [&] { return cudaFree(dev + 1); }, cudaErrorInvalidValue},
        {"cudaFree(host)", [&] { return cudaFree(host); }, cudaErrorInvalidValue},
        {"cudaFree(freed)", [&] { return cudaFree(freed); }, cudaErrorInvalidValue},
        {"cudaMemcpy kind 7", [&] { return copy(host, dev, 10, 7); },
         cudaErrorInvalidMemcpyDirection},
        {"cudaMemcpy kind -1", [&] { return copy(host, dev, 10, -1); },
         cudaErrorInvalidMemcpyDirection},
        {"cudaMemcpy(null, dev, 10, D2H)", [&] { return copy(nullptr, dev, 10, 2); },
         cudaErrorInvalidValue},
        {"cudaMemcpy(dev, null, 10, H2D)", [&] { return copy(dev, nullptr, 10, 1); },
         cudaErrorInvalidValue},
        {"cudaMemcpy(null, null, 0, D2H)", [&] { return copy(nullptr, nullptr, 0, 2); },
         cudaSuccess},
        {"cudaMemcpy(host, host + 100, 10, H2D)", [&] { return copy(host, host + 100, 10, 1); },
         cudaErrorInvalidValue},
        {"cudaMemcpy(freed, host, 4, H2D)", [&] { return copy(freed, host, 4, 1); },
         cudaErrorInvalidValue},
        {"cudaMemcpy(host, dev + 95, 6, default)", [&] { return copy(host, dev + 95, 6, 4); },
         cudaErrorInvalidValue},
        {"cudaMemcpy(host, dev + 95, 5, default)", [&] { return copy(host, dev + 95, 5, 4); },
         cudaSuccess},
        {"cudaMemcpyAsync on a bogus stream",
         [&] { return cudaMemcpyAsync(host, dev, 10, cudaMemcpyDeviceToHost, bogus); },
         cudaErrorInvalidResourceHandle},
        {"cudaMemset(null, 0, 4)", [] { return cudaMemset(nullptr, 0, 4); }, cudaErrorInvalidValue},
        {"cudaMemset(dev, 0, 0)", [&] { return cudaMemset(dev, 0, 0); }, cudaSuccess},
        {"cudaMemsetAsync on a destroyed stream", [&] { return cudaMemsetAsync(dev, 0, 4, gone); },
         cudaErrorInvalidResourceHandle},
        {"cudaStreamCreateWithFlags(&s, 2)", [&] { return cudaStreamCreateWithFlags(&stream, 2); },
         cudaErrorInvalidValue},
        {"cudaStreamCreateWithFlags(null, 0)", [] { return cudaStreamCreateWithFlags(nullptr, 0); },
         cudaErrorInvalidValue},
        {"cudaEventCreateWithFlags(&e, 8)", [&] { return cudaEventCreateWithFlags(&event, 8); },
         cudaErrorInvalidValue},
        {"cudaEventCreateWithFlags(&e, interprocess)",
         [&] { return cudaEventCreateWithFlags(&event, cudaEventInterprocess); },
         cudaErrorInvalidValue},
        {"cudaEventCreate(null)", [] { return cudaEventCreate(nullptr); }, cudaErrorInvalidValue},
        {"cudaStreamDestroy(destroyed)", [&] { return cudaStreamDestroy(gone); },
         cudaErrorInvalidResourceHandle},
        {"cudaStreamDestroy(null)", [] { return cudaStreamDestroy(nullptr); },
         cudaErrorInvalidResourceHandle},
        {"cudaStreamSynchronize(destroyed)", [&] { return cudaStreamSynchronize(gone); },
         cudaErrorInvalidResourceHandle},
        {"cudaStreamSynchronize(null)", [] { return cudaStreamSynchronize(nullptr); }, cudaSuccess},
        {"cudaStreamSynchronize(per thread)",
         [] { return cudaStreamSynchronize(cudaStreamPerThread); }, cudaSuccess},
        {"cudaEventDestroy(destroyed)", [&] { return cudaEventDestroy(dead); },
         cudaErrorInvalidResourceHandle},
        {"cudaEventDestroy(null)", [] { return cudaEventDestroy(nullptr); },
         cudaErrorInvalidResourceHandle},
        {"cudaEventRecord(destroyed)", [&] { return cudaEventRecord(dead); },
         cudaErrorInvalidResourceHandle},
        {"cudaEventRecord on a destroyed stream", [&] { return cudaEventRecord(start, gone); },
         cudaErrorInvalidResourceHandle},
        {"cudaEventSynchronize(destroyed)", [&] { return cudaEventSynchronize(dead); },
         cudaErrorInvalidResourceHandle},
        {"cudaEventSynchronize(never recorded)", [&] { return cudaEventSynchronize(unrecorded); },
         cudaSuccess},
        {"cudaEventElapsedTime(null, start, end)",
         [&] { return cudaEventElapsedTime(nullptr, start, end); }, cudaErrorInvalidValue},
        {"cudaEventElapsedTime to an untimed event",
         [&] { return cudaEventElapsedTime(&ms, start, untimed); }, cudaErrorInvalidResourceHandle},
        {"cudaEventElapsedTime from an untimed event",
         [&] { return cudaEventElapsedTime(&ms, untimed, end); }, cudaErrorInvalidResourceHandle},
        {"cudaEventElapsedTime to an event never recorded",
         [&] { return cudaEventElapsedTime(&ms, start, unrecorded); },
         cudaErrorInvalidResourceHandle},
        {"cudaLaunchKernel(null kernel)",
         [&] { return cudaLaunchKernel(no_kernel, dim3(1), dim3(1), args, 0, nullptr); },
         cudaErrorInvalidDeviceFunction},
        {"cudaLaunchKernel without arguments", [&] { return fill(nullptr, 0, nullptr); },
         cudaErrorInvalidValue},
        {"cudaLaunchKernel with a null argument", [&] { return fill(null_entry, 0, nullptr); },
         cudaErrorInvalidValue},
        {"cudaLaunchKernel with 48K of shared memory",
         [&] { return fill(args, 48 << 10, nullptr); }, cudaSuccess},
        {"cudaLaunchKernel with 48K + 1 of shared memory",
         [&] { return fill(args, (48 << 10) + 1, nullptr); }, cudaErrorInvalidValue},
        {"cudaLaunchKernel on a bogus stream", [&] { return fill(args, 0, bogus); },
         cudaErrorInvalidResourceHandle},
        {"cudaLaunchKernel on a destroyed stream", [&] { return fill(args, 0, gone); },
         cudaErrorInvalidResourceHandle},
    });
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(event, nullptr);
    EXPECT_EQ(cudasim::launch_count(), 1u) << "a refused launch ran";
    EXPECT_EQ(cudasim::live_streams(), 0u);
    EXPECT_EQ(cudasim::live_events(), 4u);
    EXPECT_EQ(read(dev, 1)[0], 0) << "a refused call wrote";
}

// A refused launch runs nothing; the largest blocks run every thread.
TEST_F(Refusals, LaunchConfigurations) {
    struct Row {
        dim3 grid, block;
        cudaError_t want;
        unsigned threads;
    };
    const cudaError_t bad = cudaErrorInvalidConfiguration;
    const Row rows[] = {
        {dim3(0), dim3(32), bad, 0},
        {dim3(1), dim3(0), bad, 0},
        {dim3(1, 1, 0), dim3(32), bad, 0},
        {dim3(1), dim3(1025), bad, 0},
        {dim3(1), dim3(32, 33), bad, 0},
        {dim3(2), dim3(2048, 1), bad, 0},
        {dim3(1), dim3(1, 1, 65), bad, 0},
        {dim3(1, 65536), dim3(32), bad, 0},
        {dim3(1, 1, 65536), dim3(32), bad, 0},
        {dim3(0x80000000u), dim3(1), bad, 0},
        {dim3(2), dim3(32, 32), cudaSuccess, 2048},
        {dim3(1), dim3(1, 1, 64), cudaSuccess, 64},
        {dim3(1), dim3(1024), cudaSuccess, 1024},
        {dim3(3, 2, 2), dim3(2, 2, 2), cudaSuccess, 96},
    };
    unsigned* count = device_array<unsigned>(1, 0);
    unsigned long long* sum = device_array<unsigned long long>(1, 0);
    unsigned* maximum = device_array<unsigned>(1, 0);
    int* signed_sum = device_array<int>(1, 0);
    for (const Row& r : rows) {
        const std::string config = std::to_string(r.grid.x) + "x" + std::to_string(r.grid.y) + "x" +
                                   std::to_string(r.grid.z) + " blocks of " +
                                   std::to_string(r.block.x) + "x" + std::to_string(r.block.y) +
                                   "x" + std::to_string(r.block.z);
        ASSERT_EQ(cudaMemset(count, 0, sizeof(unsigned)), cudaSuccess);
        const uint64_t launches = cudasim::launch_count();
        EXPECT_EQ(launch(nullptr, k_atomics, r.grid, r.block, count, sum, maximum, signed_sum),
                  r.want)
            << config;
        EXPECT_EQ(cudaGetLastError(), r.want) << config;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << config << ": read twice";
        EXPECT_EQ(cudasim::launch_count() - launches, r.want == cudaSuccess ? 1u : 0u) << config;
        EXPECT_EQ(read(count, 1)[0], r.threads) << config;
    }
}

TEST_F(Refusals, ErrorsHaveTheRuntimesNamesAndTexts) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    };
    const Row rows[] = {
        {0, "cudaSuccess", "no error"},
        {1, "cudaErrorInvalidValue", "invalid argument"},
        {2, "cudaErrorMemoryAllocation", "out of memory"},
        {3, "cudaErrorInitializationError", "initialization error"},
        {9, "cudaErrorInvalidConfiguration", "invalid configuration argument"},
        {21, "cudaErrorInvalidMemcpyDirection", "invalid copy direction for memcpy"},
        {100, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
        {101, "cudaErrorInvalidDevice", "invalid device ordinal"},
        {400, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
        {701, "cudaErrorLaunchOutOfResources", "too many resources requested for launch"},
        {719, "cudaErrorLaunchFailure", "unspecified launch failure"},
        {12345, nullptr, "unrecognized error code"},
    };
    for (const Row& r : rows) {
        const auto e = static_cast<cudaError_t>(r.code);
        EXPECT_STREQ(cudaGetErrorString(e), r.text) << r.code;
        if (r.name != nullptr) {
            EXPECT_STREQ(cudaGetErrorName(e), r.name) << r.code;
        }
    }
}

}  // namespace
}  // namespace cudasim_test
