// Start-up: choosing, sizing and opening the GPUs, the self-tests and their vectors, and the
// process settings.
#include <argon2.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "app/gpu_selection.h"
#include "app/hex.h"
#include "app/miner.h"
#include "app/self_test.h"
#include "app/stop_signal.h"
#include "capture.h"
#include "pow/argon2id.h"
#include "sim_fixture.h"

namespace tovren::qel {
namespace {

using StartupTest = testing::SimTest;

// Ids name CUDA ordinals, as nvidia-smi shows them, even when a device could not be read;
// an item without digits is 0, and one beyond the int range is not wrapped round to 0.
// Cases: the list, the ordinals enumeration found, the ids.
TEST(GpuSelectionTest, DeviceListsKeepOrderAndDropWhatIsNotThere) {
    const std::tuple<const char*, std::vector<int>, std::vector<int>> cases[] = {
        {"", {0, 2}, {0, 2}},      {"2,1,0,2,", {0, 2}, {2, 0, 2}},
        {"x,,-1", {0, 1}, {0, 0}}, {"4294967296", {0, 1}, {}},
        {"7", {0, 1}, {}},         {" 1x", {0, 1}, {1}}};
    for (const auto& [list, ordinals, ids] : cases) {
        std::vector<GpuInfo> gpus(ordinals.size());
        for (size_t i = 0; i < gpus.size(); ++i)
            gpus[i].ordinal = ordinals[i];
        EXPECT_EQ(select_device_ids(list, gpus), ids) << list;
    }
}

// Five hashes per multiprocessor, held to what fits beside the reserve; --hashes must fit.
TEST(GpuSelectionTest, HashesFitTheFreeMemory) {
    constexpr uint64_t kMiB = 1 << 20;
    const std::tuple<uint64_t, int, bool, int> cases[] = {
        {8192 * kMiB, 0, true, 200},   {800 * kMiB, -5, true, 4},     {776 * kMiB - 1, 0, true, 0},
        {4760 * kMiB, 500, false, -1}, {4768 * kMiB, 500, true, 500}, {768 * kMiB, 1, false, -1}};
    for (const auto& [free_mem, option, ok, hashes] : cases) {
        int n = -1;
        EXPECT_EQ(sizing_hashes(free_mem, 40, option, n), ok)
            << free_mem << " B, --hashes " << option;
        EXPECT_EQ(n, hashes) << free_mem << " B, --hashes " << option;
    }
}

// GPU1 cannot be read, so ids go on naming ordinals; a context holds at least four hashes.
// A self-test row that does not decode fails before any hashing.
TEST_F(StartupTest, SelectedGpusAreOpenedInOrderAndSelfTested) {
    use_gpus({{1, 808}, {2, 800}, {40, 780}});  // five, four and one hash fit
    cudasim::set_fail_rules({{"cudaGetDeviceProperties", 1, 1, true, cudaErrorInvalidDevice}});
    settings_.devices = "2,1,0";
    testing::StdoutCapture quiet;
    ASSERT_EQ(prepare_gpus(settings_, devices_), 0);
    std::vector<std::string> opened;  // name, context's device / slots
    for (const auto& d : devices_)
        opened.push_back(d->name + std::to_string(d->ctx->device) + "/" +
                         std::to_string(d->ctx->slots));
    ASSERT_EQ(opened, (std::vector<std::string>{"C2/4", "A0/5"}));

    SelfTestVector rows[kSelfTestVectorCount];
    std::copy(std::begin(self_test_vectors), std::end(self_test_vectors), rows);
    const std::string bad(rows[0].header_hex, 2 * kHeaderBytes - 1);  // one digit short
    rows[0].header_hex = bad.c_str();
    std::string reason;
    EXPECT_FALSE(cpu_self_test(reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "bad embedded vector");
    reason.clear();
    const uint64_t launches = cudasim::launch_count();
    EXPECT_FALSE(gpu_self_test(*devices_[0]->ctx, reason, rows, kSelfTestVectorCount));
    EXPECT_EQ(reason, "bad embedded vector");
    EXPECT_EQ(cudasim::launch_count(), launches);
}

// The expected hashes hold for an independent Argon2id as well as for ours.
TEST(SelfTestVectorsTest, ExpectedHashesMatchLibargon2) {
    for (const SelfTestVector& v : self_test_vectors) {
        std::vector<uint8_t> pwd(kHeaderBytes);
        std::vector<uint8_t> hash(kHashBytes);
        std::vector<uint8_t> expected(kHashBytes);
        ASSERT_EQ(std::string(v.header_hex).size(), 2 * kHeaderBytes);
        ASSERT_TRUE(hex_to_bytes(v.header_hex, pwd.data(), kHeaderBytes));
        ASSERT_TRUE(hex_to_bytes(v.expected_hex, expected.data(), kHashBytes));
        for (int i = 0; i < 8; ++i)
            pwd.push_back(static_cast<uint8_t>(v.nonce >> (8 * i)));
        ASSERT_EQ(argon2id_hash_raw(1, 8192, 1, pwd.data(), pwd.size(), kPowSalt, kPowSaltBytes,
                                    hash.data(), kHashBytes),
                  ARGON2_OK);
        EXPECT_EQ(hash, expected);
    }
}

// The device order is left to the user when given; stop signals only set the flag.
TEST(ProcessSetupTest, DeviceOrderAndStopSignals) {
    for (const char* order : {"FASTEST_FIRST", ""}) {
        *order ? setenv("CUDA_DEVICE_ORDER", order, 1) : unsetenv("CUDA_DEVICE_ORDER");
        set_cuda_device_order();
        EXPECT_STREQ(std::getenv("CUDA_DEVICE_ORDER"), *order ? order : "PCI_BUS_ID");
    }
    install_stop_signals();
    for (const int signal : {SIGPIPE, SIGINT, SIGTERM}) {
        stop_requested = false;
        std::raise(signal);  // SIGPIPE is ignored: the process goes on
        EXPECT_EQ(stop_requested.load(), signal != SIGPIPE) << signal;
        std::signal(signal, SIG_DFL);
    }
}

}  // namespace
}  // namespace tovren::qel
