// The simulated miner as a whole process: what the user sees on each stream and the exit
// code, for every way start-up can end before mining.
#include "process.h"

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "app/self_test_vectors.h"

namespace tovren::qel {
namespace {

using testing::ProcessResult;

const char kOneGpu[] = "name=Sim One;sm=2;mem=2G;free=800M";
const char kTwoGpus[] =
    "name=Rig A;sm=68;l2=5M;mem=10G;free=800M;pci=01:00|"
    "name=Rig B;sm=28;l2=2560K;mem=6G;free=900M;pci=41:00";

const std::string kGpuLineA =
    " gpu   GPU0 Rig A \u00b7 68 SM \u00b7 L2 5 MB \u00b7 10240 MB \u00b7 bus 01:00.0 \u00b7 "
    "self-test 4/4 OK\n";
const std::string kGpuLineB =
    " gpu   GPU1 Rig B \u00b7 28 SM \u00b7 L2 2 MB \u00b7 6144 MB \u00b7 bus 41:00.0 \u00b7 "
    "self-test 4/4 OK\n";
const std::string kCpuLine =
    " check CPU share check self-test 4/4 OK (every share is checked before it is sent)\n";

// The miner with devices as CUDASIM_DEVICES, no faults and no NO_COLOR unless given.
ProcessResult miner(const std::vector<std::string>& args, const char* devices,
                    std::map<std::string, const char*> env = {}) {
    env.emplace("CUDASIM_DEVICES", devices);
    env.emplace("CUDASIM_FAIL", nullptr);
    env.emplace("CUDASIM_CORRUPT", nullptr);
    env.emplace("NO_COLOR", nullptr);
    return testing::run_process(QEL_MINER_SIM, args, env);
}

// Standard output after the eight banner lines.
std::string after_banner(const std::string& out) {
    size_t at = 0;
    for (int line = 0; line < 8 && at != std::string::npos; ++line) {
        at = out.find('\n', at);
        at = at == std::string::npos ? at : at + 1;
    }
    return at == std::string::npos ? "" : out.substr(at);
}

TEST(MinerProcess, NoArgumentsSelfTestsThenAsksForAnAddress) {
    const ProcessResult r = miner({}, kOneGpu);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "an QEL payout address is required: -u <qel1...>\n");
    EXPECT_EQ(r.out.substr(0, 3), "\n  ");
    EXPECT_NE(r.out.find("   TOVREN QEL GPU\n"), std::string::npos);
    EXPECT_NE(r.out.find("   Skelvarin GPU miner (Argon2id)\n"), std::string::npos);
    EXPECT_NE(r.out.find("   v1.0.3\n"), std::string::npos);
    // Colour is on by default: the log lines carry it even into a file.
    EXPECT_EQ(after_banner(r.out),
              "\033[90m gpu  \033[0m GPU0 Sim One \u00b7 2 SM \u00b7 L2 4 MB \u00b7 2048 MB "
              "\u00b7 bus 01:00.0 \u00b7 self-test 4/4 OK\n"
              "\033[90m check\033[0m CPU share check self-test 4/4 OK (every share is "
              "checked before it is sent)\n");
}

TEST(MinerProcess, CommandLineMistakesAndHelp) {
    ProcessResult r = miner({"--address", "qel1abc", "-h"}, kOneGpu);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(
        r.out.rfind(std::string("usage: ") + QEL_MINER_SIM + " -u <QEL address> [options]\n", 0),
        0u);
    EXPECT_EQ(r.err, "");

    r = miner({"-o", "h:1", "-u"}, kOneGpu);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");  // not even the banner
    EXPECT_EQ(r.err, "missing value for --user\n");

    r = miner({"-x", "-h"}, kOneGpu);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "unknown option -x (see --help)\n");

    r = miner({"--pool=x:1"}, kOneGpu);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "unknown option --pool=x:1 (see --help)\n");
}

TEST(MinerProcess, NoColorMeansNoEscapeByteAnywhere) {
    const ProcessResult r = miner({"--no-color"}, kTwoGpus);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out.find('\033'), std::string::npos);
    EXPECT_EQ(r.err.find('\033'), std::string::npos);
    EXPECT_EQ(after_banner(r.out), kGpuLineA + kGpuLineB + kCpuLine);
}

TEST(MinerProcess, EmptyNoColorPlainBannerColouredLines) {
    const ProcessResult r = miner({}, kOneGpu, {{"NO_COLOR", ""}});
    EXPECT_EQ(r.exit_code, 2);
    const std::string lines = after_banner(r.out);
    EXPECT_EQ(r.out.substr(0, r.out.size() - lines.size()).find('\033'), std::string::npos);
    EXPECT_EQ(lines.rfind("\033[90m gpu  \033[0m GPU0 Sim One", 0), 0u);
}

TEST(MinerProcess, NoGpu) {
    ProcessResult r = miner({"--no-color"}, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out), std::string(" gpu   no NVIDIA GPU found (CUDA: ") +
                                       cudaGetErrorString(cudaErrorNoDevice) + ")\n");
    r = miner({"--no-color"}, "none");  // a count of 0 without an error
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out), " gpu   no NVIDIA GPU found\n");
}

TEST(MinerProcess, DeviceListNamingNoGpu) {
    const ProcessResult r = miner({"--no-color", "-d", "7,-1"}, kTwoGpus);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(after_banner(r.out), " gpu   no usable GPU in --devices 7,-1\n");
}

TEST(MinerProcess, DevicesInTheOrderGiven) {
    const ProcessResult r = miner({"--no-color", "-d", "1,0"}, kTwoGpus);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(after_banner(r.out), kGpuLineB + kGpuLineA + kCpuLine);
}

TEST(MinerProcess, FaultyGpuStopsStartUp) {
    // One wrong byte in the third hash of GPU0's list: 3/4, and GPU1 is never opened.
    ProcessResult r = miner({"--no-color"}, kTwoGpus, {{"CUDASIM_CORRUPT", "10+70@0"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out), " check GPU0 Rig A: self-test FAILED (3/4), not mining\n");
    // Every hash of GPU1 wrong: 0/4 after GPU0's line.
    r = miner({"--no-color", "-u", "qel1x"}, kTwoGpus,
              {{"CUDASIM_CORRUPT", "10+0@1,10+32@1,10+64@1,10+96@1"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out),
              kGpuLineA + " check GPU1 Rig B: self-test FAILED (0/4), not mining\n");
}

TEST(MinerProcess, ContextInitFailure) {
    const ProcessResult r = miner({"--no-color", "-u", "qel1x"}, kTwoGpus,
                                  {{"CUDASIM_FAIL",
                                    "cudaStreamCreateWithFlags@1:1:"
                                    "cudaErrorInvalidValue"}});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out), kGpuLineA + " gpu   GPU1 Rig B: stream: " +
                                       cudaGetErrorString(cudaErrorInvalidValue) + "\n");
}

class VerifyProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "verify_process_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    }
    void TearDown() override { std::remove(path_.c_str()); }

    // A verify run on two GPUs; stdout after the banner, GPU and CPU lines.
    std::string verify(const std::string& file_text, int expected_exit) {
        std::ofstream(path_) << file_text;
        const ProcessResult r = miner({"--no-color", "--verify", path_}, kTwoGpus);
        EXPECT_EQ(r.exit_code, expected_exit);
        EXPECT_EQ(r.err, "");
        const std::string lines = after_banner(r.out);
        const std::string start = kGpuLineA + kGpuLineB + kCpuLine;
        EXPECT_EQ(lines.substr(0, start.size()), start);
        return lines.substr(std::min(start.size(), lines.size()));
    }

    static std::string record(size_t row, const std::string& header_suffix = "",
                              const char* last = "0") {
        const SelfTestVector& v = self_test_vectors[row % kSelfTestVectorCount];
        return std::string(v.header_hex) + header_suffix + " " + std::to_string(v.nonce) + " " +
               v.expected_hex + " " + last + "\n";
    }

    std::string path_;
};

TEST_F(VerifyProcess, EmbeddedVectorsPass) {
    EXPECT_EQ(verify(record(0) + record(1) + record(2) + record(3), 0),
              " check GPU0 verify 4/4 OK\n"
              " check GPU1 verify 4/4 OK\n");
}

TEST_F(VerifyProcess, ChangedExpectedHashFails) {
    std::string text = record(0) + record(1) + record(2) + record(3);
    const size_t at = text.find(self_test_vectors[2].expected_hex) + 63;
    text[at] = text[at] == '0' ? '1' : '0';
    EXPECT_EQ(verify(text, 1),
              " check GPU0 verify 3/4 FAILED\n"
              " check GPU1 verify 3/4 FAILED\n");
}

TEST_F(VerifyProcess, MissingFileFails) {
    const ProcessResult r =
        miner({"--no-color", "--verify", path_ + ".absent", "-d", "0"}, kTwoGpus);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(after_banner(r.out), kGpuLineA + kCpuLine + " check GPU0 verify 0/0 FAILED\n");
}

TEST_F(VerifyProcess, SkippedRecordsAndTheEndOfReading) {
    const std::string short_header = std::string(self_test_vectors[1].header_hex).substr(1);
    const std::string text = record(0, "abcdef") +  // 230 digits
                             short_header + " 6 " + self_test_vectors[1].expected_hex +
                             " 0\n" +                                     // 223: skipped
                             record(2) + record(3, "", "x") + record(1);  // ends at "x"
    EXPECT_EQ(verify(text, 0),
              " check GPU0 verify 2/2 OK\n"
              " check GPU1 verify 2/2 OK\n");
}

TEST_F(VerifyProcess, ThirtyThreeRecords) {
    std::string text;
    for (size_t i = 0; i < 33; ++i) {
        text += record(i);
    }
    EXPECT_EQ(verify(text, 0),
              " check GPU0 verify 33/33 OK\n"
              " check GPU1 verify 33/33 OK\n");
}

}  // namespace
}  // namespace tovren::qel
