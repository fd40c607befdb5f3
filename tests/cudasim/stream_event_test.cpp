// Streams and events: creation flags, handles, ordering rules between devices, and elapsed
// time that reflects how long the simulated kernel really took.
#include <chrono>
#include <thread>

#include "sim_test.h"

namespace {

class StreamEventTest : public SimTest {};

__global__ void k_sleep(int ms, int* done) {
    if (threadIdx.x == 0 && blockIdx.x == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        *done = 1;
    }
}

TEST_F(StreamEventTest, ElapsedTimeCoversTheKernel) {
    cudaStream_t stream = nullptr;
    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&stop, cudaEventBlockingSync), cudaSuccess);
    DeviceBuffer<int> done(1);
    ASSERT_EQ(cudaMemsetAsync(done.get(), 0, sizeof(int), stream), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(start, stream), cudaSuccess);
    int ms = 30;
    int* d = done.get();
    void* args[] = {&ms, &d};
    ASSERT_EQ(cudaLaunchKernel(k_sleep, dim3(2), dim3(32), args, 0, stream), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(stop, stream), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    EXPECT_EQ(cudaEventQuery(stop), cudaSuccess);
    EXPECT_EQ(cudaStreamQuery(stream), cudaSuccess);
    int host_done = 0;
    ASSERT_EQ(cudaMemcpyAsync(&host_done, d, sizeof(int), cudaMemcpyDeviceToHost, stream),
              cudaSuccess);
    ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
    EXPECT_EQ(host_done, 1);
    float elapsed = 0;
    ASSERT_EQ(cudaEventElapsedTime(&elapsed, start, stop), cudaSuccess);
    EXPECT_GE(elapsed, 30.0f);
    float backwards = 0;
    ASSERT_EQ(cudaEventElapsedTime(&backwards, stop, start), cudaSuccess);
    EXPECT_EQ(backwards, -elapsed);
    EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(stop), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
}

TEST_F(StreamEventTest, ElapsedTimeNeedsTwoRecordedTimingEvents) {
    cudaEvent_t a = nullptr;
    cudaEvent_t b = nullptr;
    cudaEvent_t untimed = nullptr;
    ASSERT_EQ(cudaEventCreate(&a), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&b, cudaEventDefault), cudaSuccess);
    ASSERT_EQ(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming), cudaSuccess);
    float ms = 7;
    EXPECT_EQ(cudaEventElapsedTime(&ms, a, b), cudaErrorInvalidResourceHandle);
    ASSERT_EQ(cudaEventRecord(a), cudaSuccess);
    EXPECT_EQ(cudaEventElapsedTime(&ms, a, b), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(ms, 7);
    ASSERT_EQ(cudaEventRecord(b, nullptr), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(untimed), cudaSuccess);
    EXPECT_EQ(cudaEventElapsedTime(&ms, a, b), cudaSuccess);
    EXPECT_GE(ms, 0.0f);
    EXPECT_EQ(cudaEventElapsedTime(&ms, a, untimed), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventElapsedTime(nullptr, a, b), cudaErrorInvalidValue);
    // An event never recorded is complete.
    cudaEvent_t fresh = nullptr;
    ASSERT_EQ(cudaEventCreate(&fresh), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(fresh), cudaSuccess);
    for (cudaEvent_t e : {a, b, untimed, fresh}) {
        EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
    }
}

TEST_F(StreamEventTest, BadFlagsAndHandles) {
    cudaStream_t s = nullptr;
    cudaEvent_t e = nullptr;
    EXPECT_EQ(cudaStreamCreateWithFlags(&s, 2), cudaErrorInvalidValue);
    EXPECT_EQ(cudaStreamCreateWithFlags(nullptr, 0), cudaErrorInvalidValue);
    EXPECT_EQ(cudaEventCreateWithFlags(&e, 8), cudaErrorInvalidValue);
    EXPECT_EQ(cudaEventCreateWithFlags(&e, cudaEventInterprocess), cudaErrorInvalidValue);
    EXPECT_EQ(cudaEventCreate(nullptr), cudaErrorInvalidValue);
    ASSERT_EQ(cudaStreamCreate(&s), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&e), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e), cudaSuccess);
    // Destroyed handles are no longer accepted.
    EXPECT_EQ(cudaStreamDestroy(s), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamSynchronize(s), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventDestroy(e), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventRecord(e), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventSynchronize(e), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventDestroy(nullptr), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamDestroy(nullptr), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaSuccess);
    EXPECT_EQ(cudaStreamSynchronize(cudaStreamPerThread), cudaSuccess);
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "invalid resource handle");
}

__global__ void k_nothing() {}

TEST_F(StreamEventTest, StreamsAndEventsBelongToTheirDevice) {
    cudasim::DeviceList list;
    list.devices.resize(2);
    cudasim::set_devices(list);
    cudaStream_t s0 = nullptr;
    cudaEvent_t e1 = nullptr;
    ASSERT_EQ(cudaStreamCreate(&s0), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&e1), cudaSuccess);
    EXPECT_EQ(cudaEventRecord(e1, s0), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventRecord(e1, nullptr), cudaSuccess);
    EXPECT_EQ(cudaLaunchKernel(k_nothing, dim3(1), dim3(1), nullptr, 0, s0),
              cudaErrorInvalidResourceHandle);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_EQ(cudaLaunchKernel(k_nothing, dim3(1), dim3(1), nullptr, 0, s0), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(e1), cudaSuccess);
    EXPECT_EQ(cudaStreamDestroy(s0), cudaSuccess);
}

}  // namespace
