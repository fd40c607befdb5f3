// GpuContext's steps: sizes, every failure path and what a failure leaves behind.
#include "gpu/gpu_context.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "gpu/gpu_info.h"
#include "gpu/kernel_input.h"
#include "gpu_test_util.h"

namespace tovren::qel {
namespace {

using test::Bytes;

struct StepFailure {
    const char* function;
    uint64_t call;
    cudaError_t error;
    const char* expected;
};

void PrintTo(const StepFailure& f, std::ostream* os) {
    *os << f.function << "#" << f.call;
}

class ContextTest : public test::SimTest {
  protected:
    static void expect_nothing_left() {
        EXPECT_TRUE(cudasim::live_allocations().empty());
        EXPECT_EQ(cudasim::live_streams(), 0u);
        EXPECT_EQ(cudasim::live_events(), 0u);
    }
    static constexpr size_t kContextAllocations = 5;  // arena, table, jobs, hits, counter
};

// ---- init

class InitFailure : public ContextTest, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(InitFailure, ReportsTheStepAndTheDestructorFreesWhatWasMade) {
    const StepFailure& f = GetParam();
    cudasim::set_fail_rules({fail(f.function, f.call, f.error)});
    {
        GpuContext ctx;
        std::string err;
        EXPECT_FALSE(ctx.init(0, 4, err));
        EXPECT_EQ(err, f.expected);
        EXPECT_EQ(ctx.device, 0);
        EXPECT_EQ(ctx.slots, 4);
    }
    expect_nothing_left();
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InitFailure,
    ::testing::Values(
        StepFailure{"cudaSetDevice", 1, cudaErrorInvalidDevice,
                    "set device: invalid device ordinal"},
        StepFailure{"cudaMalloc", 1, cudaErrorMemoryAllocation, "arena allocation: out of memory"},
        StepFailure{"cudaMalloc", 2, cudaErrorMemoryAllocation, "alloc: out of memory"},
        StepFailure{"cudaMemcpy", 1, cudaErrorInvalidValue, "copy: invalid argument"},
        StepFailure{"cudaMalloc", 3, cudaErrorMemoryAllocation, "alloc: out of memory"},
        StepFailure{"cudaMalloc", 4, cudaErrorMemoryAllocation, "alloc: out of memory"},
        StepFailure{"cudaMalloc", 5, cudaErrorMemoryAllocation, "alloc: out of memory"},
        StepFailure{"cudaStreamCreateWithFlags", 1, cudaErrorUnknown, "stream: unknown error"},
        StepFailure{"cudaEventCreate", 1, cudaErrorUnknown, "event: unknown error"},
        StepFailure{"cudaEventCreateWithFlags", 1, cudaErrorUnknown, "event: unknown error"}));

TEST_F(ContextTest, InitAllocatesOnceAndDestructionReleasesAll) {
    {
        GpuContext ctx;
        std::string err;
        ASSERT_TRUE(ctx.init(0, 3, err)) << err;
        const auto live = cudasim::live_allocations();
        ASSERT_EQ(live.size(), kContextAllocations);
        uint64_t arena_size = 0;
        for (const auto& a : live)
            if (a.ptr == ctx.arena)
                arena_size = a.size;
        EXPECT_EQ(arena_size, 3 * kSliceBytes);
        EXPECT_EQ(cudasim::live_streams(), 1u);
        EXPECT_EQ(cudasim::live_events(), 2u);
    }
    expect_nothing_left();
}

TEST_F(ContextTest, TableIsBuiltByTheFirstInitPastItsArena) {
    ref_index_built = false;
    std::fill(std::begin(ref_index_table), std::end(ref_index_table), 0xffff);
    cudasim::set_fail_rules({fail("cudaMalloc", 1, cudaErrorMemoryAllocation)});
    std::string err;
    {
        GpuContext ctx;
        EXPECT_FALSE(ctx.init(0, 4, err));
        EXPECT_FALSE(ref_index_built);
    }
    {
        cudasim::set_fail_rules({fail("cudaMalloc", 2, cudaErrorMemoryAllocation)});
        GpuContext ctx;
        EXPECT_FALSE(ctx.init(0, 4, err));
        EXPECT_TRUE(ref_index_built);  // stays built although this context failed
        EXPECT_EQ(ref_index_table[4095], 3780);
    }
    expect_nothing_left();
}

TEST_F(ContextTest, EmptyContextDestructionMakesNoCall) {
    cudasim::set_fail_rules({fail("cudaSetDevice", 1, cudaErrorUnknown)});
    { GpuContext ctx; }
    // Had the destructor selected a device, this first call would be the second one.
    EXPECT_EQ(cudaSetDevice(0), cudaErrorUnknown);
}

// Start-up sets up every GPU on the main thread, so the current device is usually another
// GPU's when an operation begins; each must select its own, the destructor too.
TEST_F(ContextTest, EveryOperationSelectsItsOwnDevice) {
    cudasim::DeviceList two;
    two.devices.resize(2);
    cudasim::set_devices(two);
    const Bytes h = test::layout_header(5, 5, 5, 5);
    auto current = [] {
        int d = -1;
        cudaGetDevice(&d);
        return d;
    };
    {
        GpuContext ctx;
        std::string err;
        ASSERT_TRUE(ctx.init(1, 1, err)) << err;
        for (const auto& a : cudasim::live_allocations())
            EXPECT_EQ(a.device, 1);

        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        std::vector<Bytes> out;
        ASSERT_TRUE(ctx.hash_list({h}, {8}, out, err)) << err;
        EXPECT_EQ(current(), 1);
        EXPECT_EQ(out[0], test::cpu_hash(h, 8));

        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        ASSERT_TRUE(ctx.set_job(h.data(), Bytes(32, 0xff).data(), err)) << err;
        EXPECT_EQ(current(), 1);

        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        std::vector<DHit> hits;
        ASSERT_TRUE(ctx.run_range(1, 1, 8, hits, nullptr, err)) << err;
        EXPECT_EQ(current(), 1);
        ASSERT_EQ(hits.size(), 1u);
        EXPECT_EQ(Bytes(hits[0].hash, hits[0].hash + 32), out[0]);

        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    }
    EXPECT_EQ(current(), 1);
    expect_nothing_left();

    // A context whose arena could not be had still selects its device when destroyed.
    auto rule = fail("cudaMalloc", 1, cudaErrorMemoryAllocation);
    rule.device = 1;
    cudasim::set_fail_rules({rule});
    {
        GpuContext ctx;
        std::string err;
        EXPECT_FALSE(ctx.init(1, 1, err));
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    }
    EXPECT_EQ(current(), 1);
    expect_nothing_left();
}

// ---- set_job

class ReadyContext : public ContextTest {
  protected:
    void SetUp() override {
        ContextTest::SetUp();
        ctx = std::make_unique<GpuContext>();
        std::string err;
        ASSERT_TRUE(ctx->init(0, 2, err)) << err;
    }
    void TearDown() override {
        ctx.reset();
        expect_nothing_left();
        ContextTest::TearDown();
    }
    std::unique_ptr<GpuContext> ctx;
    const Bytes header = test::layout_header(2, 9, 1712345678, 0x1e0fffff);
};

TEST_F(ReadyContext, SetJobFailures) {
    const Bytes target(32, 0xff);
    const StepFailure cases[] = {
        {"cudaSetDevice", 1, cudaErrorInvalidDevice, "set device: invalid device ordinal"},
        {"cudaMemcpyAsync", 1, cudaErrorInvalidValue, "job copy: invalid argument"},
        {"cudaStreamSynchronize", 1, cudaErrorLaunchFailure, "sync: unspecified launch failure"},
    };
    for (const auto& f : cases) {
        cudasim::set_fail_rules({fail(f.function, f.call, f.error)});
        std::string err;
        EXPECT_FALSE(ctx->set_job(header.data(), target.data(), err));
        EXPECT_EQ(err, f.expected);
    }
    cudasim::set_fail_rules({});
    std::string err;
    EXPECT_TRUE(ctx->set_job(header.data(), target.data(), err)) << err;
}

// ---- run_range

TEST_F(ReadyContext, BadLaunchSizesMakeNoCudaCall) {
    cudasim::set_fail_rules({fail("cudaSetDevice", 1, cudaErrorUnknown)});
    const uint64_t launches = cudasim::launch_count();
    std::vector<DHit> hits(1);
    double seconds = -1;
    for (auto [blocks, iters] : {std::pair{0, 1}, std::pair{3, 1}, std::pair{1, 0}}) {
        std::string err;
        EXPECT_FALSE(ctx->run_range(blocks, iters, 0, hits, &seconds, err));
        EXPECT_EQ(err, "bad launch size");
    }
    EXPECT_EQ(hits.size(), 1u);
    EXPECT_EQ(seconds, -1);
    EXPECT_EQ(cudasim::launch_count(), launches);
    std::string err;
    EXPECT_FALSE(ctx->set_job(header.data(), Bytes(32, 0).data(), err));  // the rule is unused
}

class RangeFailure : public ReadyContext, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(RangeFailure, LeavesHitsAndSecondsAlone) {
    const StepFailure& f = GetParam();
    std::string err;
    ASSERT_TRUE(ctx->set_job(header.data(), Bytes(32, 0xff).data(), err)) << err;
    cudasim::set_fail_rules({fail(f.function, f.call, f.error)});
    std::vector<DHit> hits(3);
    hits[2].nonce = 77;
    double seconds = -1;
    EXPECT_FALSE(ctx->run_range(1, 1, 1000, hits, &seconds, err));
    EXPECT_EQ(err, f.expected);
    ASSERT_EQ(hits.size(), 3u);
    EXPECT_EQ(hits[2].nonce, 77u);
    EXPECT_EQ(seconds, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RangeFailure,
    ::testing::Values(StepFailure{"cudaSetDevice", 1, cudaErrorInvalidDevice,
                                  "set device: invalid device ordinal"},
                      StepFailure{"cudaMemsetAsync", 1, cudaErrorInvalidValue,
                                  "memset: invalid argument"},
                      StepFailure{"cudaLaunchKernel", 1, cudaErrorLaunchOutOfResources,
                                  "kernel launch: too many resources requested for launch"},
                      StepFailure{"cudaEventSynchronize", 1, cudaErrorLaunchFailure,
                                  "kernel: unspecified launch failure"},
                      StepFailure{"cudaMemcpyAsync", 1, cudaErrorIllegalAddress,
                                  "copy: an illegal memory access was encountered"},
                      StepFailure{"cudaStreamSynchronize", 1, cudaErrorLaunchTimeout,
                                  "kernel: the launch timed out and was terminated"},
                      StepFailure{"cudaMemcpy", 1, cudaErrorIllegalAddress,
                                  "copy: an illegal memory access was encountered"}));

// An error that an ignored call leaves pending is not taken for a failed launch.
TEST_F(ReadyContext, PendingErrorOfAnIgnoredCallIsNotALaunchFailure) {
    std::string err;
    ASSERT_TRUE(ctx->set_job(header.data(), Bytes(32, 0).data(), err)) << err;
    cudasim::set_fail_rules({fail("cudaEventElapsedTime", 1, cudaErrorNotReady)});
    std::vector<DHit> hits;
    double seconds = -1;
    ASSERT_TRUE(ctx->run_range(1, 1, 5, hits, &seconds, err)) << err;
    EXPECT_EQ(seconds, 0.0);  // the failed timing leaves 0
    EXPECT_TRUE(hits.empty());

    cudasim::set_fail_rules({});
    ASSERT_TRUE(ctx->run_range(1, 1, 6, hits, &seconds, err)) << err;
    EXPECT_GT(seconds, 0.0);
    EXPECT_TRUE(hits.empty());  // nothing meets a zero target
}

// ---- hash_list

TEST_F(ContextTest, BadListSizes) {
    GpuContext small;
    GpuContext large;
    std::string err;
    ASSERT_TRUE(small.init(0, 4, err)) << err;
    ASSERT_TRUE(large.init(0, 100, err)) << err;
    cudasim::set_fail_rules({fail("cudaSetDevice", 1, cudaErrorUnknown)});
    const Bytes h(kHeaderBytes, 1);
    std::vector<Bytes> out(2, Bytes(32, 9));
    auto list = [&](GpuContext& ctx, size_t n, size_t nonces, size_t header_bytes = 112) {
        std::vector<Bytes> headers(n, Bytes(header_bytes, 1));
        std::string e;
        EXPECT_FALSE(ctx.hash_list(headers, std::vector<uint64_t>(nonces, 0), out, e));
        return e;
    };
    EXPECT_EQ(list(small, 0, 0), "bad list size");
    EXPECT_EQ(list(small, 5, 5), "bad list size");
    EXPECT_EQ(list(large, 65, 65), "bad list size");
    EXPECT_EQ(list(small, 4, 3), "bad list size");
    EXPECT_EQ(list(small, 1, 1, 111), "bad list size");
    EXPECT_EQ(out, std::vector<Bytes>(2, Bytes(32, 9)));
    // In bounds (4 of 4, 64 of 100) the sizes pass and the first CUDA call is made.
    EXPECT_EQ(list(small, 4, 4), "set device: unknown error");
    cudasim::set_fail_rules({fail("cudaSetDevice", 1, cudaErrorUnknown)});
    EXPECT_EQ(list(large, 64, 64), "set device: unknown error");
}

class ListFailure : public ReadyContext, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(ListFailure, LeavesOutAloneAndNoTemporaryBuffer) {
    const StepFailure& f = GetParam();
    cudasim::set_fail_rules({fail(f.function, f.call, f.error)});
    std::vector<Bytes> out(1, Bytes(32, 0xee));
    std::string err;
    EXPECT_FALSE(ctx->hash_list({header}, {42}, out, err));
    EXPECT_EQ(err, f.expected);
    EXPECT_EQ(out, std::vector<Bytes>(1, Bytes(32, 0xee)));
    EXPECT_EQ(cudasim::live_allocations().size(), kContextAllocations);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ListFailure,
    ::testing::Values(
        StepFailure{"cudaSetDevice", 1, cudaErrorInvalidDevice,
                    "set device: invalid device ordinal"},
        StepFailure{"cudaMalloc", 1, cudaErrorMemoryAllocation, "alloc: out of memory"},
        StepFailure{"cudaMalloc", 2, cudaErrorMemoryAllocation, "alloc: out of memory"},
        StepFailure{"cudaMemcpy", 1, cudaErrorInvalidValue, "copy: invalid argument"},
        StepFailure{"cudaMemcpy", 2, cudaErrorInvalidValue, "copy: invalid argument"},
        StepFailure{"cudaLaunchKernel", 1, cudaErrorNoKernelImageForDevice,
                    "kernel launch: no kernel image is available for execution on the device"},
        StepFailure{"cudaDeviceSynchronize", 1, cudaErrorLaunchFailure,
                    "kernel: unspecified launch failure"},
        StepFailure{"cudaMemcpy", 3, cudaErrorIllegalAddress,
                    "copy: an illegal memory access was encountered"}));

// A device whose properties could not be read leaves an error pending on the main thread;
// the next GPU's self-test must not fail for it.
TEST_F(ContextTest, EnumerationErrorDoesNotFailALaterList) {
    cudasim::DeviceList two;
    two.devices.resize(2);
    cudasim::set_devices(two);
    auto rule = fail("cudaGetDeviceProperties", 1, cudaErrorInvalidDevice);
    rule.device = 0;
    cudasim::set_fail_rules({rule});
    std::string err;
    ASSERT_EQ(enumerate_gpus(err).size(), 1u);
    GpuContext ctx;
    ASSERT_TRUE(ctx.init(1, 1, err)) << err;
    const Bytes h = test::layout_header(1, 1, 1, 1);
    std::vector<Bytes> out;
    ASSERT_TRUE(ctx.hash_list({h}, {3}, out, err)) << err;
    EXPECT_EQ(out[0], test::cpu_hash(h, 3));
}

}  // namespace
}  // namespace tovren::qel
