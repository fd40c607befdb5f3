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
        {"7", {0, 1}, {}},         {" 1x", {0, 1}, {1}},
        {",", {0, 1}, {0}},        {"1,0,1", {0, 1}, {1, 0, 1}}};
    for (const auto& [list, ordinals, ids] : cases) {
        std::vector<GpuInfo> gpus(ordinals.size());
        for (size_t i = 0; i < gpus.size(); ++i)
            gpus[i].ordinal = ordinals[i];
        EXPECT_EQ(select_device_ids(list, gpus), ids) << list;
    }
}

// Five hashes per multiprocessor, held to the whole 8 MiB slices that fit beside the
// reserve; --hashes must fit. Cases: free bytes, multiprocessors, --hashes, slices, ok, n.
TEST(GpuSelectionTest, HashesFitTheFreeMemory) {
    constexpr uint64_t kMiB = 1 << 20;
    const std::tuple<uint64_t, int, int, uint64_t, bool, int> cases[] = {
        {8192 * kMiB, 40, 0, 928, true, 200},   {800 * kMiB, 40, -5, 4, true, 4},
        {780 * kMiB, 40, 0, 1, true, 1},        {776 * kMiB - 1, 40, 0, 0, true, 0},
        {768 * kMiB, 40, 0, 0, true, 0},        {0, 40, 0, 0, true, 0},
        {8192 * kMiB, 0, 0, 928, true, 0},      {4760 * kMiB, 40, 500, 499, false, -1},
        {4768 * kMiB, 40, 500, 500, true, 500}, {4760 * kMiB, 40, 2, 499, true, 2},
        {768 * kMiB, 40, 1, 0, false, -1}};
    for (const auto& [free_mem, sm_count, option, slices, ok, hashes] : cases) {
        SCOPED_TRACE(::testing::Message()
                     << free_mem << " B, " << sm_count << " SM, --hashes " << option);
        EXPECT_EQ(slot_capacity(free_mem), slices);
        int n = -1;
        EXPECT_EQ(sizing_hashes(free_mem, sm_count, option, n), ok);
        EXPECT_EQ(n, hashes);
    }
}

// GPU1 cannot be read, so ids go on naming ordinals; a context holds at least four hashes
// and a GPU named twice is opened twice.
TEST_F(StartupTest, SelectedGpusAreOpenedInOrderAndSelfTested) {
    use_gpus({{1, 808}, {2, 800}, {40, 780}});  // five, four and one hash fit
    cudasim::set_fail_rules({{"cudaGetDeviceProperties", 1, 1, true, cudaErrorInvalidDevice}});
    settings_.devices = "2,1,0,2";
    testing::StdoutCapture quiet;
    ASSERT_EQ(prepare_gpus(settings_, devices_), 0);
    std::vector<std::string> opened;  // name, context's device / slots
    for (const auto& d : devices_)
        opened.push_back(d->name + std::to_string(d->ctx->device) + "/" +
                         std::to_string(d->ctx->slots));
    ASSERT_EQ(opened, (std::vector<std::string>{"C2/4", "A0/5", "C2/4"}));
}

// A wrong expected hash is counted; a row that does not decode fails before any hashing.
// The GPU compares only what its list returned, so an expected hash it cannot read is a miss.
TEST_F(StartupTest, SelfTestsCountWrongRowsAndRefuseBadOnes) {
    use_gpus({{2, 800}});
    GpuContext ctx;
    std::string err;
    ASSERT_TRUE(ctx.init(0, 4, err)) << err;
    const std::string h0 = self_test_vectors[0].header_hex;
    const std::string x1 = self_test_vectors[1].expected_hex;
    const std::string bad = "bad embedded vector";
    struct Case {
        size_t row;
        bool header;  // else the expected hash
        std::string text;
        const char* cpu;
        const char* gpu;
    };
    const Case cases[] = {
        {0, true, h0.substr(0, 223), "bad embedded vector", "bad embedded vector"},
        {0, true, h0.substr(0, 222) + "xy", "bad embedded vector", "bad embedded vector"},
        {3, true, "", "bad embedded vector", "bad embedded vector"},
        {1, false, x1.substr(0, 63) + (x1[63] == '0' ? "1" : "0"), "3/4", "3/4"},
        {2, false, "zz" + x1.substr(2), "bad embedded vector", "3/4"},
        {2, false, x1.substr(0, 63), "bad embedded vector", "3/4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SelfTestVector rows[kSelfTestVectorCount];
        std::copy(std::begin(self_test_vectors), std::end(self_test_vectors), rows);
        (c.header ? rows[c.row].header_hex : rows[c.row].expected_hex) = c.text.c_str();
        std::string reason;
        EXPECT_FALSE(cpu_self_test(reason, rows, kSelfTestVectorCount));
        EXPECT_EQ(reason, c.cpu);
        reason.clear();
        const uint64_t launches = cudasim::launch_count();
        EXPECT_FALSE(gpu_self_test(ctx, reason, rows, kSelfTestVectorCount));
        EXPECT_EQ(reason, c.gpu);
        EXPECT_EQ(cudasim::launch_count() - launches, c.gpu == bad ? 0u : 1u);
    }
}

// "%2hhx" per pair: either case, only the first 2n characters; a pair that converts nothing
// stops the decoding with the bytes before it written. It takes one digit before a non-hex
// character and skips a leading blank, but never reaches into the next pair.
TEST(HexTest, PairsConvertUntilOneConvertsNothing) {
    const std::tuple<const char*, bool, std::vector<uint8_t>> cases[] = {
        // text, result, three bytes that start as 0xee
        {"00ff7F", true, {0x00, 0xff, 0x7f}},  {"0102ab99", true, {0x01, 0x02, 0xab}},
        {"12zz34", false, {0x12, 0xee, 0xee}}, {"gg", false, {0xee, 0xee, 0xee}},
        {"1234", false, {0x12, 0x34, 0xee}},   {"", false, {0xee, 0xee, 0xee}},
        {"5z abc", true, {0x05, 0x0a, 0xbc}}};
    for (const auto& [hex, ok, bytes] : cases) {
        std::vector<uint8_t> out(3, 0xee);
        EXPECT_EQ(hex_to_bytes(hex, out.data(), 3), ok) << hex;
        EXPECT_EQ(out, bytes) << hex;
    }
}

// Rows 0 and 1 are block headers with the same roots; the expected hashes hold for an
// independent Argon2id as well as for ours.
TEST(SelfTestVectorsTest, ExpectedHashesMatchLibargon2) {
    const std::string row0 = self_test_vectors[0].header_hex;
    const std::string row1 = self_test_vectors[1].header_hex;
    EXPECT_EQ(row0.substr(0, 72), "01000000" + std::string(64, '0'));
    EXPECT_EQ(row0.substr(200), "c0e3e16a000000000000401e");
    EXPECT_EQ(row1.substr(200), "8046dd6a00000000ffff7f20");
    EXPECT_EQ(row0.substr(0, 200), row1.substr(0, 200));
    const uint64_t nonces[] = {77492, 6, 0x9733D77746E7091DULL, 0x8F49F2C3F4216286ULL};
    for (size_t row = 0; row < kSelfTestVectorCount; ++row)
        EXPECT_EQ(self_test_vectors[row].nonce, nonces[row]) << row;
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
    stop_requested = false;
}

}  // namespace
}  // namespace tovren::qel
