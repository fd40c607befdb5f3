// The simulated miner as a whole process, one run for every way it can end before mining:
// the exit code and what it writes on each stream.
#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "capture.h"
#include "sim_fixture.h"
#include "temp_dir.h"

namespace tovren::qel {
namespace {

const std::string kGpuA =
    " gpu   GPU0 RigA \u00b7 68 SM \u00b7 L2 5 MB \u00b7 10240 MB \u00b7 bus 01:00.0 \u00b7 "
    "self-test 4/4 OK\n";
const std::string kCpuTest =
    "CPU share check self-test 4/4 OK (every share is checked before it is sent)\n";

// Verify mode's result lines on the two GPUs, after their start-up lines.
std::string verified(const std::string& result) {
    return kGpuA +
           " gpu   GPU1 RigB \u00b7 28 SM \u00b7 L2 2 MB \u00b7 6144 MB \u00b7 bus 41:00.0 \u00b7 "
           "self-test 4/4 OK\n check " +
           kCpuTest + " check GPU0 verify " + result + "\n check GPU1 verify " + result + "\n";
}

// One child run per way start-up can end. Help and command-line mistakes end before the
// banner; the banner stays plain when standard output is a file.
TEST(MinerProcess, EveryWayStartUpEnds) {
    const testing::TempDir dir;  // @name: a file in it; verify files of five records
    std::string records = testing::verify_records(5);
    std::ofstream(dir.file("good")) << records;
    const size_t digit = records.find(self_test_vectors[2].expected_hex) + 63;
    records[digit] = records[digit] == '0' ? '1' : '0';
    std::ofstream(dir.file("changed")) << records;
    const auto printed = [](auto print) {
        testing::StdoutCapture out;
        print();
        return out.finish();
    };
    const std::string usage = printed([] { print_usage(QEL_MINER_SIM); });
    const std::string banner = printed([] { print_banner(kBrandLine, kTitleLine, kVersion, 1); });
    struct Case {
        const char* command;  // after env, with the two GPUs unless CUDASIM_DEVICES is given
        int exit_code;
        std::string err;
        std::string out;  // after the banner
    };
    const Case cases[] = {
        {"CUDASIM_DEVICES=name=Sim;sm=2;mem=2G;free=800M miner", 2,
         "an QEL payout address is required: -u <qel1...>\n",
         "\033[90m gpu  \033[0m GPU0 Sim \u00b7 2 SM \u00b7 L2 4 MB \u00b7 2048 MB \u00b7 bus "
         "01:00.0 \u00b7 self-test 4/4 OK\n\033[90m check\033[0m " +
             kCpuTest},
        {"miner --address qel1abc -h --bogus", 0, "", usage},
        {"miner -o h:1 -u", 2, "missing value for --user\n", ""},
        {"miner -x -h", 2, "unknown option -x (see --help)\n", ""},
        {"CUDASIM_DEVICES= miner --no-color", 1, "",
         std::string(" gpu   no NVIDIA GPU found (CUDA: ") + cudaGetErrorString(cudaErrorNoDevice) +
             ")\n"},
        {"CUDASIM_DEVICES=none miner --no-color", 1, "", " gpu   no NVIDIA GPU found\n"},
        {"miner --no-color -d 7,-1", 2, "", " gpu   no usable GPU in --devices 7,-1\n"},
        {"CUDASIM_DEVICES=name=S;sm=2;free=775M miner --no-color", 1, "",
         " gpu   GPU0 S: not enough memory\n"},
        {"miner --no-color -d 1 --hashes 17", 1, "",
         " gpu   GPU1: not enough memory for 17 hashes\n"},
        // One wrong byte in the third hash of GPU0's list: GPU1 is never opened.
        {"CUDASIM_CORRUPT=10+70@0 miner --no-color", 1, "",
         " check GPU0 RigA: self-test FAILED (3/4), not mining\n"},
        {"CUDASIM_FAIL=cudaStreamCreateWithFlags@1:1:cudaErrorInvalidValue miner --no-color", 1, "",
         kGpuA + " gpu   GPU1 RigB: stream: " + cudaGetErrorString(cudaErrorInvalidValue) + "\n"},
        {"CUDASIM_FAIL=cudaLaunchKernel@1:1:cudaErrorLaunchOutOfResources miner --no-color", 1, "",
         kGpuA + " check GPU1 RigB: self-test FAILED (kernel launch: " +
             cudaGetErrorString(cudaErrorLaunchOutOfResources) + "), not mining\n"},
        {"miner --no-color --verify @good", 0, "", verified("5/5 OK")},
        {"miner --no-color --verify @changed", 1, "", verified("4/5 FAILED")},
        {"miner --no-color --verify @missing", 1, "", verified("0/0 FAILED")},
    };
    for (const Case& c : cases) {
        std::istringstream words(
            "env -u CUDASIM_FAIL -u CUDASIM_CORRUPT -u NO_COLOR CUDASIM_DEVICES=name=RigA;sm=68;"
            "l2=5M;mem=10G;free=800M;pci=01:00|name=RigB;sm=28;l2=2560K;mem=6G;free=900M;"
            "pci=41:00 " +
            std::string(c.command));
        std::vector<std::string> command;
        for (std::string w; words >> w;)
            command.push_back(w == "miner"  ? QEL_MINER_SIM
                              : w[0] == '@' ? dir.file(w.substr(1))
                                            : w);
        const testing::ProcessResult r = testing::run_process(command);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.command;
        EXPECT_EQ(r.out, (c.out.empty() || c.out == usage ? "" : banner) + c.out) << c.command;
        EXPECT_EQ(r.err, c.err) << c.command;
    }
}

}  // namespace
}  // namespace tovren::qel
