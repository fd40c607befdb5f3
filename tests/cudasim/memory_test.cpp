// Device memory: accounting against free memory, out of memory, frees, copies and fills
// with their bounds and directions, lazily committed large buffers, leak reporting.
#include <cstring>

#include "sim_test.h"

namespace {

class MemoryTest : public SimTest {};

size_t free_bytes() {
    size_t free = 0;
    size_t total = 0;
    EXPECT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
    return free;
}

TEST_F(MemoryTest, FreeMemoryGoesDownAndUpInGranulesOf256) {
    size_t total = 0;
    size_t start = 0;
    ASSERT_EQ(cudaMemGetInfo(&start, &total), cudaSuccess);
    EXPECT_EQ(total, size_t{8} << 30);
    EXPECT_EQ(start, (size_t{8} << 30) - (size_t{512} << 20));
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, 1000), cudaSuccess);
    EXPECT_EQ(free_bytes(), start - 1024);
    ASSERT_EQ(cudaMalloc(&b, size_t{64} << 20), cudaSuccess);
    EXPECT_EQ(free_bytes(), start - 1024 - (size_t{64} << 20));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 256, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 256, 0u);
    ASSERT_EQ(cudaFree(a), cudaSuccess);
    ASSERT_EQ(cudaFree(b), cudaSuccess);
    EXPECT_EQ(free_bytes(), start);
}

TEST_F(MemoryTest, AllocationBeyondFreeMemoryFailsAndChangesNothing) {
    cudasim::DeviceList list;
    cudasim::DeviceSpec d;
    d.total_mem = size_t{64} << 20;
    d.free_mem = size_t{48} << 20;
    list.devices.push_back(d);
    cudasim::set_devices(list);
    void* a = nullptr;
    ASSERT_EQ(cudaMalloc(&a, size_t{40} << 20), cudaSuccess);
    void* b = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(cudaMalloc(&b, (size_t{8} << 20) | 1), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, reinterpret_cast<void*>(0x1234));
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "out of memory");
    EXPECT_EQ(free_bytes(), size_t{8} << 20);
    ASSERT_EQ(cudaMalloc(&b, size_t{8} << 20), cudaSuccess);  // exactly what is left
    EXPECT_EQ(free_bytes(), 0u);
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(b), cudaSuccess);
}

TEST_F(MemoryTest, LargeBuffersCostNoMemoryUntilTouched) {
    // Far more than a test machine could commit, across two buffers.
    uint8_t* a = nullptr;
    uint8_t* b = nullptr;
    ASSERT_EQ(cudaMalloc(&a, size_t{4} << 30), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&b, (size_t{3} << 30) + 12345), cudaSuccess);
    a[0] = 1;
    a[(size_t{4} << 30) - 1] = 2;
    b[(size_t{3} << 30) + 12344] = 3;
    EXPECT_EQ(a[0] + a[(size_t{4} << 30) - 1] + b[(size_t{3} << 30) + 12344], 6);
    EXPECT_EQ(cudaFree(a), cudaSuccess);
    EXPECT_EQ(cudaFree(b), cudaSuccess);
}

TEST_F(MemoryTest, FreeingRules) {
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    void* p = nullptr;
    ASSERT_EQ(cudaMalloc(&p, 100), cudaSuccess);
    EXPECT_EQ(cudaFree(static_cast<char*>(p) + 1), cudaErrorInvalidValue);
    int host = 0;
    EXPECT_EQ(cudaFree(&host), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(p), cudaSuccess);
    EXPECT_EQ(cudaFree(p), cudaErrorInvalidValue);
    void* zero = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(cudaMalloc(&zero, 0), cudaSuccess);
    EXPECT_EQ(zero, nullptr);
    EXPECT_EQ(cudaMalloc(static_cast<void**>(nullptr), 16), cudaErrorInvalidValue);
}

TEST_F(MemoryTest, FreshMemoryIsNotCleared) {
    DeviceBuffer<uint8_t> small(64);
    for (uint8_t b : small.read()) {
        EXPECT_NE(b, 0) << "kernels must not rely on zeroed device memory";
    }
}

TEST_F(MemoryTest, CopiesInEveryDirection) {
    DeviceBuffer<uint32_t> a(16);
    DeviceBuffer<uint32_t> b(16);
    std::vector<uint32_t> in(16);
    for (uint32_t i = 0; i < 16; ++i) {
        in[i] = i * i;
    }
    ASSERT_EQ(cudaMemcpy(a.get(), in.data(), 64, cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(b.get(), a.get(), 64, cudaMemcpyDeviceToDevice), cudaSuccess);
    std::vector<uint32_t> out(16);
    ASSERT_EQ(cudaMemcpy(out.data(), b.get(), 64, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(out, in);
    std::vector<uint32_t> host(16);
    ASSERT_EQ(cudaMemcpy(host.data(), in.data(), 64, cudaMemcpyHostToHost), cudaSuccess);
    EXPECT_EQ(host, in);
    ASSERT_EQ(cudaMemcpyAsync(a.get() + 8, in.data(), 32, cudaMemcpyDefault), cudaSuccess);
    ASSERT_EQ(cudaMemcpyAsync(out.data(), a.get() + 8, 32, cudaMemcpyDeviceToHost, nullptr),
              cudaSuccess);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + 8, out.begin()));
}

TEST_F(MemoryTest, CopiesOutsideAnAllocationOrWithABadDirectionFail) {
    DeviceBuffer<uint8_t> dev(100);
    std::vector<uint8_t> host(200);
    EXPECT_EQ(cudaMemcpy(dev.get(), host.data(), 101, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), dev.get() + 50, 51, cudaMemcpyDeviceToHost),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), dev.get() + 50, 50, cudaMemcpyDeviceToHost), cudaSuccess);
    // A host pointer is not device memory.
    EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 100, 10, cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), dev.get(), 10, static_cast<cudaMemcpyKind>(7)),
              cudaErrorInvalidMemcpyDirection);
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "invalid copy direction for memcpy");
    EXPECT_EQ(cudaMemcpy(nullptr, dev.get(), 10, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(nullptr, nullptr, 0, cudaMemcpyDeviceToHost), cudaSuccess);
    cudaStream_t bogus = reinterpret_cast<cudaStream_t>(&host);
    EXPECT_EQ(cudaMemcpyAsync(host.data(), dev.get(), 10, cudaMemcpyDeviceToHost, bogus),
              cudaErrorInvalidResourceHandle);
}

TEST_F(MemoryTest, Fills) {
    DeviceBuffer<uint8_t> dev(100);
    ASSERT_EQ(cudaMemset(dev.get(), 0x1ab, 100), cudaSuccess);
    for (uint8_t b : dev.read()) {
        EXPECT_EQ(b, 0xab);
    }
    ASSERT_EQ(cudaMemsetAsync(dev.get() + 10, 0, 20, nullptr), cudaSuccess);
    auto got = dev.read();
    for (size_t i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i], i >= 10 && i < 30 ? 0 : 0xab) << i;
    }
    EXPECT_EQ(cudaMemset(dev.get() + 1, 0, 100), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(nullptr, 0, 4), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(dev.get(), 0, 0), cudaSuccess);
}

TEST_F(MemoryTest, LiveAllocationsShowWhatLeaks) {
    void* p = nullptr;
    void* q = nullptr;
    ASSERT_EQ(cudaMalloc(&p, 40), cudaSuccess);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&q, 3u << 20), cudaSuccess);
    auto live = cudasim::live_allocations();
    ASSERT_EQ(live.size(), 2u);
    size_t total = 0;
    for (const auto& a : live) {
        EXPECT_EQ(a.device, 0);
        EXPECT_TRUE(a.ptr == p || a.ptr == q);
        total += a.size;
    }
    EXPECT_EQ(total, 40u + (3u << 20));
    ASSERT_EQ(cudaFree(p), cudaSuccess);
    ASSERT_EQ(cudasim::live_allocations().size(), 1u);
    EXPECT_EQ(cudasim::live_allocations()[0].ptr, q);
    cudasim::reset();  // frees q
    EXPECT_TRUE(cudasim::live_allocations().empty());
    EXPECT_EQ(free_bytes(), (size_t{8} << 30) - (size_t{512} << 20));
}

TEST_F(MemoryTest, EachDeviceAccountsItsOwnMemory) {
    std::string err;
    cudasim::DeviceList list;
    ASSERT_TRUE(cudasim::parse_devices("mem=1G;free=1G|mem=2G;free=1G", list, err)) << err;
    cudasim::set_devices(list);
    void* p = nullptr;
    void* q = nullptr;
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    ASSERT_EQ(cudaMalloc(&p, 256u << 20), cudaSuccess);
    EXPECT_EQ(free_bytes(), 768u << 20);
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    EXPECT_EQ(free_bytes(), 1024u << 20);
    ASSERT_EQ(cudaMalloc(&q, 1024u << 20), cudaSuccess);
    EXPECT_EQ(free_bytes(), 0u);
    EXPECT_EQ(cudasim::live_allocations().size(), 2u);
    ASSERT_EQ(cudaFree(p), cudaSuccess);  // from device 0's thread: still device 1's memory
    ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
    EXPECT_EQ(free_bytes(), 1024u << 20);
    ASSERT_EQ(cudaFree(q), cudaSuccess);
}

}  // namespace
