#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>

#include "app/gpu_selection.h"
#include "app/miner.h"
#include "app/self_test.h"
#include "app/stop_signal.h"
#include "capture.h"
#include "sim_fixture.h"

namespace tovren::qel {
namespace {

using testing::sim_gpu;
using testing::StdoutCapture;

class StartupTest : public testing::SimTest {};

TEST_F(StartupTest, SelectedGpusAreSizedOpenedAndSelfTested) {
    // Slices that fit after the reserve: 4, 1 and 5.
    use_gpus({sim_gpu("Alpha", 40, 800), sim_gpu("Beta", 40, 780), sim_gpu("Gamma", 1, 808)});
    settings_.devices = "2,1,0,1";
    StdoutCapture out;
    ASSERT_EQ(prepare_gpus(settings_, devices_), 0);
    const std::string text = out.finish();

    ASSERT_EQ(devices_.size(), 4u);
    const int ordinals[] = {2, 1, 0, 1};
    const int slots[] = {5, 4, 4, 4};  // Gamma: 1 SM gives 5; the floor of 4 for the others
    for (size_t i = 0; i < devices_.size(); ++i) {
        EXPECT_EQ(devices_[i]->ordinal, ordinals[i]);
        ASSERT_NE(devices_[i]->ctx, nullptr);
        EXPECT_EQ(devices_[i]->ctx->slots, slots[i]);
        EXPECT_EQ(devices_[i]->hashes, 0);
    }
    EXPECT_EQ(devices_[0]->name, "Gamma");
    EXPECT_EQ(devices_[0]->free_mem, 808 * testing::kMiB);
    EXPECT_EQ(text,
              " gpu   GPU2 Gamma \u00b7 1 SM \u00b7 L2 4 MB \u00b7 8192 MB \u00b7 bus 03:00.0 "
              "\u00b7 self-test 4/4 OK\n"
              " gpu   GPU1 Beta \u00b7 40 SM \u00b7 L2 4 MB \u00b7 8192 MB \u00b7 bus 02:00.0 "
              "\u00b7 self-test 4/4 OK\n"
              " gpu   GPU0 Alpha \u00b7 40 SM \u00b7 L2 4 MB \u00b7 8192 MB \u00b7 bus 01:00.0 "
              "\u00b7 self-test 4/4 OK\n"
              " gpu   GPU1 Beta \u00b7 40 SM \u00b7 L2 4 MB \u00b7 8192 MB \u00b7 bus 02:00.0 "
              "\u00b7 self-test 4/4 OK\n"
              " check CPU share check self-test 4/4 OK (every share is checked before it is "
              "sent)\n");
}

TEST_F(StartupTest, DescriptionLineShowsWholeMebibytes) {
    cudasim::DeviceSpec model = sim_gpu("Rig Card", 68, 800);
    model.l2_bytes = 2621440;  // 2.5 MiB
    model.total_mem = 10240 * testing::kMiB + 12345;
    model.pci_bus = 0x41;
    model.pci_device = 0x1f;
    use_gpus({model});
    StdoutCapture out;
    ASSERT_EQ(prepare_gpus(settings_, devices_), 0);
    const std::string text = out.finish();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              " gpu   GPU0 Rig Card \u00b7 68 SM \u00b7 L2 2 MB \u00b7 10240 MB \u00b7 bus 41:1f.0 "
              "\u00b7 self-test 4/4 OK\n");
}

TEST_F(StartupTest, MemoryShortagesEndStartUpWithOne) {
    use_gpus({sim_gpu("Small", 40, 768), sim_gpu("Roomy", 40, 800)});
    {
        StdoutCapture out;
        EXPECT_EQ(prepare_gpus(settings_, devices_), 1);
        EXPECT_EQ(out.finish(), " gpu   GPU0 Small: not enough memory\n");
    }
    settings_.devices = "1";
    settings_.hashes = 5;  // Roomy holds 4
    {
        StdoutCapture out;
        EXPECT_EQ(prepare_gpus(settings_, devices_), 1);
        EXPECT_EQ(out.finish(), " gpu   GPU1: not enough memory for 5 hashes\n");
    }
    settings_.hashes = 2;  // still a context of 4 slices
    {
        StdoutCapture out;
        EXPECT_EQ(prepare_gpus(settings_, devices_), 0);
    }
    ASSERT_EQ(devices_.size(), 1u);
    EXPECT_EQ(devices_[0]->ctx->slots, 4);
}

TEST_F(StartupTest, ContextFailureNamesTheStepAndStopsAtThatGpu) {
    use_gpus({sim_gpu("A", 2, 800), sim_gpu("B", 2, 800), sim_gpu("C", 2, 800)});
    cudasim::FailRule rule;
    rule.function = "cudaMalloc";
    rule.device = 1;
    rule.error = cudaErrorMemoryAllocation;
    cudasim::set_fail_rules({rule});
    const uint64_t launches_before = cudasim::launch_count();
    StdoutCapture out;
    EXPECT_EQ(prepare_gpus(settings_, devices_), 1);
    const std::string text = out.finish();
    EXPECT_NE(text.find(" gpu   GPU0 A \u00b7"), std::string::npos);
    EXPECT_EQ(text.substr(text.find('\n') + 1), std::string(" gpu   GPU1 B: arena allocation: ") +
                                                    cudaGetErrorString(cudaErrorMemoryAllocation) +
                                                    "\n");
    // Only GPU0's self-test list ran: C was never opened, the CPU was not tested.
    EXPECT_EQ(cudasim::launch_count() - launches_before, 1u);
}

TEST_F(StartupTest, GpuSelfTestRefusesABadVectorWithoutGpuWork) {
    use_gpus({sim_gpu("A", 2, 800)});
    GpuContext ctx;
    std::string err;
    ASSERT_TRUE(ctx.init(0, 4, err)) << err;
    SelfTestVector rows[kSelfTestVectorCount];
    std::copy(std::begin(self_test_vectors), std::end(self_test_vectors), rows);
    const std::string bad = std::string(rows[3].header_hex).replace(222, 2, "xy");
    rows[3].header_hex = bad.c_str();
    const uint64_t launches_before = cudasim::launch_count();
    std::string reason;
    EXPECT_FALSE(gpu_self_test(ctx, reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "bad embedded vector");
    EXPECT_EQ(cudasim::launch_count(), launches_before);
    EXPECT_TRUE(gpu_self_test(ctx, reason));
    EXPECT_EQ(reason, "4/4");
}

TEST_F(StartupTest, IdsFollowOrdinalsPastASkippedDevice) {
    use_gpus({sim_gpu("A", 2, 800), sim_gpu("B", 2, 800), sim_gpu("C", 2, 800)});
    cudasim::FailRule rule;
    rule.function = "cudaGetDeviceProperties";
    rule.device = 1;
    rule.and_later = true;
    cudasim::set_fail_rules({rule});
    settings_.devices = "2,1";
    StdoutCapture out;
    ASSERT_EQ(prepare_gpus(settings_, devices_), 0);
    ASSERT_EQ(devices_.size(), 1u);
    EXPECT_EQ(devices_[0]->ordinal, 2);
    EXPECT_EQ(devices_[0]->name, "C");
    EXPECT_EQ(devices_[0]->ctx->device, 2);
}

TEST(ProcessSetupTest, CudaDeviceOrderIsSetOnlyWhenAbsent) {
    unsetenv("CUDA_DEVICE_ORDER");
    set_cuda_device_order();
    EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), "PCI_BUS_ID");
    setenv("CUDA_DEVICE_ORDER", "FASTEST_FIRST", 1);
    set_cuda_device_order();
    EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), "FASTEST_FIRST");
    unsetenv("CUDA_DEVICE_ORDER");
}

TEST(ProcessSetupTest, StopSignalsOnlySetTheFlag) {
    install_stop_signals();
    stop_requested = false;
    std::raise(SIGINT);
    EXPECT_TRUE(stop_requested.load());
    stop_requested = false;
    std::raise(SIGTERM);
    EXPECT_TRUE(stop_requested.load());
    std::raise(SIGPIPE);  // ignored: the process goes on
    stop_requested = false;
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
}

}  // namespace
}  // namespace tovren::qel
