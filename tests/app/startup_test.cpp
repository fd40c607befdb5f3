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
    cudasim::DeviceSpec gamma = sim_gpu("Gamma", 1, 808);
    gamma.l2_bytes = 2621440;  // 2.5 MiB
    gamma.total_mem = 10240 * testing::kMiB + 12345;
    gamma.pci_bus = 0x41;
    gamma.pci_device = 0x1f;
    use_gpus({sim_gpu("Alpha", 40, 800), sim_gpu("Beta", 40, 780), gamma});
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
    }
    EXPECT_EQ(devices_[0]->name, "Gamma");
    // Whole MiB, the remainder dropped; then the other GPUs and the CPU line.
    EXPECT_EQ(text.substr(0, text.find('\n') + 1),
              " gpu   GPU2 Gamma \u00b7 1 SM \u00b7 L2 2 MB \u00b7 10240 MB \u00b7 bus 41:1f.0 "
              "\u00b7 self-test 4/4 OK\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);
    EXPECT_NE(text.find("\n check CPU share check self-test 4/4 OK"), std::string::npos);
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
}

TEST_F(StartupTest, SelfTestsCountWrongRowsAndRefuseBadOnes) {
    use_gpus({sim_gpu("A", 2, 800)});
    GpuContext ctx;
    std::string reason;
    ASSERT_TRUE(ctx.init(0, 4, reason)) << reason;
    SelfTestVector rows[kSelfTestVectorCount];
    std::copy(std::begin(self_test_vectors), std::end(self_test_vectors), rows);
    std::string changed = rows[1].expected_hex;
    changed[63] = changed[63] == '0' ? '1' : '0';
    rows[1].expected_hex = changed.c_str();
    EXPECT_FALSE(cpu_self_test(reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "3/4");

    // A header that does not decode fails before any hashing or GPU work.
    const std::string bad = std::string(rows[0].header_hex).replace(222, 2, "xy");
    rows[0].header_hex = bad.c_str();
    EXPECT_FALSE(cpu_self_test(reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "bad embedded vector");
    const uint64_t launches_before = cudasim::launch_count();
    reason.clear();
    EXPECT_FALSE(gpu_self_test(ctx, reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "bad embedded vector");
    EXPECT_EQ(cudasim::launch_count(), launches_before);
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

// The device order is left to the user when given; stop signals only set the flag.
TEST(ProcessSetupTest, DeviceOrderAndStopSignals) {
    setenv("CUDA_DEVICE_ORDER", "FASTEST_FIRST", 1);
    set_cuda_device_order();
    EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), "FASTEST_FIRST");
    unsetenv("CUDA_DEVICE_ORDER");
    set_cuda_device_order();
    EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), "PCI_BUS_ID");

    install_stop_signals();
    stop_requested = false;
    std::raise(SIGPIPE);  // ignored: the process goes on
    EXPECT_FALSE(stop_requested.load());
    for (int signal : {SIGINT, SIGTERM}) {
        stop_requested = false;
        std::raise(signal);
        EXPECT_TRUE(stop_requested.load()) << signal;
        std::signal(signal, SIG_DFL);
    }
    std::signal(SIGPIPE, SIG_DFL);
    stop_requested = false;
}

}  // namespace
}  // namespace tovren::qel
