#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "app/gpu_selection.h"
#include "app/self_test_vectors.h"
#include "app/verify.h"
#include "capture.h"
#include "sim_fixture.h"

namespace tovren::qel {
namespace {

using testing::sim_gpu;
using testing::StdoutCapture;

// Verify mode on GPUs that start-up has opened and self-tested.
class VerifyModeTest : public testing::SimTest {
  protected:
    void SetUp() override {
        SimTest::SetUp();
        path_ = ::testing::TempDir() + "verify_mode_test_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        SimTest::TearDown();
    }

    // The embedded vectors, over and over, as records of the file.
    void write_records(size_t count, size_t wrong_record = SIZE_MAX) {
        std::ofstream file(path_);
        for (size_t i = 0; i < count; ++i) {
            const SelfTestVector& v = self_test_vectors[i % kSelfTestVectorCount];
            std::string expected = v.expected_hex;
            if (i == wrong_record) {
                expected[10] = expected[10] == 'a' ? 'b' : 'a';
            }
            file << v.header_hex << ' ' << v.nonce << ' ' << expected << ' ' << i << '\n';
        }
    }

    void open(const std::vector<cudasim::DeviceSpec>& specs) {
        use_gpus(specs);
        StdoutCapture quiet;
        ASSERT_EQ(open_gpus(settings_, devices_), 0);
    }

    std::string path_;
};

TEST_F(VerifyModeTest, FaultyGpuFailsWhileTheOtherPasses) {
    open({sim_gpu("A", 2, 800), sim_gpu("B", 2, 800)});
    write_records(4);
    cudasim::CorruptRule rule;
    rule.param = 10;
    rule.offset = 31;
    rule.device = 0;
    cudasim::set_corrupt_rules({rule});
    StdoutCapture out;
    EXPECT_EQ(run_verify_mode(path_, devices_), 1);
    EXPECT_EQ(out.finish(),
              " check GPU0 verify 3/4 FAILED\n"
              " check GPU1 verify 4/4 OK\n");
}

TEST_F(VerifyModeTest, RecordsAreHashedInListsOfThirtyTwo) {
    open({sim_gpu("A", 8, 6000)});  // 40 slices: more than a batch
    ASSERT_EQ(devices_[0]->ctx->slots, 40);
    write_records(33);
    const uint64_t launches_before = cudasim::launch_count();
    StdoutCapture out;
    EXPECT_EQ(run_verify_mode(path_, devices_), 0);
    EXPECT_EQ(out.finish(), " check GPU0 verify 33/33 OK\n");
    EXPECT_EQ(cudasim::launch_count() - launches_before, 2u);
}

TEST_F(VerifyModeTest, SmallContextIsVerifiedInListsOfItsOwnSize) {
    settings_.hashes = 16;
    open({sim_gpu("A", 2, 6000)});
    ASSERT_EQ(devices_[0]->ctx->slots, 16);
    write_records(40);
    const uint64_t launches_before = cudasim::launch_count();
    StdoutCapture out;
    EXPECT_EQ(run_verify_mode(path_, devices_), 0);
    EXPECT_EQ(out.finish(), " check GPU0 verify 40/40 OK\n");
    EXPECT_EQ(cudasim::launch_count() - launches_before, 3u);  // 16, 16 and 8
}

TEST_F(VerifyModeTest, ListFailureEndsVerifyWithItsErrorText) {
    open({sim_gpu("A", 2, 800), sim_gpu("B", 2, 800)});
    write_records(4);
    cudasim::FailRule rule;
    rule.function = "cudaMalloc";
    rule.device = 0;
    rule.error = cudaErrorMemoryAllocation;
    cudasim::set_fail_rules({rule});
    set_console_colors(true);
    StdoutCapture out;
    EXPECT_EQ(run_verify_mode(path_, devices_), 1);
    EXPECT_EQ(out.finish(), std::string("\033[31m check\033[0m alloc: ") +
                                cudaGetErrorString(cudaErrorMemoryAllocation) + "\n");
}

}  // namespace
}  // namespace tovren::qel
