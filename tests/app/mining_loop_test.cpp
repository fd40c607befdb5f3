// The miner from the title line on, in-process: simulated GPUs, the real pool client, the local
// test pool on 127.0.0.1 (which hashes every share again with the reference library) and a
// clock that the test moves, with the loop's seconds 20 times shorter.
#include "app/mining_loop.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <regex>

#include "app/clock.h"
#include "app/console.h"
#include "app/dev_fee.h"
#include "app/stop_signal.h"
#include "capture.h"
#include "progress.h"
#include "sim_gpu.h"
#include "temp_dir.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using testing::PoolSubmit;

constexpr int64_t kStart = 1000;  // the clock when the loop starts: uptime counts from here
constexpr int64_t kSecond = 1000000000;

// The uptime of each tick and the switch expected there: ticks on the boundaries, ticks that
// skip them, and a stall across a whole fee minute, which stays with the user. The minute is
// due exactly while the schedule is on the fee side.
TEST(DevFeeTest, TheLastMinuteOfEvery6000SecondsSwitchesOnceEachWay) {
    using S = DevFeeSchedule::Switch;
    const std::pair<int64_t, S> ticks[] = {
        // clang-format off
        {1, S::none}, {5939, S::none}, {5940, S::to_fee}, {5941, S::none}, {5999, S::none},
        {6000, S::to_user}, {11939, S::none}, {11941, S::to_fee}, {12002, S::to_user},
        {17930, S::none}, {18005, S::none},
        // clang-format on
    };
    DevFeeSchedule fee;
    for (const auto& [uptime, expected] : ticks) {
        EXPECT_EQ(fee.update(uptime), expected) << uptime;
        EXPECT_EQ(fee.active(), dev_fee_due(uptime)) << uptime;
    }
}

// A signal that interrupts the loop's sleep does not cut its second short.
TEST(ClockTest, ASleepLastsItsTimeThoughASignalInterruptsIt) {
    std::signal(SIGUSR1, [](int) {});
    const pthread_t sleeper = pthread_self();
    std::thread poker([sleeper] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(sleeper, SIGUSR1);
    });
    const int64_t start = monotonic_clock().now_ns();
    monotonic_clock().sleep_ns(100000000);
    EXPECT_GE(monotonic_clock().now_ns() - start, 100000000);
    poker.join();
    std::signal(SIGUSR1, SIG_DFL);
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
        settings_.stats_file = dir_.file("stats.json");
    }

    void TearDown() override {
        stop_requested = true;
        if (run_.valid())
            run_.wait();
        stop_requested = false;
    }

    // n GPUs of 2 nonces per launch (slow enough with the sanitizers), mining job, with the
    // runtime calls that fail from then on.
    void start(int n, const testing::PoolTestJob& job,
               const std::vector<cudasim::FailRule>& fail = {}) {
        devices_.clear();
        stop_requested = false;  // every run's shutdown sets it
        testing::reset_sim_gpus(n);
        for (int i = 0; i < n; ++i)
            devices_.push_back(testing::sim_device(i, 1, 2));
        cudasim::set_fail_rules(fail);
        pool_.set_job(job);
        out_ = std::make_unique<testing::StdoutCapture>();
        slept_at_start_ = clock_.slept_ns();
        run_ = std::async(std::launch::async,
                          [this] { return run_mining_loop(settings_, devices_, clock_); });
    }

    bool run_ended() const {
        return run_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    uint64_t hashes() const {
        uint64_t sum = 0;
        for (const auto& dev : devices_)
            sum += dev->hash_count.load();
        return sum;
    }
    // The simulated GPUs' waits (with the sanitizers one launch can outlast the stall limit),
    // hashes, logins and shares.
    uint64_t steps() const {
        return cudasim::steps() + hashes() + pool_.logins().size() + pool_.submits().size();
    }

    // Waits until the pool has seen what pred looks for, while the run goes on and moves;
    // false at once when the run ends, when there are more than `logins` logins, or when more
    // than `hashes` nonces were mined since the wait began without it.
    bool pool_sees(const std::function<bool(const std::vector<testing::PoolLogin>&,
                                            const std::vector<PoolSubmit>&)>& pred,
                   size_t logins, uint64_t hashes = UINT64_MAX) {
        const uint64_t from = this->hashes();
        return testing::wait_for({[&] { return pool_.wait_until(pred, 0); },
                                  [&] { return steps(); },
                                  [&] {
                                      return run_ended() || pool_.logins().size() > logins ||
                                             this->hashes() - from > hashes;
                                  }});
    }

    // Waits until the statistics file holds a match of pattern; it is written every half
    // second of real time.
    bool stats_say(const std::string& pattern) {
        return testing::wait_for({[&] {
                                      return std::regex_search(
                                          testing::read_file(settings_.stats_file),
                                          std::regex(pattern));
                                  },
                                  [] { return 0; }, [&] { return run_ended(); }});
    }

    // The run's exit code, once it has ended by itself or after the stop request; everything
    // it printed.
    int finish(std::string& out, bool stop = true) {
        if (stop)
            stop_requested = true;
        // From the last tick on (the bench's last second, or at once after the stop request)
        // only the launches under way may end, one a GPU; a loop that ticks on for seconds, or
        // GPUs that launch again, never end well.
        const int64_t last =
            stop ? clock_.slept_ns() : slept_at_start_ + settings_.bench_seconds * kSecond;
        uint64_t at_last = UINT64_MAX;
        const auto lost = [&] {
            if (clock_.slept_ns() < last)
                return false;
            if (at_last == UINT64_MAX)
                at_last = hashes();
            return clock_.slept_ns() > last + 5 * kSecond ||
                   hashes() - at_last > 4 * devices_.size();
        };
        if (!testing::wait_for({[&] { return run_ended(); }, [&] { return steps(); }, lost}) &&
            !run_ended()) {
            // The fixture cannot outlive a loop that never ends: fail this test's process now
            // rather than by ctest's timeout.
            std::fprintf(stderr, "the mining loop did not end\n");
            std::_Exit(1);
        }
        out = out_->finish();
        return run_.get();
    }
    // Stops the run, which must end with exit code 0; everything it printed.
    std::string finish() {
        std::string out;
        EXPECT_EQ(finish(out), 0);
        return out;
    }

    testing::TestPool pool_;
    Settings settings_;
    GpuDeviceList devices_;
    testing::TestClock clock_{20, kStart};
    int64_t slept_at_start_ = 0;
    testing::TempDir dir_;
    std::unique_ptr<testing::StdoutCapture> out_;
    std::future<int> run_;
};

// A range that two GPUs use up, then a job whose range outlasts the run: the fee minute, the
// return and a pool restart each log in again and are sent that job again, which goes on
// where it was.
TEST_F(MiningLoopTest, TwoGpusMineEachNonceOnceAcrossDevFeeLoginsAndReportWhatThePoolSaid) {
    std::atomic<int> judged{0};
    pool_.set_judge([&judged](const PoolSubmit& s) {
        const std::string verdict = testing::TestPool::default_judge(s);
        return ++judged == 3 && verdict.empty() ? std::string("test says no") : verdict;
    });
    testing::PoolTestJob job;
    for (int i = 0; i < 112; ++i)
        job.header[i] = static_cast<uint8_t>(i * 13 + 5);
    job.target.fill(0xFF);  // every hash a share and a block candidate
    job.network_target.fill(0xFF);
    job.nonce_start = 5000;
    job.nonce_end = 5007;  // four launches
    start(2, job);
    ASSERT_TRUE(pool_sees([](auto&, auto& s) { return s.size() == 8; }, 1));
    ASSERT_TRUE(stats_say(R"("gpus":\[[0-9.]+,[0-9.]+\],"accepted":7,"rejected":1,"uptime_s":0,)"));
    EXPECT_EQ(devices_[0]->hash_count.load() + devices_[1]->hash_count.load(), 8u);

    job.job_id = "job-2";
    job.network_target.fill(0);
    job.nonce_end = UINT64_MAX;
    pool_.set_job(job);
    for (int conn = 0; conn < 4; ++conn) {
        if (conn == 1 || conn == 2)
            clock_.set_seconds(kStart + (conn == 1 ? 5940 : 6000));
        if (conn == 3)
            pool_.close_connections();
        // A few launches of each GPU after the login bring shares; 32 are more than enough.
        ASSERT_TRUE(pool_sees(
            [conn](auto&, auto& all) {
                return std::any_of(all.begin(), all.end(), [conn](const PoolSubmit& s) {
                    return s.connection == conn && s.job_id == "job-2";
                });
            },
            conn + 1, 64))
            << conn;
    }
    ASSERT_TRUE(stats_say(
        R"(^\{"hashrate_hs":[0-9]+\.[0-9],"gpus":\[[0-9]+\.[0-9],[0-9]+\.[0-9]\],"accepted":[0-9]+,)"
        R"("rejected":1,"uptime_s":6000,"version":"v1\.0\.3","algo":"argon2id-qel"\}\n$)"));
    const std::string out = finish();

    std::string logins;
    for (const testing::PoolLogin& login : pool_.logins())
        logins += login.address + "/" + login.worker + " ";
    // The fee minute pays this address and no other, whatever the constant is changed to.
    EXPECT_EQ(logins,
              "qel1useraddress/rig7 "
              "qel148r27j09t9fhcwpnwgzguhxmvzxpxsg4veu22ha5nf90pta3uyd6mjw3sgy/tovren "
              "qel1useraddress/rig7 qel1useraddress/rig7 ");
    for (const PoolSubmit& s : pool_.submits())  // with the first 8: each nonce once
        EXPECT_TRUE(s.known_job && s.hash_ok && s.meets_target && s.in_range && !s.duplicate)
            << s.job_id << " " << s.nonce;

    const std::string start = " pool  127.0.0.1:" + std::to_string(pool_.port()) +
                              "\n user  qel1useraddress \u00b7 worker rig7\n";
    const std::string notice = "\n shutdown requested \u2014 clean exit\n";
    EXPECT_EQ(out.substr(0, start.size()) + out.substr(out.size() - notice.size()), start + notice);
    for (const char* line : {" net   logged in\n", " share accepted (1/0)\n",
                             " share REJECTED \u2014 test says no\n", " share accepted (7/1)\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    // Into the fee minute and out of it, once each, in that order.
    const std::regex fee(" fee   [^\n]*\n");
    std::string switches;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), fee); it != std::sregex_iterator();
         ++it)
        switches += it->str();
    EXPECT_EQ(switches, " fee   1% dev contribution (1 min)\n fee   back to user wallet\n") << out;
    EXPECT_TRUE(std::regex_search(
        out, std::regex(" speed 10s/60s/15m  [^\n]+   parts 7/1   GPU0 [^\n]+ \u00b7 GPU1 ")));
    // A speed line every 10 ticks, each tick a second of sleep (the workers' waits add more).
    const std::regex speed(" speed 10s/60s/15m ");
    EXPECT_LE(std::distance(std::sregex_iterator(out.begin(), out.end(), speed), {}) * 10 * kSecond,
              clock_.slept_ns());
    const std::regex block(" block candidate found at height 1 \\(GPU[01]\\)\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), block), {}), 8);
}

// The "10s " line every 10 ticks until the result, which counts the GPUs.
TEST_F(MiningLoopTest, BenchHasNoPoolStatisticsFileOrNotice) {
    const std::string speed = " speed 10s [0-9.]+ (H|kH)/s\n";
    const std::string rate = "[0-9.]+ (H|kH)/s";
    const struct {
        int seconds;
        int gpus;
        std::string out;
    } cases[] = {
        {12, 1, speed + " bench 1 GPU\\(s\\): " + rate + " over 12 s\n"},
        {30, 1, speed + speed + " bench 1 GPU\\(s\\): " + rate + " over 30 s\n"},
        {1, 3, " bench 3 GPU\\(s\\): " + rate + " over 1 s\n"},
    };
    for (const auto& c : cases) {
        settings_.bench_seconds = c.seconds;
        start(c.gpus, {});
        std::string out;
        EXPECT_EQ(finish(out, false), 0);
        // Only the loop sleeps in a bench: one second a tick.
        EXPECT_EQ(clock_.slept_ns() - slept_at_start_, c.seconds * kSecond);
        EXPECT_TRUE(std::regex_match(out, std::regex(c.out))) << out;
        EXPECT_EQ(pool_.connections_accepted(), 0);
        EXPECT_FALSE(std::ifstream(settings_.stats_file).good());
        // A launch under way when the bench ends still counts; a one-tick bench may end
        // before any has begun.
        EXPECT_TRUE(c.seconds == 1 || devices_[0]->hash_count.load() > 0);
    }
}

// A GPU that cannot take the bench job or launch stops the bench at once, however well the
// other GPUs hash: no result and exit code 1, not a low rate and 0.
TEST_F(MiningLoopTest, BenchGpuThatFailsStopsTheRunWithExitCodeOne) {
    const struct {
        int gpus;
        cudasim::FailRule fail;
        const char* line;
    } cases[] = {
        {1, {"cudaMemcpyAsync", -1, 1}, " gpu   job copy: unknown error\n"},
        {2, {"cudaLaunchKernel", 1, 1}, " gpu   GPU1: kernel launch: unknown error\n"},
    };
    for (const auto& c : cases) {
        settings_.bench_seconds = 200;  // 10 s of real time: far beyond the failure
        start(c.gpus, {}, {c.fail});
        std::string out;
        EXPECT_EQ(finish(out, false), 1);
        EXPECT_TRUE(
            std::regex_match(out, std::regex("( speed 10s [^\n]+\n)*" + std::string(c.line) +
                                             " gpu   a GPU stopped, exiting\n")))
            << out;
    }
}

}  // namespace
}  // namespace tovren::qel
