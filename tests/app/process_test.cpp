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
using Env = std::map<std::string, const char*>;

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
ProcessResult miner(const std::vector<std::string>& args, const char* devices, Env env = {}) {
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

// An empty NO_COLOR (which counts as set) and a redirected output keep the banner plain; the
// log lines are coloured by default wherever they go.
TEST(MinerProcess, NoArgumentsSelfTestsThenAsksForAnAddress) {
    const ProcessResult r = miner({}, kOneGpu, {{"NO_COLOR", ""}});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "an QEL payout address is required: -u <qel1...>\n");
    const std::string lines = after_banner(r.out);
    const std::string banner = r.out.substr(0, r.out.size() - lines.size());
    EXPECT_EQ(banner.find('\033'), std::string::npos);
    EXPECT_EQ(banner.substr(0, 3), "\n  ");
    EXPECT_NE(banner.find("   TOVREN QEL GPU\n"), std::string::npos);
    EXPECT_NE(banner.find("   Skelvarin GPU miner (Argon2id)\n"), std::string::npos);
    EXPECT_NE(banner.find("   v1.0.3\n"), std::string::npos);
    EXPECT_EQ(lines,
              "\033[90m gpu  \033[0m GPU0 Sim One \u00b7 2 SM \u00b7 L2 4 MB \u00b7 2048 MB "
              "\u00b7 bus 01:00.0 \u00b7 self-test 4/4 OK\n"
              "\033[90m check\033[0m CPU share check self-test 4/4 OK (every share is "
              "checked before it is sent)\n");
}

// Help and the command-line mistakes end the program before the banner.
TEST(MinerProcess, HelpAndCommandLineMistakes) {
    const std::string usage = std::string("usage: ") + QEL_MINER_SIM +
                              " -u <QEL address> [options]\n  -o, --pool <host:port>   pool "
                              "(default: Tovren Pool QEL qel.tovrenpool.net:3360)\n";
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        std::string out_start;  // the whole output when empty
        const char* err;
    };
    const Case cases[] = {
        {{"--address", "qel1abc", "-h", "--bogus"}, 0, usage, ""},
        {{"-o", "h:1", "-u"}, 2, "", "missing value for --user\n"},
        {{"--address"}, 2, "", "missing value for --user\n"},
        {{"-o"}, 2, "", "missing value for --pool\n"},
        {{"-x", "-h"}, 2, "", "unknown option -x (see --help)\n"},
        {{"--pool=x:1"}, 2, "", "unknown option --pool=x:1 (see --help)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const ProcessResult r = miner(c.args, kOneGpu);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_EQ(r.out.substr(0, c.out_start.empty() ? std::string::npos : c.out_start.size()),
                  c.out_start);
        EXPECT_EQ(r.err, c.err);
    }
}

// Start-up on the simulated GPUs without colour: the exit code and the lines after the
// banner, with no escape byte anywhere.
void expect_startup(const std::vector<std::string>& args, const char* devices, const Env& env,
                    int exit_code, const std::string& lines) {
    std::vector<std::string> all{"--no-color"};
    all.insert(all.end(), args.begin(), args.end());
    const ProcessResult r = miner(all, devices, env);
    EXPECT_EQ(r.exit_code, exit_code);
    EXPECT_EQ((r.out + r.err).find('\033'), std::string::npos);
    EXPECT_EQ(after_banner(r.out), lines);
}

TEST(MinerProcess, GpusFoundAndSelected) {
    expect_startup({}, kTwoGpus, {}, 2, kGpuLineA + kGpuLineB + kCpuLine);
    expect_startup({}, "", {}, 1,
                   std::string(" gpu   no NVIDIA GPU found (CUDA: ") +
                       cudaGetErrorString(cudaErrorNoDevice) + ")\n");
    expect_startup({}, "none", {}, 1, " gpu   no NVIDIA GPU found\n");  // 0 without an error
    expect_startup({"-d", "7,-1"}, kTwoGpus, {}, 2, " gpu   no usable GPU in --devices 7,-1\n");
}

TEST(MinerProcess, FaultyGpuStopsStartUp) {
    // One wrong byte in the third hash of GPU0's list: GPU1 is never opened.
    expect_startup({}, kTwoGpus, {{"CUDASIM_CORRUPT", "10+70@0"}}, 1,
                   " check GPU0 Rig A: self-test FAILED (3/4), not mining\n");
    expect_startup({"-u", "qel1x"}, kTwoGpus,
                   {{"CUDASIM_CORRUPT", "10+0@1,10+32@1,10+64@1,10+96@1"}}, 1,
                   kGpuLineA + " check GPU1 Rig B: self-test FAILED (0/4), not mining\n");
    expect_startup({"-u", "qel1x"}, kTwoGpus,
                   {{"CUDASIM_FAIL", "cudaStreamCreateWithFlags@1:1:cudaErrorInvalidValue"}}, 1,
                   kGpuLineA + " gpu   GPU1 Rig B: stream: " +
                       cudaGetErrorString(cudaErrorInvalidValue) + "\n");
}

std::string record(size_t row, const std::string& header_suffix = "", const char* last = "0") {
    const SelfTestVector& v = self_test_vectors[row % kSelfTestVectorCount];
    return std::string(v.header_hex) + header_suffix + " " + std::to_string(v.nonce) + " " +
           v.expected_hex + " " + last + "\n";
}

// Verify mode on two GPUs (no file when text is null): one result line per GPU.
void expect_verify(const char* name, const std::string* text, int exit_code,
                   const std::string& result) {
    const std::string path = ::testing::TempDir() + "verify_process_" + name + ".txt";
    if (text != nullptr) {
        std::ofstream(path) << *text;
    }
    const ProcessResult r = miner({"--no-color", "--verify", path}, kTwoGpus);
    std::remove(path.c_str());
    EXPECT_EQ(r.exit_code, exit_code);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(after_banner(r.out), kGpuLineA + kGpuLineB + kCpuLine + " check GPU0 verify " +
                                       result + "\n check GPU1 verify " + result + "\n");
}

TEST(MinerProcess, VerifyResults) {
    std::string text = record(0) + record(1) + record(2) + record(3);
    expect_verify("embedded", &text, 0, "4/4 OK");
    const size_t at = text.find(self_test_vectors[2].expected_hex) + 63;
    text[at] = text[at] == '0' ? '1' : '0';
    expect_verify("changed", &text, 1, "3/4 FAILED");
    expect_verify("missing", nullptr, 1, "0/0 FAILED");
    const std::string short_header = std::string(self_test_vectors[1].header_hex).substr(1);
    text = record(0, "abcdef") +                                                // 230 digits
           short_header + " 6 " + self_test_vectors[1].expected_hex + " 0\n" +  // 223: skipped
           record(2) + record(3, "", "x") + record(1);                          // ends at "x"
    expect_verify("skipped", &text, 0, "2/2 OK");
}

TEST(MinerProcess, VerifyThirtyThreeRecords) {
    std::string text;
    for (size_t i = 0; i < 33; ++i) {
        text += record(i);
    }
    expect_verify("33", &text, 0, "33/33 OK");
}

}  // namespace
}  // namespace tovren::qel
