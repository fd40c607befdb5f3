// The GPU worker in-process on a simulated GPU, against a Pool whose connection is a socket
// pair that the test reads: no pool thread, every job and connection state set by the test.
#include "app/gpu_worker.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <thread>

#include "app/console.h"
#include "app/stop_signal.h"
#include "capture.h"
#include "sim_gpu.h"

namespace tovren::qel {
namespace {

using testing::eventually;

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

    // A job of the current connection whose every hash meets the share target.
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
        out_ = std::make_unique<testing::StdoutCapture>();
        worker_ = std::thread(gpu_worker, WorkerClosure{dev_.get(), bench_seconds_, stopped_, pool_,
                                                        nonces_, wrong_, clock_});
    }

    // Stops the worker (if it has not stopped itself); what it printed.
    std::string finish() {
        stop_requested = true;
        if (worker_.joinable())
            worker_.join();
        return out_ ? out_->finish() : "";
    }

    // The number of lines written to the pool, after waiting up to timeout_ms for n of them.
    size_t sent(size_t n = 0, int timeout_ms = 180000) {
        eventually(
            [&] {
                char buf[4096];
                ssize_t got;
                while ((got = recv(pair_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
                    lines_ += static_cast<size_t>(std::count(buf, buf + got, '\n'));
                return lines_ >= n;
            },
            timeout_ms);
        return lines_;
    }

    std::unique_ptr<GpuDevice> dev_;
    int pair_[2] = {-1, -1};
    Pool pool_;
    int bench_seconds_ = 0;
    std::atomic<int> stopped_{0};
    NonceAllocator nonces_;
    std::atomic<uint64_t> wrong_{0};
    testing::FastClock clock_{200};  // a 200 ms wait takes 1 ms
    std::thread worker_;
    size_t lines_ = 0;
    std::unique_ptr<testing::StdoutCapture> out_;
};

TEST_F(GpuWorkerTest, HitThatMissesTheShareTargetIsDroppedSilently) {
    PoolJob j = job(1, 0, 7);
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
    start();
    ASSERT_EQ(sent(meeting - 1), meeting - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(finish(), "");  // no wrong-hash line for it
    EXPECT_EQ(sent(), meeting - 1);
    EXPECT_EQ(wrong_.load(), 0u);
    EXPECT_EQ(dev_->hash_count.load(), 8u);
}

TEST_F(GpuWorkerTest, AGoodShareBetweenNineWrongHashesKeepsTheWorkerRunning) {
    dev_ = testing::sim_device(0, 2, 8);  // 16 hits per launch: 9 wrong, then 7 good
    publish(job(1, 0, 31));
    std::vector<cudasim::CorruptRule> rules;
    for (uint64_t k = 0; k < 9; ++k)
        rules.push_back({8, 8 + 40 * k, -1});  // the hash of the k-th hit stored
    cudasim::set_corrupt_rules(rules);
    start();
    ASSERT_EQ(sent(14), 14u);
    const std::string out = finish();
    EXPECT_EQ(wrong_.load(), 18u);
    EXPECT_EQ(stopped_.load(), 0);
    EXPECT_EQ(out.find("in a row"), std::string::npos);
}

TEST_F(GpuWorkerTest, LaunchesOnlyOnAWholeLaunchWithAConnectionAndSendsOnlyItsHits) {
    publish(job(1, 100, 106));  // 7 nonces for a launch of 8
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));  // many 200 ms waits
    publish(job(2, 100, 50));                                     // nonce_end below nonce_start
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    pool_.connected = false;
    publish(job(3, 0, 7));  // a good job, but no connection
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(cudasim::launch_count(), 0u);
    // Connected again, on a new connection: the old job is mined but its hits are dropped.
    pool_.connections = 2;
    pool_.connected = true;
    ASSERT_TRUE(eventually([&] { return dev_->hash_count.load() == 8; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sent(), 0u);
    publish(job(4, 100, 107));  // a job of the new connection is mined and its shares sent
    EXPECT_EQ(sent(8), 8u);
    EXPECT_EQ(finish().find("wrong"), std::string::npos);
    EXPECT_EQ(cudasim::launch_count(), 2u);
}

TEST_F(GpuWorkerTest, FailedUploadOrLaunchStopsTheWorker) {
    publish(job(1, 0, 1000));
    const struct {
        const char* call;
        const char* line;
    } cases[] = {{"cudaMemcpyAsync", R"(^ gpu   job copy: [^\n]+\n$)"},
                 {"cudaLaunchKernel", R"(^ gpu   GPU0: kernel launch: [^\n]+\n$)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call);
        stopped_ = 0;
        stop_requested = false;
        cudasim::set_fail_rules({cudasim::FailRule{c.call, -1, 1, false, cudaErrorUnknown}});
        start();
        worker_.join();
        const std::string out = finish();
        EXPECT_EQ(stopped_.load(), 1);
        EXPECT_TRUE(std::regex_search(out, std::regex(c.line))) << out;
    }
    EXPECT_EQ(dev_->hash_count.load(), 0u);
}

TEST_F(GpuWorkerTest, StopDuringALaunchStillSendsItsSharesThenLaunchesNoMore) {
    publish(job(1, 0, 15));  // room for two launches
    start();
    ASSERT_TRUE(eventually([] { return cudasim::launch_count() >= 1; }));
    stop_requested = true;  // the first launch is running
    worker_.join();
    EXPECT_EQ(dev_->hash_count.load(), 8u);
    EXPECT_EQ(sent(), 8u);  // written before the worker returned
    EXPECT_EQ(cudasim::launch_count(), 1u);
    EXPECT_EQ(stopped_.load(), 0);
}

}  // namespace
}  // namespace tovren::qel
