// The simulated miner as a whole process while it mines or benchmarks: stop signals, a
// faulty GPU and bench mode, with what the user sees and the exit code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/test_pool.h"

extern char** environ;

namespace tovren::qel {
namespace {

using testing::PoolTestJob;
using testing::TestPool;

const char kOneGpu[] = "name=Sim One;sm=2;mem=2G;free=1G";
const std::string kNotice = "\n shutdown requested \u2014 clean exit\n";
constexpr int kWaitMs = 180000;  // a hang detector, not a speed requirement

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The miner running in the background, its output going to files the test can read.
class Miner {
  public:
    Miner(const std::vector<std::string>& args, std::map<std::string, std::string> env) {
        char dir[] = "/tmp/qel_miner_XXXXXX";
        dir_ = mkdtemp(dir);
        out_path_ = dir_ + "/out";
        err_path_ = dir_ + "/err";
        env.emplace("CUDASIM_DEVICES", kOneGpu);
        std::vector<std::string> env_storage;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (env.count(name) == 0 && name != "CUDASIM_FAIL" && name != "CUDASIM_CORRUPT" &&
                name != "NO_COLOR") {
                env_storage.push_back(entry);
            }
        }
        for (const auto& [name, value] : env)
            env_storage.push_back(name + "=" + value);
        std::vector<std::string> argv_storage{QEL_MINER_SIM};
        argv_storage.insert(argv_storage.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (std::string& a : argv_storage)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env_storage)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (posix_spawn(&pid_, QEL_MINER_SIM, &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }

    ~Miner() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::remove(out_path_.c_str());
        std::remove(err_path_.c_str());
        rmdir(dir_.c_str());
    }

    bool started() const { return pid_ > 0; }
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }
    bool wait_output(const std::string& text) const {
        for (int waited = 0; waited < kWaitMs; waited += 20) {
            if (out().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    void signal(int sig) const { kill(pid_, sig); }
    // The exit code, or -1 when the process did not exit by itself in time.
    int wait_exit() {
        for (int waited = 0; waited < kWaitMs; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

  private:
    std::string dir_, out_path_, err_path_;
    pid_t pid_ = -1;
};

PoolTestJob easy_job() {
    PoolTestJob j;
    for (int i = 0; i < 112; ++i)
        j.header[i] = static_cast<uint8_t>(i * 3 + 11);
    j.target = TestPool::target_one_in(4);
    return j;
}

class MinerSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(MinerSignalTest, StopsCleanlyWithTheNoticeAndExitCodeZero) {
    TestPool pool;
    ASSERT_TRUE(pool.listening());
    pool.set_job(easy_job());
    Miner miner({"--no-color", "-o", "127.0.0.1:" + std::to_string(pool.port()), "-u", "qel1signal",
                 "-w", "sig", "--hashes", "1"},
                {});
    ASSERT_TRUE(miner.started());
    ASSERT_TRUE(pool.wait_until([](auto&, auto& submits) { return !submits.empty(); }, kWaitMs));
    ASSERT_TRUE(miner.wait_output(" share accepted (1/0)\n")) << miner.out();
    miner.signal(GetParam());
    EXPECT_EQ(miner.wait_exit(), 0);
    const std::string out = miner.out();
    ASSERT_GE(out.size(), kNotice.size());
    EXPECT_EQ(out.substr(out.size() - kNotice.size()), kNotice) << out;
    EXPECT_EQ(miner.err(), "");
    for (const auto& s : pool.submits())
        EXPECT_TRUE(s.hash_ok && s.meets_target);
    ASSERT_FALSE(pool.logins().empty());
    EXPECT_EQ(pool.logins()[0].address, "qel1signal");
    EXPECT_EQ(pool.logins()[0].worker, "sig");
}

INSTANTIATE_TEST_SUITE_P(SigintAndSigterm, MinerSignalTest, ::testing::Values(SIGINT, SIGTERM));

TEST(MinerProcessMining, FaultyGpuSendsNoShareAndStopsAfterTenWrongHashes) {
    TestPool pool;
    ASSERT_TRUE(pool.listening());
    PoolTestJob job = easy_job();
    job.target.fill(0xFF);  // every hash a hit, and every stored hit's hash corrupted
    pool.set_job(job);
    std::string corrupt;
    for (int k = 0; k < 64; ++k)
        corrupt += (k ? "," : "") + std::string("8+") + std::to_string(8 + 40 * k);
    Miner miner({"--no-color", "-o", "127.0.0.1:" + std::to_string(pool.port()), "-u", "qel1x",
                 "--hashes", "1"},
                {{"CUDASIM_CORRUPT", corrupt}});
    ASSERT_TRUE(miner.started());
    EXPECT_EQ(miner.wait_exit(), 1);
    const std::string out = miner.out();
    EXPECT_TRUE(pool.submits().empty());
    EXPECT_NE(out.find(" gpu   GPU0 returned a wrong hash: share NOT sent (1 so far; check the "
                       "card's clocks)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find(" gpu   GPU0: 10 wrong hashes in a row, stopping\n gpu   a GPU stopped, "
                       "exiting\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.substr(out.size() - kNotice.size()), kNotice);
}

TEST(MinerProcessBench, ShortBenchPrintsItsResultAndExitsZero) {
    Miner miner({"--no-color", "--bench", "2", "--hashes", "1", "--stats-file", "/dev/null/x"}, {});
    ASSERT_TRUE(miner.started());
    EXPECT_EQ(miner.wait_exit(), 0);
    const std::string out = miner.out();
    EXPECT_NE(out.find(" \u00b7 1% dev fee\n bench 1 GPU(s): "), std::string::npos) << out;
    EXPECT_NE(out.find(" over 2 s\n"), std::string::npos) << out;
    EXPECT_EQ(out.find(" pool "), std::string::npos);
    EXPECT_EQ(out.find("shutdown"), std::string::npos);
}

TEST(MinerProcessBench, InterruptedBenchHasNoResultAndExitsZero) {
    Miner miner({"--no-color", "--bench", "600", "--hashes", "1"}, {});
    ASSERT_TRUE(miner.started());
    ASSERT_TRUE(miner.wait_output("dev fee\n"));
    miner.signal(SIGINT);
    EXPECT_EQ(miner.wait_exit(), 0);
    const std::string out = miner.out();
    EXPECT_EQ(out.find(" bench "), std::string::npos) << out;
    EXPECT_EQ(out.find("shutdown"), std::string::npos) << out;
}

}  // namespace
}  // namespace tovren::qel
