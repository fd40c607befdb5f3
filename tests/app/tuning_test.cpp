#include "app/tuning.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "app/console.h"
#include "capture.h"
#include "sim_gpu.h"

namespace tovren::qel {
namespace {

TEST(TuningTest, IterationRuleAndCandidateLists) {
    // The time of one iteration: a third of a second's worth, within 8 to 128. 0.002 gives
    // 174, capped; 0.0035 a double quotient just below 100; 0.05 gives 6, raised to 8.
    const std::pair<double, int> iterations[] = {{0.00005, 128}, {0.002, 128},       {0.005, 70},
                                                 {0.01, 35},     {0.0035, 99},       {0.05, 8},
                                                 {0.0, 128},     {std::nan(""), 128}};
    for (const auto& [seconds, iters] : iterations)
        EXPECT_EQ(iterations_for(seconds), iters) << seconds;

    // The multipliers of the multiprocessor count until one no longer fits the slots.
    EXPECT_EQ(tuning_candidates(28, 140), (std::vector<int>{70, 84, 91, 98, 105, 112, 126, 140}));
    EXPECT_EQ(tuning_candidates(28, 139), (std::vector<int>{70, 84, 91, 98, 105, 112, 126}));
    EXPECT_EQ(tuning_candidates(10, 30), (std::vector<int>{25, 30}));
    EXPECT_EQ(tuning_candidates(1, 4), (std::vector<int>{3, 3, 3, 4, 4, 4}));
    EXPECT_EQ(tuning_candidates(0, 4), (std::vector<int>(8, 1)));
    EXPECT_TRUE(tuning_candidates(28, 69).empty());
    EXPECT_TRUE(tuning_candidates(1 << 30, 4).empty());
}

TEST(TuningTest, FastestCandidateWinsAndATieKeepsTheFirst) {
    // Seconds of the timed launch per candidate: rates 25*32/2 = 400, 30*32/2.4 = 400 (a tie),
    // 35*32/2.0 = 560, 40*32/3.2 = 400.
    const std::map<int, double> seconds = {{25, 2.0}, {30, 2.4}, {35, 2.0}, {40, 3.2}};
    std::vector<int> timed;
    const auto fake = [&](int n, double& t) {
        timed.push_back(n);
        t = seconds.at(n);
        return true;
    };
    TuneChoice best;
    ASSERT_TRUE(choose_hashes({25, 30}, fake, best));
    EXPECT_EQ(best.hashes, 25);
    EXPECT_DOUBLE_EQ(best.rate, 400.0);
    EXPECT_DOUBLE_EQ(best.seconds_per_iteration, 2.0 / 32);
    ASSERT_TRUE(choose_hashes({25, 30, 35, 40}, fake, best));
    EXPECT_EQ(best.hashes, 35);
    EXPECT_DOUBLE_EQ(best.rate, 560.0);
    EXPECT_EQ(timed, (std::vector<int>{25, 30, 25, 30, 35, 40}));  // same n measured again

    ASSERT_TRUE(choose_hashes({}, fake, best));
    EXPECT_EQ(best.hashes, 0);
    int calls = 0;
    EXPECT_FALSE(choose_hashes(
        {25, 30}, [&](int, double&) { return ++calls > 5; }, best));
    EXPECT_EQ(calls, 1);  // the first failure ends the search
}

class TuneGpuTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_console_colors(false);
        testing::reset_sim_gpus(2);
    }
};

TEST_F(TuneGpuTest, HashesFromTheOptionOrMeasuredAndIterationsFromOneLaunch) {
    const struct {
        int option, slots, hashes;
        unsigned launches;
        const char* how;
    } cases[] = {
        {2, 4, 2, 1, "set by --hashes"},
// 320 simulated hashes: too slow when instrumented, so only in release builds; the choice
// among the candidates is tested above in every build.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // 2 SMs: only the first candidate, 5, fits; a warm-up and a measured launch.
        {0, 5, 5, 2, "measured, override with --hashes <n>"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        testing::reset_sim_gpus(2);
        auto dev = testing::sim_device(1, 0, 0, c.slots);
        testing::StdoutCapture out;
        ASSERT_TRUE(tune_gpu(*dev, c.option));
        const std::string text = out.finish();
        EXPECT_EQ(dev->hashes, c.hashes);
        EXPECT_GE(dev->iters, 8);
        EXPECT_LE(dev->iters, 128);
        EXPECT_EQ(cudasim::launch_count(), c.launches);
        EXPECT_EQ(text, " tune  GPU1: " + std::to_string(c.hashes) + " hashes in flight (" +
                            std::to_string(8 * c.hashes) + " MB), " + format_rate(dev->tuned_rate) +
                            " (" + c.how + ")\n");
    }
}

TEST_F(TuneGpuTest, NoFittingCandidateIsNotEnoughGpuMemory) {
    GpuDeviceList devices;
    devices.push_back(testing::sim_device(0, 0, 0));
    devices.push_back(testing::sim_device(1, 0, 0));
    devices[0]->sm_count = 28;  // 70 hashes in flight for 4 slots
    testing::StdoutCapture out;
    EXPECT_EQ(tune_gpus(devices, -3), 1);
    EXPECT_EQ(out.finish(), " tune  GPU0: not enough GPU memory\n");
    EXPECT_EQ(cudasim::launch_count(), 0u);
    EXPECT_EQ(devices[1]->hashes, 0);  // later GPUs are not tuned
}

// A failed job copy or launch ends tuning with exit code 1 and no tune line: with --hashes the
// error text alone, when measuring named after the GPU.
TEST_F(TuneGpuTest, FailedJobCopyOrLaunchEndsTuning) {
    const struct {
        const char* call;
        uint64_t nth;
        int option;
        const char* line;
    } cases[] = {
        {"cudaMemcpyAsync", 1, 4, " gpu   job copy: unknown error\n"},
        {"cudaMemcpyAsync", 1, 0, " tune  GPU1: job copy: unknown error\n"},
        {"cudaLaunchKernel", 1, 4, " gpu   kernel launch: unknown error\n"},
        {"cudaLaunchKernel", 1, 0, " tune  GPU1: kernel launch: unknown error\n"},
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // The measuring launch after a warm-up of 32 hashes: release builds only, as above.
        {"cudaLaunchKernel", 2, 0, " tune  GPU1: kernel launch: unknown error\n"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        testing::reset_sim_gpus(2);
        GpuDeviceList devices;
        devices.push_back(testing::sim_device(1, 0, 0));
        devices[0]->sm_count = 0;  // one hash in flight per candidate
        cudasim::set_fail_rules({cudasim::FailRule{c.call, -1, c.nth, false, cudaErrorUnknown}});
        testing::StdoutCapture out;
        EXPECT_EQ(tune_gpus(devices, c.option), 1);
        EXPECT_EQ(out.finish(), c.line);
        EXPECT_EQ(devices[0]->hashes, 0);
    }
}

}  // namespace
}  // namespace tovren::qel
