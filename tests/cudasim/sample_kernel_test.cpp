// The sample kernel that the real build compiles with nvcc, run on the simulator.
#include "sample_kernel.h"

#include "sim_test.h"

namespace {

class SampleKernelTest : public SimTest {};

TEST_F(SampleKernelTest, SumsEveryBlockOnSeveralThreads) {
    for (unsigned threads : {1u, 4u}) {
        cudasim::set_threads(threads);
        for (size_t blocks : {size_t{1}, size_t{7}, size_t{200}}) {
            std::vector<uint64_t> values(blocks * tovren::qel::kSampleThreads);
            for (size_t i = 0; i < values.size(); ++i) {
                values[i] = (i + 1) * 0x9e3779b97f4a7c15ull;
            }
            std::vector<uint64_t> sums;
            uint64_t total = 0;
            std::string err;
            ASSERT_TRUE(tovren::qel::sample_block_sums(values, sums, total, err)) << err;
            ASSERT_EQ(sums.size(), blocks);
            uint64_t expected_total = 0;
            for (size_t b = 0; b < blocks; ++b) {
                uint64_t expected = 0;
                for (size_t i = 0; i < 64; ++i) {
                    expected += values[b * 64 + i];
                }
                EXPECT_EQ(sums[b], expected) << "block " << b;
                expected_total += expected;
            }
            EXPECT_EQ(total, expected_total);
        }
    }
}

TEST_F(SampleKernelTest, ReportsTheRuntimesErrors) {
    cudasim::set_fail_rules(
        {cudasim::FailRule{"cudaLaunchKernel", -1, 1, false, cudaErrorLaunchOutOfResources}});
    std::vector<uint64_t> values(64, 1);
    std::vector<uint64_t> sums{42};
    uint64_t total = 7;
    std::string err;
    EXPECT_FALSE(tovren::qel::sample_block_sums(values, sums, total, err));
    EXPECT_EQ(err, "kernel launch: too many resources requested for launch");
    EXPECT_EQ(sums, std::vector<uint64_t>{42});
    EXPECT_EQ(total, 7u);
}

}  // namespace
