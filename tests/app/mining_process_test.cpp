// The simulated miner as a whole process while it mines or benchmarks: stop signals, a
// faulty GPU and an interrupted bench, with what the user sees and the exit code.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/test-pool/test_pool.h"

extern char** environ;

namespace tovren::qel {
namespace {

using testing::PoolTestJob;
using testing::TestPool;

const std::string kNotice = "\n shutdown requested \u2014 clean exit\n";
constexpr int kWaitMs = 180000;  // a hang detector, not a speed requirement

// The miner on one simulated GPU in the background, its output going to files the test reads.
class Miner {
  public:
    Miner(const std::vector<std::string>& args, const std::string& corrupt = "") {
        // env(1) gives it the simulated GPU and clears what the test's environment may hold.
        std::vector<std::string> cmd{"env", "--unset=CUDASIM_FAIL", "--unset=CUDASIM_CORRUPT",
                                     "--unset=NO_COLOR",
                                     "CUDASIM_DEVICES=name=Sim One;sm=2;mem=2G;free=1G"};
        if (!corrupt.empty())
            cmd.push_back("CUDASIM_CORRUPT=" + corrupt);
        cmd.push_back(QEL_MINER_SIM);
        cmd.insert(cmd.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : cmd)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fileno(out_), 1);
        posix_spawn_file_actions_adddup2(&actions, fileno(err_), 2);
        if (posix_spawnp(&pid_, "env", &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~Miner() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::fclose(out_);
        std::fclose(err_);
    }

    bool started() const { return pid_ > 0; }
    std::string out() const { return read(out_); }
    std::string err() const { return read(err_); }
    bool wait_output(const std::string& text) const {
        return wait([&] { return out().find(text) != std::string::npos; });
    }
    void signal(int sig) const { kill(pid_, sig); }
    // The exit code, or -1 when the process did not exit by itself in time.
    int wait_exit() {
        int status = 0;
        if (!wait([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    template <typename Pred>
    static bool wait(Pred pred) {
        for (int waited = 0; waited < kWaitMs; waited += 10) {
            if (pred())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    static std::string read(std::FILE* file) {
        std::string text;
        char buf[4096];
        ssize_t got;
        while ((got = pread(fileno(file), buf, sizeof buf, static_cast<off_t>(text.size()))) > 0)
            text.append(buf, static_cast<size_t>(got));
        return text;
    }

    std::FILE* out_ = std::tmpfile();
    std::FILE* err_ = std::tmpfile();
    pid_t pid_ = -1;
};

class MinerSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(MinerSignalTest, StopsCleanlyOnceTheRunningLaunchHasSentItsShares) {
    TestPool pool;
    ASSERT_TRUE(pool.listening());
    PoolTestJob job;
    job.target.fill(0xFF);  // every hash a share: each launch stores its 64 hits
    pool.set_job(job);
    Miner miner({"--no-color", "-o", "127.0.0.1:" + std::to_string(pool.port()), "-u", "qel1signal",
                 "-w", "sig", "--hashes", "8"});
    ASSERT_TRUE(miner.started());
    // The first launch's shares are in, so the second launch is running.
    const auto shares = [&pool](size_t n) {
        return pool.wait_until([n](auto&, auto& submits) { return submits.size() >= n; }, kWaitMs);
    };
    ASSERT_TRUE(shares(64)) << miner.out();
    miner.signal(GetParam());
    EXPECT_EQ(miner.wait_exit(), 0);
    EXPECT_TRUE(shares(128));
    const std::string out = miner.out();
    ASSERT_GE(out.size(), kNotice.size());
    EXPECT_EQ(out.substr(out.size() - kNotice.size()), kNotice) << out;
    EXPECT_EQ(miner.err(), "");
    EXPECT_EQ(pool.submits().size() % 64, 0u);
    for (const auto& s : pool.submits())
        EXPECT_TRUE(s.hash_ok && s.meets_target && !s.duplicate);
    ASSERT_FALSE(pool.logins().empty());
    EXPECT_EQ(pool.logins()[0].address, "qel1signal");
    EXPECT_EQ(pool.logins()[0].worker, "sig");
}

INSTANTIATE_TEST_SUITE_P(SigintAndSigterm, MinerSignalTest, ::testing::Values(SIGINT, SIGTERM));

TEST(MinerProcessMining, FaultyGpuSendsNoShareAndStopsAfterTenWrongHashes) {
    TestPool pool;
    ASSERT_TRUE(pool.listening());
    PoolTestJob job;
    job.target.fill(0xFF);  // every hash a hit, and every stored hit's hash corrupted
    pool.set_job(job);
    std::string corrupt;
    for (int k = 0; k < 64; ++k)
        corrupt += (k ? ",8+" : "8+") + std::to_string(8 + 40 * k);
    Miner miner({"--no-color", "-o", "127.0.0.1:" + std::to_string(pool.port()), "-u", "qel1x",
                 "--hashes", "1"},
                corrupt);
    ASSERT_TRUE(miner.started());
    EXPECT_EQ(miner.wait_exit(), 1);
    const std::string out = miner.out();
    EXPECT_TRUE(pool.submits().empty());
    for (int total = 1; total <= 10; ++total) {
        EXPECT_NE(out.find(" gpu   GPU0 returned a wrong hash: share NOT sent (" +
                           std::to_string(total) + " so far; check the card's clocks)\n"),
                  std::string::npos)
            << total << out;
    }
    EXPECT_EQ(out.find("(11 so far"), std::string::npos);
    EXPECT_NE(out.find(" gpu   GPU0: 10 wrong hashes in a row, stopping\n gpu   a GPU stopped, "
                       "exiting\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.substr(out.size() - kNotice.size()), kNotice);
}

// A whole bench is run in-process by the mining loop's tests.
TEST(MinerProcessBench, InterruptedBenchHasNoResultAndExitsZero) {
    Miner miner({"--no-color", "--bench", "600", "--hashes", "1"});
    ASSERT_TRUE(miner.started());
    ASSERT_TRUE(miner.wait_output("dev fee\n"));
    miner.signal(SIGINT);
    EXPECT_EQ(miner.wait_exit(), 0);
    const std::string out = miner.out();
    EXPECT_EQ(out.find(" bench "), std::string::npos) << out;
    EXPECT_EQ(out.find(" pool "), std::string::npos) << out;
    EXPECT_EQ(out.find("shutdown"), std::string::npos) << out;
}

}  // namespace
}  // namespace tovren::qel
