// The miner from the title line on, in-process: simulated GPUs, the real pool client and the
// local test pool on 127.0.0.1, and a clock that runs the one-second loop 20 times faster.
#include "app/mining_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <set>
#include <sstream>

#include "app/console.h"
#include "app/dev_fee.h"
#include "app/stop_signal.h"
#include "capture.h"
#include "sim_gpu.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using testing::PoolLogin;
using testing::PoolSubmit;
using testing::TestPool;

constexpr int kWaitMs = 180000;  // a hang detector, not a speed requirement

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class MiningLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_console_colors(false);
        stop_requested = false;
        ASSERT_TRUE(pool_.listening());
        settings_.pool_endpoint = "127.0.0.1:" + std::to_string(pool_.port());
        settings_.address = "qel1useraddress";
        settings_.worker = "rig7";
        char dir[] = "/tmp/qel_loop_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        settings_.stats_file = dir_ + "/stats.json";
    }

    void TearDown() override {
        stop_requested = true;
        if (run_.valid())
            run_.wait();
        stop_requested = false;
        std::remove(settings_.stats_file.c_str());
        rmdir(dir_.c_str());
    }

    // n GPUs of 8 nonces per launch on nonces start..end of a job whose every hash is a share
    // and a block candidate.
    void start(int n, uint64_t start, uint64_t end) {
        testing::reset_sim_gpus(n);
        for (int i = 0; i < n; ++i)
            devices_.push_back(testing::sim_device(i, 1, 8));
        testing::PoolTestJob j;
        for (int i = 0; i < 112; ++i)
            j.header[i] = static_cast<uint8_t>(i * 13 + 5);
        j.target.fill(0xFF);
        j.network_target.fill(0xFF);
        j.nonce_start = start;
        j.nonce_end = end;
        pool_.set_job(j);
        out_ = std::make_unique<testing::StdoutCapture>();
        clock_ = std::make_unique<testing::FastClock>(speedup_);
        run_ = std::async(std::launch::async,
                          [this] { return run_mining_loop(settings_, devices_, *clock_); });
    }

    // Pushes the clock so that the loop's uptime becomes s to s + 10 seconds. The loop counts
    // from its own start, which on a loaded machine may come well after the first login, so its
    // uptime is read from the statistics file it writes every 10 s (once that says at least
    // `after`).
    void jump_loop_uptime_to(int64_t s, int64_t after) {
        int64_t up = -1;
        ASSERT_TRUE(testing::eventually([&] {
            const std::string stats = read_file(settings_.stats_file);
            const size_t at = stats.find("\"uptime_s\":");
            up = at == std::string::npos ? -1 : std::atoll(stats.c_str() + at + 11);
            return up >= after;
        }));
        clock_->jump_seconds(s - up);
    }

    // Stops the run; its exit code and everything it printed.
    int finish(std::string& out) {
        stop_requested = true;
        EXPECT_EQ(run_.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
        const int code = run_.get();
        out = out_->finish();
        return code;
    }

    bool wait_logins(size_t n) {
        return pool_.wait_until([n](auto& logins, auto&) { return logins.size() == n; }, kWaitMs);
    }

    TestPool pool_;
    Settings settings_;
    GpuDeviceList devices_;
    int64_t speedup_ = 20;
    std::unique_ptr<testing::FastClock> clock_;
    std::string dir_;
    std::unique_ptr<testing::StdoutCapture> out_;
    std::future<int> run_;
};

TEST_F(MiningLoopTest, TwoGpusShareOneRangeAndThePoolVerifiesCountsAndReportsEveryShare) {
    std::atomic<int> judged{0};
    pool_.set_judge([&judged](const PoolSubmit& s) {
        const std::string verdict = TestPool::default_judge(s);
        return ++judged == 3 && verdict.empty() ? std::string("test says no") : verdict;
    });
    start(2, 5000, 5031);  // four launches
    ASSERT_TRUE(
        pool_.wait_until([](auto&, auto& submits) { return submits.size() == 32; }, kWaitMs));
    ASSERT_TRUE(testing::eventually([&] {
        return read_file(settings_.stats_file).find("\"accepted\":31,\"rejected\":1,") !=
               std::string::npos;
    }));
    std::string out;
    EXPECT_EQ(finish(out), 0);

    const std::vector<PoolLogin> logins = pool_.logins();
    ASSERT_GE(logins.size(), 1u);
    EXPECT_EQ(logins[0].address, "qel1useraddress");
    EXPECT_EQ(logins[0].worker, "rig7");
    // The pool hashed every share again with the reference library.
    std::set<uint64_t> nonces;
    for (const PoolSubmit& s : pool_.submits()) {
        EXPECT_TRUE(s.hash_ok && s.meets_target && s.in_range && !s.duplicate) << s.nonce;
        nonces.insert(s.nonce);
    }
    EXPECT_EQ(nonces.size(), 32u);
    // The range is used up: the workers keep waiting and launch nothing more.
    EXPECT_EQ(devices_[0]->hash_count.load() + devices_[1]->hash_count.load(), 32u);

    const std::string port = std::to_string(pool_.port());
    EXPECT_EQ(
        out.rfind(" pool  127.0.0.1:" + port + "\n user  qel1useraddress \u00b7 worker rig7\n", 0),
        0u)
        << out;
    for (const char* line : {" net   logged in\n", " share accepted (1/0)\n",
                             " share REJECTED \u2014 test says no\n", " share accepted (31/1)\n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    }
    EXPECT_TRUE(std::regex_search(
        out, std::regex(" speed 10s/60s/15m  [^\n]+   parts 31/1   GPU0 [^\n]+ \u00b7 GPU1 ")))
        << out;
    size_t blocks = 0;
    for (size_t at = 0;
         (at = out.find(" block candidate found at height 1 (GPU", at + 1)) != std::string::npos;)
        ++blocks;
    EXPECT_EQ(blocks, 32u);
    const std::string notice = "\n shutdown requested \u2014 clean exit\n";
    EXPECT_EQ(out.substr(out.size() - notice.size()), notice);
    const std::string stats = read_file(settings_.stats_file);
    EXPECT_TRUE(std::regex_match(
        stats,
        std::regex(
            R"re(\{"hashrate_hs":[0-9]+\.[0-9],"gpus":\[[0-9]+\.[0-9],[0-9]+\.[0-9]\],"accepted":31,"rejected":1,"uptime_s":[0-9]+,"version":"v1\.0\.3","algo":"argon2id-qel"\}\n)re")))
        << stats;
}

TEST_F(MiningLoopTest, JobSentAgainAfterEachReconnectGoesOnWithNoDuplicateShare) {
    start(1, 0, UINT64_MAX);
    // Every login is answered with the same job; shares must come on each connection.
    for (int conn = 0; conn < 3; ++conn) {
        if (conn > 0)
            pool_.close_connections();
        ASSERT_TRUE(pool_.wait_until(
            [conn](auto&, auto& submits) {
                return std::any_of(submits.begin(), submits.end(),
                                   [conn](const PoolSubmit& s) { return s.connection == conn; });
            },
            kWaitMs));
    }
    std::string out;
    EXPECT_EQ(finish(out), 0);
    for (const PoolSubmit& s : pool_.submits())
        EXPECT_TRUE(s.hash_ok && s.in_range && !s.duplicate) << s.nonce;
}

TEST_F(MiningLoopTest, DevFeeMinuteLogsInWithTheFeeAddressAndBack) {
    // The fee minute lasts 15 s of real time here, so a slow reconnect cannot miss it.
    speedup_ = 4;
    start(1, 10, 9);  // nothing to mine: only the logins matter here
    ASSERT_TRUE(wait_logins(1));
    jump_loop_uptime_to(5935, 0);
    ASSERT_TRUE(wait_logins(2));
    jump_loop_uptime_to(5995, 5935);
    ASSERT_TRUE(wait_logins(3));
    std::string out;
    EXPECT_EQ(finish(out), 0);
    const std::vector<PoolLogin> logins = pool_.logins();
    ASSERT_EQ(logins.size(), 3u);
    EXPECT_EQ(logins[1].address, kDevFeeAddress);
    EXPECT_EQ(logins[1].worker, "tovren");
    EXPECT_EQ(logins[2].address, "qel1useraddress");
    EXPECT_EQ(logins[2].worker, "rig7");
    const size_t enter = out.find(" fee   1% dev contribution (1 min)\n");
    const size_t leave = out.find(" fee   back to user wallet\n");
    ASSERT_NE(enter, std::string::npos) << out;
    EXPECT_LT(enter, leave);
    EXPECT_NE(leave, std::string::npos) << out;
}

TEST_F(MiningLoopTest, BenchHasNoPoolStatisticsFileOrNotice) {
    settings_.bench_seconds = 12;
    start(1, 0, 7);
    ASSERT_EQ(run_.wait_for(std::chrono::milliseconds(kWaitMs)), std::future_status::ready);
    std::string out;
    EXPECT_EQ(finish(out), 0);
    EXPECT_TRUE(std::regex_match(
        out, std::regex(
                 " speed 10s [0-9.]+ (H|kH)/s\n bench 1 GPU\\(s\\): [0-9.]+ (H|kH)/s over 12 s\n")))
        << out;
    EXPECT_GT(devices_[0]->hash_count.load(), 0u);
    EXPECT_EQ(pool_.connections_accepted(), 0);
    EXPECT_NE(access(settings_.stats_file.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tovren::qel
