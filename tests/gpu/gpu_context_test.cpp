// GpuContext's failure paths: every failing CUDA call, sizes out of bounds, and errors that
// other calls leave pending.
#include "gpu/gpu_context.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>

#include "gpu/gpu_info.h"
#include "gpu/kernel_input.h"
#include "gpu_test_util.h"

namespace tovren::qel {
namespace {

using test::Bytes;
using test::ContextTest;

enum class Op { Init, SetJob, Range, List };

struct StepFailure {
    Op op;
    const char* function;
    uint64_t call;
    cudaError_t error;
    const char* step;  // what the error message starts with
};

void PrintTo(const StepFailure& f, std::ostream* os) {
    static const char* const ops[] = {"init", "set_job", "run_range", "hash_list"};
    *os << ops[static_cast<int>(f.op)] << "_" << f.function << "_" << f.call;
}

const StepFailure kStepFailures[] = {
    {Op::Init, "cudaSetDevice", 1, cudaErrorInvalidDevice, "set device"},
    {Op::Init, "cudaMalloc", 1, cudaErrorMemoryAllocation, "arena allocation"},
    {Op::Init, "cudaMalloc", 2, cudaErrorMemoryAllocation, "alloc"},
    {Op::Init, "cudaMemcpy", 1, cudaErrorInvalidValue, "copy"},
    {Op::Init, "cudaMalloc", 3, cudaErrorMemoryAllocation, "alloc"},
    {Op::Init, "cudaMalloc", 4, cudaErrorMemoryAllocation, "alloc"},
    {Op::Init, "cudaMalloc", 5, cudaErrorMemoryAllocation, "alloc"},
    {Op::Init, "cudaStreamCreateWithFlags", 1, cudaErrorUnknown, "stream"},
    {Op::Init, "cudaEventCreate", 1, cudaErrorUnknown, "event"},
    {Op::Init, "cudaEventCreateWithFlags", 1, cudaErrorUnknown, "event"},
    {Op::Init, "cudaDeviceSynchronize", 1, cudaErrorIllegalAddress, "sync"},
    {Op::SetJob, "cudaSetDevice", 1, cudaErrorInvalidDevice, "set device"},
    {Op::SetJob, "cudaMemcpyAsync", 1, cudaErrorInvalidValue, "job copy"},
    {Op::SetJob, "cudaStreamSynchronize", 1, cudaErrorLaunchFailure, "sync"},
    {Op::Range, "cudaSetDevice", 1, cudaErrorInvalidDevice, "set device"},
    {Op::Range, "cudaMemsetAsync", 1, cudaErrorInvalidValue, "memset"},
    {Op::Range, "cudaLaunchKernel", 1, cudaErrorLaunchOutOfResources, "kernel launch"},
    {Op::Range, "cudaEventSynchronize", 1, cudaErrorLaunchFailure, "kernel"},
    {Op::Range, "cudaMemcpyAsync", 1, cudaErrorIllegalAddress, "copy"},
    {Op::Range, "cudaStreamSynchronize", 1, cudaErrorLaunchTimeout, "kernel"},
    {Op::Range, "cudaMemcpy", 1, cudaErrorIllegalAddress, "copy"},
    {Op::Range, "cudaEventRecord", 1, cudaErrorInvalidValue, "timing"},
    {Op::Range, "cudaEventRecord", 2, cudaErrorInvalidValue, "timing"},
    {Op::Range, "cudaEventElapsedTime", 1, cudaErrorNotReady, "timing"},
    {Op::List, "cudaSetDevice", 1, cudaErrorInvalidDevice, "set device"},
    {Op::List, "cudaMalloc", 1, cudaErrorMemoryAllocation, "alloc"},
    {Op::List, "cudaMalloc", 2, cudaErrorMemoryAllocation, "alloc"},
    {Op::List, "cudaMemcpy", 1, cudaErrorInvalidValue, "copy"},
    {Op::List, "cudaMemcpy", 2, cudaErrorInvalidValue, "copy"},
    {Op::List, "cudaLaunchKernel", 1, cudaErrorNoKernelImageForDevice, "kernel launch"},
    {Op::List, "cudaDeviceSynchronize", 1, cudaErrorLaunchFailure, "kernel"},
    {Op::List, "cudaMemcpy", 3, cudaErrorIllegalAddress, "copy"},
};

class FailingCall : public ContextTest, public ::testing::WithParamInterface<StepFailure> {};

// The error names the step and the runtime's text; the outputs are left alone, no temporary
// buffer outlives the call, and the destructor frees whatever init made (TearDown checks).
TEST_P(FailingCall, NamesItsStepLeavesOutputsAloneAndLeaksNothing) {
    const StepFailure& f = GetParam();
    std::mt19937_64 rng(7);
    const Bytes header = test::random_header(rng);
    if (f.op == Op::Init) {
        ctx = std::make_unique<GpuContext>();
    } else {
        open(2);
        set_job(header, Bytes(32, 0xff));  // every nonce a hit: the range copies its hits
    }
    cudasim::set_fail_rules({fail(f.function, f.call, f.error, kDevice)});
    ASSERT_EQ(cudaSetDevice(kOther), cudaSuccess);
    std::vector<DHit> hits(1);
    hits[0].nonce = 77;
    std::vector<Bytes> out(1, Bytes(32, 0xee));
    double seconds = -1;
    uint32_t counted = 99;
    std::string err;
    auto call = [&] {
        return f.op == Op::Init     ? ctx->init(kDevice, 2, err)
               : f.op == Op::SetJob ? ctx->set_job(header.data(), Bytes(32, 0xff).data(), err)
               : f.op == Op::Range  ? ctx->run_range(1, 1, 1000, hits, &seconds, err, &counted)
                                    : ctx->hash_list({header}, {42}, out, err);
    };
    EXPECT_FALSE(call());
    EXPECT_EQ(err, std::string(f.step) + ": " + cudaGetErrorString(f.error));
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].nonce, 77u);
    EXPECT_EQ(out, std::vector<Bytes>(1, Bytes(32, 0xee)));
    EXPECT_EQ(seconds, -1);
    EXPECT_EQ(counted, 99u);
    if (f.op == Op::Init) {
        // Stored before any CUDA call, so the destructor can select the device.
        EXPECT_EQ(ctx->device, kDevice);
        EXPECT_EQ(ctx->slots, 2);
        return;
    }
    EXPECT_EQ(cudasim::live_allocations().size(), kContextAllocations);
    // The context keeps no error state: the same call, once nothing fails, succeeds.
    cudasim::set_fail_rules({});
    EXPECT_TRUE(call()) << err;
    EXPECT_EQ(hits.size(), f.op == Op::Range ? 2u : 1u);
    if (f.op == Op::Range) {
        EXPECT_GE(seconds, 0);
        EXPECT_EQ(counted, 1u);
    }
    if (f.op == Op::List) {
        EXPECT_EQ(out, std::vector<Bytes>{test::cpu_hash(header, 42)});
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, FailingCall, ::testing::ValuesIn(kStepFailures));

struct SizeCase {
    bool list;
    int slots;
    size_t n;  // blocks, or entries
    size_t m;  // iterations, or nonces
    size_t header_bytes;
    const char* err;
};

// Refused before any CUDA call: a range of 1..slots blocks and at least one iteration, a
// list of 1..min(slots, 64) entries with as many nonces and 112-byte headers. In bounds, the
// first call (made to fail here) is made.
TEST_F(ContextTest, SizesOutOfBoundsAreRefusedBeforeAnyCudaCall) {
    const SizeCase cases[] = {
        {false, 4, 0, 1, 112, "bad launch size"},
        {false, 4, 5, 1, 112, "bad launch size"},
        {false, 4, 1, 0, 112, "bad launch size"},
        {false, 4, 4, 1, 112, "set device: unknown error"},
        {true, 4, 0, 0, 112, "bad list size"},
        {true, 4, 5, 5, 112, "bad list size"},
        {true, 4, 4, 3, 112, "bad list size"},
        {true, 4, 1, 1, 111, "bad list size"},
        {true, 4, 4, 4, 112, "set device: unknown error"},
        {true, 100, 65, 65, 112, "bad list size"},
        {true, 100, 64, 64, 112, "set device: unknown error"},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.slots) + " slots, " + std::to_string(c.n) + " x " +
                     std::to_string(c.m));
        open(c.slots);
        cudasim::set_fail_rules({fail("cudaSetDevice", 1, cudaErrorUnknown, kDevice)});
        std::vector<DHit> hits(1);
        std::vector<Bytes> out(1, Bytes(32, 9));
        double seconds = -1;
        std::string err;
        EXPECT_FALSE(c.list ? ctx->hash_list(std::vector<Bytes>(c.n, Bytes(c.header_bytes, 1)),
                                             std::vector<uint64_t>(c.m, 0), out, err)
                            : ctx->run_range(static_cast<int>(c.n), static_cast<int>(c.m), 0, hits,
                                             &seconds, err));
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(hits.size(), 1u);
        EXPECT_EQ(out, std::vector<Bytes>(1, Bytes(32, 9)));
        EXPECT_EQ(seconds, -1);
        cudasim::set_fail_rules({});
    }
}

// A launch whose time cannot be measured (an event not recorded, or its time not read) fails
// when the time was asked for, and the error it leaves pending in the runtime is not the next
// launch's failure. A launch that wants no time goes on without it and keeps its hits.
TEST_F(ContextTest, FailedTimingFailsOnlyATimedLaunchAndNotTheNextOne) {
    open(1);
    std::mt19937_64 rng(3);
    set_job(test::random_header(rng), Bytes(32, 0xff));  // every nonce a hit
    const std::pair<const char*, uint64_t> calls[] = {
        {"cudaEventRecord", 1}, {"cudaEventRecord", 2}, {"cudaEventElapsedTime", 1}};
    for (const auto& [function, nth] : calls) {
        for (const bool timed : {true, false}) {
            SCOPED_TRACE(std::string(function) + " " + std::to_string(nth) +
                         (timed ? " timed" : " untimed"));
            cudasim::set_fail_rules({fail(function, nth, cudaErrorNotReady)});
            std::vector<DHit> hits;
            double seconds = -1;
            uint32_t counted = 99;
            std::string err;
            EXPECT_EQ(ctx->run_range(1, 1, 5, hits, timed ? &seconds : nullptr, err, &counted),
                      !timed);
            EXPECT_EQ(err, timed ? "timing: device not ready" : "");
            EXPECT_EQ(seconds, -1);
            EXPECT_EQ(hits.size(), timed ? 0u : 1u);
            EXPECT_EQ(counted, timed ? 99u : 1u);
            cudasim::set_fail_rules({});
            run_range(1, 1, 6, hits, &seconds);
            EXPECT_GT(seconds, 0.0);
        }
    }
}

// The process-wide table is built by the first init that gets past its arena allocation and
// stays built although that context fails later on.
TEST_F(ContextTest, TableIsBuiltByTheFirstInitPastItsArena) {
    ref_index_built = false;
    std::fill(std::begin(ref_index_table), std::end(ref_index_table), 0xffff);
    const struct {
        uint64_t failing_malloc;
        bool built;
    } steps[] = {{1, false}, {2, true}};
    for (const auto& step : steps) {
        cudasim::set_fail_rules(
            {fail("cudaMalloc", step.failing_malloc, cudaErrorMemoryAllocation, kDevice)});
        GpuContext failing;
        std::string err;
        EXPECT_FALSE(failing.init(kDevice, 4, err));
        EXPECT_EQ(ref_index_built, step.built) << "malloc " << step.failing_malloc;
        EXPECT_EQ(ref_index_table[4095], step.built ? 3780 : 0xffff);
    }
}

TEST_F(ContextTest, EmptyContextDestructionMakesNoCudaCall) {
    cudasim::set_fail_rules({fail("cudaSetDevice", 1, cudaErrorUnknown)});
    { GpuContext empty; }
    // Had the destructor selected a device, this first call would be the second one.
    EXPECT_EQ(cudaSetDevice(kDevice), cudaErrorUnknown);
}

// A device whose properties could not be read leaves an error pending on the main thread;
// the next GPU's list hashing (its self-test) must not fail for it.
TEST_F(ContextTest, EnumerationErrorDoesNotFailALaterList) {
    cudasim::set_fail_rules({fail("cudaGetDeviceProperties", 1, cudaErrorInvalidDevice, kOther)});
    std::string err;
    ASSERT_EQ(enumerate_gpus(err).size(), 1u);
    open(1);
    std::mt19937_64 rng(12);
    const Bytes header = test::random_header(rng);
    std::vector<Bytes> out;
    ASSERT_TRUE(ctx->hash_list({header}, {3}, out, err)) << err;
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], test::cpu_hash(header, 3));
}

}  // namespace
}  // namespace tovren::qel
