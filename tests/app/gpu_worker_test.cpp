// The GPU worker in-process on a simulated GPU, against a Pool whose connection is a socket
// pair that the test reads: no pool thread, every job and connection state set by the test.
#include "app/gpu_worker.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "app/console.h"
#include "app/stop_signal.h"
#include "capture.h"
#include "sim_gpu.h"

namespace tovren::qel {
namespace {

using testing::FastClock;

class GpuWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_console_colors(false);
        stop_requested = false;
        testing::reset_sim_gpus(1);
        dev_ = testing::sim_device(0, 1, 8);  // 8 nonces per launch
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
        pool_.fd = pair_[0];
        pool_.connected = true;
        pool_.connections = 1;
    }

    void TearDown() override {
        finish();
        pool_.fd = -1;
        close(pair_[0]);
        close(pair_[1]);
        stop_requested = false;
    }

    // A job whose every hash meets the share target, unless the test changes it.
    PoolJob job(uint64_t seq, uint64_t start, uint64_t end) {
        PoolJob j;
        j.seq = seq;
        j.conn_gen = pool_.connections;
        j.job_id = "j" + std::to_string(seq);
        for (int i = 0; i < 112; ++i)
            j.header[i] = static_cast<uint8_t>(i * 7 + seq);
        std::memset(j.target, 0xFF, 32);
        j.height = 4200 + seq;
        j.nonce_start = start;
        j.nonce_end = end;
        j.valid = true;
        return j;
    }

    void publish(const PoolJob& j) {
        std::lock_guard<std::mutex> lock(pool_.job_mutex);
        pool_.job = j;
        pool_.job_seq = j.seq;
    }

    void start() {
        worker_ = std::thread(gpu_worker, WorkerClosure{dev_.get(), bench_seconds_, stopped_, pool_,
                                                        nonces_, wrong_, clock_});
    }

    // Stops the worker (if it has not stopped itself) and returns the console output.
    std::string finish() {
        stop_requested = true;
        if (worker_.joinable())
            worker_.join();
        return out_ ? out_->finish() : "";
    }

    // The submit lines on the wire, waiting up to timeout_ms for n of them.
    std::vector<std::string> submits(size_t n, int timeout_ms = 180000) {
        for (int waited = 0;; waited += 10) {
            pollfd p{pair_[1], POLLIN, 0};
            while (poll(&p, 1, 0) > 0) {
                char buf[4096];
                const ssize_t got = read(pair_[1], buf, sizeof buf);
                if (got <= 0)
                    break;
                wire_.append(buf, static_cast<size_t>(got));
            }
            if (count_lines() >= n || waited >= timeout_ms)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::vector<std::string> lines;
        size_t at = 0, nl;
        while ((nl = wire_.find('\n', at)) != std::string::npos) {
            lines.push_back(wire_.substr(at, nl - at));
            at = nl + 1;
        }
        return lines;
    }

    size_t count_lines() const {
        return static_cast<size_t>(std::count(wire_.begin(), wire_.end(), '\n'));
    }

    bool wait_for(const std::function<bool()>& pred, int timeout_ms = 180000) {
        for (int waited = 0; waited < timeout_ms; waited += 5) {
            if (pred())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return pred();
    }

    void capture() { out_ = std::make_unique<testing::StdoutCapture>(); }

    std::unique_ptr<GpuDevice> dev_;
    int pair_[2] = {-1, -1};
    Pool pool_;
    int bench_seconds_ = 0;
    std::atomic<int> stopped_{0};
    NonceAllocator nonces_;
    std::atomic<uint64_t> wrong_{0};
    FastClock clock_{200};  // a 200 ms wait takes 1 ms
    std::thread worker_;
    std::string wire_;
    std::unique_ptr<testing::StdoutCapture> out_;
};

// nonce and claimed hash of a submit line.
void parse_submit(const std::string& line, const std::string& job_id, uint64_t& nonce,
                  std::string& hash) {
    static const std::regex re(
        R"re(\{"id":\d+,"method":"submit","params":\{"job_id":"([^"]*)","nonce":(\d+),"claimed_hash":"([0-9a-f]{64})"\}\})re");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, re)) << line;
    EXPECT_EQ(m[1].str(), job_id);
    nonce = std::stoull(m[2].str());
    hash = m[3].str();
}

std::string hex32(const uint8_t* p) {
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 32; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

TEST_F(GpuWorkerTest, EveryHitIsRecheckedSubmittedAndTheRangeMinedOnce) {
    PoolJob j = job(1, 1000, 1007);  // exactly one launch
    std::memset(j.network_target, 0xFF, 32);
    publish(j);
    capture();
    start();
    const std::vector<std::string> lines = submits(8);
    ASSERT_EQ(lines.size(), 8u);
    std::set<uint64_t> nonces;
    for (const std::string& line : lines) {
        uint64_t nonce = 0;
        std::string hash;
        parse_submit(line, "j1", nonce, hash);
        uint8_t expected[32];
        ASSERT_TRUE(testing::reference_hash(j.header, nonce, expected));
        EXPECT_EQ(hash, hex32(expected)) << nonce;
        nonces.insert(nonce);
    }
    EXPECT_EQ(nonces, (std::set<uint64_t>{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007}));
    // The range is used up: the worker keeps waiting and launches nothing more.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string out = finish();
    EXPECT_EQ(cudasim::launch_count(), 1u);
    EXPECT_EQ(dev_->hash_count.load(), 8u);
    EXPECT_EQ(submits(8, 0).size(), 8u);
    EXPECT_EQ(stopped_.load(), 0);
    // Each share is on the wire before its block line.
    size_t blocks = 0, at = 0;
    while ((at = out.find(" block candidate found at height 4201 (GPU0)\n", at)) !=
           std::string::npos) {
        ++blocks;
        ++at;
    }
    EXPECT_EQ(blocks, 8u) << out;
}

TEST_F(GpuWorkerTest, HitThatMissesTheShareTargetIsDroppedSilently) {
    PoolJob j = job(1, 0, 7);
    std::memset(j.target, 0xFF, 32);
    j.target[0] = 0x7F;  // met by the hashes whose top byte is below 0x80
    publish(j);
    size_t meeting = 0;
    for (uint64_t nonce = 0; nonce < 8; ++nonce) {
        uint8_t hash[32];
        ASSERT_TRUE(testing::reference_hash(j.header, nonce, hash));
        meeting += hash[31] < 0x80;
    }
    ASSERT_GE(meeting, 2u);
    // The GPU flips the top byte of the first hit's hash: it no longer meets the target.
    cudasim::set_corrupt_rules({cudasim::CorruptRule{8, 8 + 31, -1}});
    capture();
    start();
    ASSERT_EQ(submits(meeting - 1).size(), meeting - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string out = finish();
    EXPECT_EQ(submits(0, 0).size(), meeting - 1);
    EXPECT_EQ(out, "");  // no wrong-hash line for it
    EXPECT_EQ(wrong_.load(), 0u);
    EXPECT_EQ(dev_->hash_count.load(), 8u);
}

TEST_F(GpuWorkerTest, TenWrongHashesInARowStopTheWorkerAndNoneIsSent) {
    publish(job(1, 0, 15));  // two launches of 8 hits
    std::vector<cudasim::CorruptRule> rules;
    for (uint64_t k = 0; k < 8; ++k)
        rules.push_back({8, 8 + 40 * k, -1});
    cudasim::set_corrupt_rules(rules);
    capture();
    start();
    ASSERT_TRUE(wait_for([&] { return stopped_.load() == 1; }));
    worker_.join();  // it returned by itself
    const std::string out = finish();
    EXPECT_TRUE(submits(0, 0).empty());
    EXPECT_EQ(wrong_.load(), 10u);
    for (int total = 1; total <= 10; ++total) {
        EXPECT_NE(out.find(" gpu   GPU0 returned a wrong hash: share NOT sent (" +
                           std::to_string(total) + " so far; check the card's clocks)\n"),
                  std::string::npos)
            << total;
    }
    EXPECT_EQ(out.find("(11 so far"), std::string::npos);
    EXPECT_NE(out.find(" gpu   GPU0: 10 wrong hashes in a row, stopping\n"), std::string::npos);
    EXPECT_EQ(out.rfind("stopping"), out.size() - 9);  // nothing after the stop line
}

TEST_F(GpuWorkerTest, AGoodShareBetweenNineWrongHashesKeepsTheWorkerRunning) {
    dev_ = testing::sim_device(0, 2, 8);  // 16 hits per launch
    publish(job(1, 0, 31));
    std::vector<cudasim::CorruptRule> rules;
    for (uint64_t k = 0; k < 9; ++k)
        rules.push_back({8, 8 + 40 * k, -1});
    cudasim::set_corrupt_rules(rules);  // 9 wrong, then 7 good, in each launch
    capture();
    start();
    ASSERT_EQ(submits(14).size(), 14u);
    const std::string out = finish();
    EXPECT_EQ(wrong_.load(), 18u);
    EXPECT_EQ(stopped_.load(), 0);
    EXPECT_EQ(out.find("in a row"), std::string::npos);
}

TEST_F(GpuWorkerTest, HitsOfAJobFromAnEarlierConnectionAreDropped) {
    publish(job(1, 0, 7));
    pool_.connections = 2;  // the pool reconnected since this job arrived
    capture();
    start();
    ASSERT_TRUE(wait_for([&] { return dev_->hash_count.load() == 8; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(submits(0, 0).empty());
    // A job of the new connection is mined and its shares sent.
    publish(job(2, 100, 107));
    EXPECT_EQ(submits(8).size(), 8u);
    const std::string out = finish();
    EXPECT_EQ(out.find("wrong"), std::string::npos);
    EXPECT_EQ(cudasim::launch_count(), 2u);
}

TEST_F(GpuWorkerTest, NothingIsLaunchedWithoutAWholeLaunchInRangeOrAConnection) {
    publish(job(1, 100, 106));  // 7 nonces for a launch of 8
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // many 200 ms waits
    publish(job(2, 100, 50));                                     // nonce_end below nonce_start
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pool_.connected = false;
    publish(job(3, 0, 1000));  // a good job, but no connection
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(cudasim::launch_count(), 0u);
    EXPECT_EQ(dev_->hash_count.load(), 0u);
    pool_.connected = true;
    ASSERT_TRUE(wait_for([&] { return dev_->hash_count.load() > 0; }));
    finish();
    EXPECT_TRUE(submits(0, 0).size() % 8 == 0);
}

TEST_F(GpuWorkerTest, FailedUploadOrLaunchStopsTheWorker) {
    publish(job(1, 0, 1000));
    cudasim::set_fail_rules({cudasim::FailRule{"cudaMemcpyAsync", -1, 1, false, cudaErrorUnknown}});
    capture();
    start();
    worker_.join();
    std::string out = finish();
    EXPECT_EQ(stopped_.load(), 1);
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(^ gpu   job copy: [^\n]+\n$)"))) << out;

    stopped_ = 0;
    stop_requested = false;
    cudasim::set_fail_rules(
        {cudasim::FailRule{"cudaLaunchKernel", -1, 1, false, cudaErrorUnknown}});
    capture();
    start();
    worker_.join();
    out = finish();
    EXPECT_EQ(stopped_.load(), 1);
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(^ gpu   GPU0: kernel launch: [^\n]+\n$)")))
        << out;
    EXPECT_EQ(dev_->hash_count.load(), 0u);
}

TEST_F(GpuWorkerTest, StopDuringALaunchStillSendsItsSharesThenLaunchesNoMore) {
    publish(job(1, 0, 15));  // room for two launches
    start();
    ASSERT_TRUE(wait_for([] { return cudasim::launch_count() >= 1; }));
    stop_requested = true;  // the first launch is running
    worker_.join();
    EXPECT_EQ(dev_->hash_count.load(), 8u);
    EXPECT_EQ(submits(8, 0).size(), 8u);  // written before the worker returned
    EXPECT_EQ(cudasim::launch_count(), 1u);
    EXPECT_EQ(stopped_.load(), 0);
}

TEST_F(GpuWorkerTest, BenchWorkerCountsEveryLaunchAndNeverSubmits) {
    bench_seconds_ = 5;
    start();
    ASSERT_TRUE(wait_for([&] { return dev_->hash_count.load() >= 16; }));
    finish();
    EXPECT_EQ(dev_->hash_count.load() % 8, 0u);
    EXPECT_EQ(dev_->hash_count.load(), cudasim::launch_count() * 8);
    EXPECT_TRUE(submits(0, 0).empty());
    EXPECT_EQ(stopped_.load(), 0);
}

}  // namespace
}  // namespace tovren::qel
