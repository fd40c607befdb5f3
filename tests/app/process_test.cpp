// The simulated miner as a whole process, one run for every way it can end before mining:
// the exit code and what it writes on each stream.
#include <cuda_runtime.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "progress.h"
#include "sim_fixture.h"
#include "temp_dir.h"

namespace tovren::qel {
namespace {

const std::string kGpuA =
    " gpu   GPU0 RigA \u00b7 68 SM \u00b7 L2 5 MB \u00b7 10240 MB \u00b7 bus 01:00.0 \u00b7 "
    "self-test 4/4 OK\n";
// Half a MiB more memory than it shows, and a device number on its bus.
const std::string kGpuB =
    " gpu   GPU1 RigB \u00b7 28 SM \u00b7 L2 2 MB \u00b7 6144 MB \u00b7 bus 41:1f.0 \u00b7 "
    "self-test 4/4 OK\n";
const std::string kCpuTest =
    "CPU share check self-test 4/4 OK (every share is checked before it is sent)\n";

// Verify mode's result lines on the two GPUs, after their start-up lines.
std::string verified(const std::string& result) {
    return kGpuA + kGpuB + " check " + kCpuTest + " check GPU0 verify " + result +
           "\n check GPU1 verify " + result + "\n";
}

// The two GPUs, and no faults and no NO_COLOR unless the words after it set them.
const std::string kSimEnv =
    "env -u CUDASIM_FAIL -u CUDASIM_CORRUPT -u NO_COLOR -u CUDA_DEVICE_ORDER "
    "CUDASIM_DEVICES=name=RigA;sm=68;l2=5M;"
    "mem=10G;free=800M;pci=01:00|name=RigB;sm=28;l2=2560K;mem=6144.5M;free=900M;pci=41:1f";

// command: blank-separated words; "miner" is the simulated miner and @name a file in dir.
std::vector<std::string> words_of(const std::string& command, const testing::TempDir& dir) {
    std::istringstream words(command);
    std::vector<std::string> args;
    for (std::string w; words >> w;)
        args.push_back(w == "miner" ? QEL_MINER_SIM : w[0] == '@' ? dir.file(w.substr(1)) : w);
    return args;
}

// command after kSimEnv.
testing::ProcessResult miner(const std::string& command, const testing::TempDir& dir) {
    return testing::run_process(words_of(kSimEnv + " " + command, dir));
}

// What follows the banner that every run past the command line begins with: eight lines,
// plain since standard output is a file, the three texts beside logo rows 2 to 4.
std::string after_banner(const std::string& out) {
    const char* const beside[] = {
        nullptr, "",     "   TOVREN QEL GPU", "   Skelvarin GPU miner (Argon2id)", "   v1.0.3", "",
        "",      nullptr};
    size_t at = 0;
    for (const char* text : beside) {
        const size_t end = out.find('\n', at);
        const std::string line = out.substr(at, end - at);
        const size_t n = text == nullptr ? 0 : std::strlen(text);
        const bool row = text == nullptr ? line.empty()
                                         : line.size() > n + 2 && line.compare(0, 2, "  ") == 0 &&
                                               line.compare(line.size() - n, n, text) == 0 &&
                                               line.find('\033') == std::string::npos;
        if (end == std::string::npos || !row)
            return "no banner:\n" + out;
        at = end + 1;
    }
    return out.substr(at);
}

// A copy of the miner that expects byte 6 of the third vector's hash inverted, as the GPUs
// compute it under CUDASIM_CORRUPT=10+70: they pass, and only the CPU's hash misses.
void copy_miner_expecting_a_spoilt_hash(const std::string& path) {
    std::string image = testing::read_file(QEL_MINER_SIM);
    const std::string expected = self_test_vectors[2].expected_hex;
    const size_t at = image.find(expected);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(image.find(expected, at + 1), std::string::npos);
    char spoilt[3];
    std::snprintf(spoilt, sizeof spoilt, "%02lx",
                  0xff ^ std::strtoul(expected.substr(12, 2).c_str(), nullptr, 16));
    image.replace(at + 12, 2, spoilt);
    std::ofstream(path, std::ios::binary) << image;
    ASSERT_EQ(chmod(path.c_str(), 0700), 0);
}

// One child run per way start-up can end. Help and command-line mistakes end before the
// banner; the banner stays plain when standard output is a file, even with colour on.
TEST(MinerProcess, EveryWayStartUpEnds) {
    const testing::TempDir dir;  // @name: a file in it; verify files of five records
    std::string records = testing::verify_records(5);
    std::ofstream(dir.file("good")) << records;
    const size_t digit = records.find(self_test_vectors[2].expected_hex) + 63;
    records[digit] = records[digit] == '0' ? '1' : '0';
    std::ofstream(dir.file("changed")) << records;
    const auto record = [](size_t row, const char* more_digits, const char* last) {
        const SelfTestVector& v = self_test_vectors[row];
        return std::string(v.header_hex) + more_digits + " " + std::to_string(v.nonce) + " " +
               v.expected_hex + " " + last + "\n";
    };
    // 230 digits are kept, 223 skipped, and the reading ends at "x".
    std::ofstream(dir.file("skipped")) << record(0, "abcdef", "0") + record(1, "", "0").substr(1) +
                                              record(2, "", "0") + record(3, "", "0") +
                                              record(3, "", "x") + record(1, "", "0");
    copy_miner_expecting_a_spoilt_hash(dir.file("cpu-misses"));
    const std::string usage =
        std::string("usage: ") + QEL_MINER_SIM +
        " -u <QEL address> [options]\n"
        "  -o, --pool <host:port>   pool (default: Tovren Pool QEL qel.tovrenpool.net:3360)\n"
        "  -u, --user <address>     your QEL payout address (qel1...)\n"
        "  -w, --worker <name>      worker name (default: hostname)\n"
        "  -d, --devices <list>     GPUs to use, e.g. 0,1 (default: all)\n"
        "      --hashes <n>         hashes in flight per GPU (default: tuned at start)\n"
        "      --stats-file <f>     write JSON stats every 10 s (HiveOS reads this file)\n"
        "      --no-color           uncolored output\n"
        "      --verify <file>      check every GPU against test vectors and exit\n"
        "      --bench <seconds>    offline benchmark\n";
    struct Case {
        const char* command;  // after env, with the two GPUs unless CUDASIM_DEVICES is given
        int exit_code;
        std::string err;
        std::string out;  // after the banner
    };
    const Case cases[] = {
        {"NO_COLOR= CUDASIM_DEVICES=name=Sim;sm=2;mem=2G;free=800M miner", 2,
         "an QEL payout address is required: -u <qel1...>\n",
         "\033[90m gpu  \033[0m GPU0 Sim \u00b7 2 SM \u00b7 L2 4 MB \u00b7 2048 MB \u00b7 bus "
         "01:00.0 \u00b7 self-test 4/4 OK\n\033[90m check\033[0m " +
             kCpuTest},
        {"miner --address qel1abc -h --bogus", 0, "", usage},
        {"miner -o h:1 -u", 2, "missing value for --user\n", ""},
        {"miner -x -h", 2, "unknown option -x (see --help)\n", ""},
        {"miner --pool=x:1", 2, "unknown option --pool=x:1 (see --help)\n", ""},
        {"miner -hu", 2, "unknown option -hu (see --help)\n", ""},
        // A port that is not one is refused before the banner, whatever comes after it.
        {"miner -o pool:70000 -u qel1x --bench 1", 2,
         "pool endpoint pool:70000 has no valid port (a number from 1 to 65535)\n", ""},
        {"miner -o pool:1 --pool pool: -u qel1x", 2,
         "pool endpoint pool: has no valid port (a number from 1 to 65535)\n", ""},
        {"CUDASIM_DEVICES= miner --no-color", 1, "",
         std::string(" gpu   no NVIDIA GPU found (CUDA: ") + cudaGetErrorString(cudaErrorNoDevice) +
             ")\n"},
        {"CUDASIM_DEVICES=none miner --no-color", 1, "", " gpu   no NVIDIA GPU found\n"},
        {"miner --no-color -d 7,-1", 2, "", " gpu   no usable GPU in --devices 7,-1\n"},
        {"CUDASIM_DEVICES=name=S;sm=2;free=775M miner --no-color", 1, "",
         " gpu   GPU0 S: not enough memory\n"},
        // GPU numbers are those of the bus order, whatever order the runtime would use.
        {"CUDASIM_DEVICES=name=S;sm=2;free=775M;pci=41:00|name=T;sm=2;free=775M;pci=2:00 miner "
         "--no-color",
         1, "", " gpu   GPU0 T: not enough memory\n"},
        {"miner --no-color -d 1 --hashes 17", 1, "",
         " gpu   GPU1: not enough memory for 17 hashes\n"},
        // One wrong byte in the third hash of GPU0's list: GPU1 is never opened.
        {"CUDASIM_CORRUPT=10+70@0 miner --no-color", 1, "",
         " check GPU0 RigA: self-test FAILED (3/4), not mining\n"},
        {"CUDASIM_CORRUPT=10+0@1,10+32@1,10+64@1,10+96@1 miner --no-color -u qel1x", 1, "",
         kGpuA + " check GPU1 RigB: self-test FAILED (0/4), not mining\n"},
        {"CUDASIM_FAIL=cudaStreamCreateWithFlags@1:1:cudaErrorInvalidValue miner --no-color", 1, "",
         kGpuA + " gpu   GPU1 RigB: stream: " + cudaGetErrorString(cudaErrorInvalidValue) + "\n"},
        {"CUDASIM_FAIL=cudaLaunchKernel@1:1:cudaErrorLaunchOutOfResources miner --no-color", 1, "",
         kGpuA + " check GPU1 RigB: self-test FAILED (kernel launch: " +
             cudaGetErrorString(cudaErrorLaunchOutOfResources) + "), not mining\n"},
        // The CPU disagrees with GPUs that passed: nothing runs after it, not even verify.
        {"CUDASIM_CORRUPT=10+70 @cpu-misses --no-color --verify @good", 1, "",
         kGpuA + kGpuB + " check CPU share check: self-test FAILED (3/4), not mining\n"},
        {"miner --no-color --verify @good", 0, "", verified("5/5 OK")},
        {"miner --no-color --verify @changed", 1, "", verified("4/5 FAILED")},
        {"miner --no-color --verify @missing", 1, "", verified("0/0 FAILED")},
        {"miner --no-color --verify @skipped", 0, "", verified("3/3 OK")},
    };
    for (const Case& c : cases) {
        const testing::ProcessResult r = miner(c.command, dir);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.command;
        EXPECT_EQ(c.out.empty() || c.out == usage ? r.out : after_banner(r.out), c.out)
            << c.command;
        EXPECT_EQ(r.err, c.err) << c.command;
    }
}

// Given last, an option that needs a value ends the run with 2 before the banner, naming the
// option by its display name.
TEST(MinerProcess, MissingValueNamesTheOption) {
    const testing::TempDir dir;
    const std::pair<const char*, const char*> cases[] = {{"-o", "--pool"},
                                                         {"--pool", "--pool"},
                                                         {"-u", "--user"},
                                                         {"--user", "--user"},
                                                         {"--address", "--user"},
                                                         {"-w", "--worker"},
                                                         {"--worker", "--worker"},
                                                         {"-d", "--devices"},
                                                         {"--devices", "--devices"},
                                                         {"--hashes", "--hashes"},
                                                         {"--stats-file", "--stats-file"},
                                                         {"--verify", "--verify"},
                                                         {"--bench", "--bench"}};
    for (const auto& [form, name] : cases) {
        const testing::ProcessResult r = miner(std::string("miner --no-color ") + form, dir);
        EXPECT_EQ(r.exit_code, 2) << form;
        EXPECT_EQ(r.out, "") << form;
        EXPECT_EQ(r.err, "missing value for " + std::string(name) + "\n") << form;
    }
}

// SIGTERM while the miner is still starting only sets the stop flag. Verify mode, reading a
// FIFO that the test opens once the miner reads it, runs to its end and returns its own code;
// a miner on its way to mining starts and then stops at the loop's first check.
TEST(MinerProcess, StopSignalDuringStartUpOnlySetsTheFlag) {
    std::signal(SIGPIPE, SIG_IGN);  // a miner gone early must fail the test, not end it
    const testing::TempDir dir;
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    int fifo = -1;
    const std::string notice = "\n shutdown requested \u2014 clean exit\n";
    struct Case {
        const char* args;
        // Past installing its handlers; asked again after it has said so.
        std::function<bool(const std::string& out)> starting;
        std::string out;  // after the banner, without the pool client's lines
    };
    const Case cases[] = {
        {"--verify @fifo",
         [&](const std::string&) {
             return fifo >= 0 ||
                    (fifo = open(dir.file("fifo").c_str(), O_WRONLY | O_NONBLOCK)) >= 0;
         },
         verified("4/4 OK")},
        {"-u qel1x -w w -o 127.0.0.1:1 --hashes 1",
         [](const std::string& out) { return out.find(kGpuA) != std::string::npos; },
         kGpuA + kGpuB + " check " + kCpuTest +
             " tune  GPU0: 1 hashes in flight (8 MB), \n"
             " tune  GPU1: 1 hashes in flight (8 MB), \n"
             " TOVREN QEL GPU v1.0.3  Argon2id 8 MiB \u00b7 2 GPUs \u00b7 1% dev fee\n"
             " pool  127.0.0.1:1\n user  qel1x \u00b7 worker w\n" +
             notice},
    };
    // Start-up prints line by line. A miner that took no notice of the signal would mine on:
    // the pool client's lines are no step, and a speed line (ten seconds in) ends the wait, as
    // it fails the test anyway. A miner still running when the test gives up is killed.
    const auto start_up_lines = [](const std::string& out) {
        size_t n = 0;
        for (size_t at = 0; (at = out.find('\n', at)) != std::string::npos; ++at)
            n += out.compare(at + 1, 6, " net  ") != 0;
        return n;
    };
    for (const Case& c : cases) {
        testing::Child miner(words_of(kSimEnv + " miner --no-color " + c.args, dir));
        ASSERT_TRUE(miner.started());
        ASSERT_TRUE(testing::wait_for({[&] { return miner.exited() || c.starting(miner.out()); },
                                       [&] { return miner.out().size(); }}) &&
                    !miner.exited())
            << "the miner never got that far: " << c.args << "\n"
            << miner.out();
        miner.signal(SIGTERM);
        if (fifo >= 0) {
            const std::string records = testing::verify_records(4);
            EXPECT_EQ(write(fifo, records.data(), records.size()),
                      static_cast<ssize_t>(records.size()));
            close(fifo);
            fifo = -1;
        }
        ASSERT_TRUE(testing::wait_for(
            {[&] { return miner.exited(); }, [&] { return start_up_lines(miner.out()); },
             [&] { return miner.out().find("\n speed ") != std::string::npos; }}))
            << "still running long after SIGTERM: " << c.args << "\n"
            << miner.out();
        EXPECT_EQ(miner.exit_code(), 0) << c.args;
        EXPECT_EQ(miner.err(), "") << c.args;
        // The tuned rate is measured, and the pool client may report the closed port.
        std::istringstream lines(after_banner(miner.out()));
        std::string shown;
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, 6, " tune ") == 0)
                line.erase(line.find(", ") + 2);
            if (line.compare(0, 6, " net  ") != 0)
                shown += line + "\n";
        }
        EXPECT_EQ(shown, c.out) << c.args;
    }
}

}  // namespace
}  // namespace tovren::qel
