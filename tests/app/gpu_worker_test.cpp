// A GPU's part in mining: blocks of nonces from the one allocator, the tuning that fixes each
// launch's size, the share test, and the worker itself on a simulated GPU against a Pool whose
// connection is a socket pair that the test reads (no pool thread; the job and connection
// state are the test's).
#include "app/gpu_worker.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <regex>

#include "../pow/test_util.h"
#include "app/console.h"
#include "app/share_target.h"
#include "app/stop_signal.h"
#include "app/tuning.h"
#include "capture.h"
#include "progress.h"
#include "sim_gpu.h"

namespace tovren::qel {
namespace {

constexpr uint64_t kMax = UINT64_MAX;
constexpr uint64_t kHalf = uint64_t{1} << 63;
// What of a job differs from the first one, besides its range (a bit set).
constexpr int kId = 1, kHeader = 2, kTarget = 4, kAll = kId | kHeader | kTarget;
// ThreadSanitizer makes a hash a hundred times slower, so the cases of many hashes whose
// logic runs on one thread are left to the other builds.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// One request to the allocator and its expected answer; base is checked only when granted.
struct Take {
    uint64_t seq, start, end, count;
    bool granted;
    uint64_t base;
    int differs = 0;
};

PoolJob job(uint64_t seq, uint64_t start, uint64_t end, int differs = 0) {
    PoolJob j;
    j.seq = seq;
    j.conn_gen = seq;  // each sent on a connection of its own
    j.job_id = differs & kId ? "b" : "a";
    j.header[111] = differs & kHeader ? 1 : 0;
    j.target[31] = differs & kTarget ? 1 : 0;
    j.nonce_start = start;
    j.nonce_end = end;
    return j;
}

// The first block of distinct work number k, served as job seq.
Take other_work(uint64_t seq, uint64_t k) {
    return {seq, 1000 * k, kMax, 10, true, 1000 * k, kId};
}

TEST(NonceAllocatorTest, GrantsAreConsecutiveWithinTheRangeAndRestartWithNewWork) {
    const std::vector<Take> scenarios[] = {
        // clang-format off
        // Blocks of different sizes in turn, up to nonce_end and no further.
        {{1, 7000, 7047, 16, true, 7000}, {1, 7000, 7047, 8, true, 7016},
         {1, 7000, 7047, 24, true, 7024}, {1, 7000, 7047, 16, false, 0},
         {1, 7000, 7047, 1, false, 0}},
        // A newer job restarts; a worker on the older one is refused, then copies the new one.
        {{3, 0, kMax, 10, true, 0}, {3, 0, kMax, 10, true, 10}, {4, 500, kMax, 10, true, 500},
         {3, 0, kMax, 10, false, 0}, {4, 500, kMax, 10, true, 510}},
        // A range smaller than one launch, or nonce_end below nonce_start.
        {{1, 100, 114, 16, false, 0}, {1, 100, 99, 16, false, 0}, {1, 100, 50, 1, false, 0},
         {1, 100, 115, 16, true, 100}, {1, 100, 115, 16, false, 0}},
        // Two GPUs of different sizes taking turns on a fresh job.
        {{1, 1000, kMax, 64, true, 1000}, {1, 1000, kMax, 24, true, 1064},
         {1, 1000, kMax, 64, true, 1088}},
        // A range of exactly 3 launches ends on nonce_end.
        {{1, 7000, 7047, 16, true, 7000}, {1, 7000, 7047, 16, true, 7016},
         {1, 7000, 7047, 16, true, 7032}, {1, 7000, 7047, 16, false, 0},
         {1, 7000, 7047, 1, false, 0}},
        // A range ending at 2^64 - 1 never wraps to 0, nor does a block past it.
        {{1, kMax - 31, kMax, 16, true, kMax - 31}, {1, kMax - 31, kMax, 20, false, 0},
         {1, kMax - 31, kMax, 16, true, kMax - 15}, {1, kMax - 31, kMax, 1, false, 0}},
        {{1, kMax - 31, kMax, 16, true, kMax - 31}, {1, kMax - 31, kMax, 16, true, kMax - 15},
         {1, kMax - 31, kMax, 16, false, 0}},
        {{1, kMax - 10, kMax, 16, false, 0}, {1, kMax - 10, kMax, 11, true, kMax - 10}},
        // The same work sent again goes on; a change of id, header, target or range restarts.
        {{1, 0, kMax, 10, true, 0}, {2, 0, kMax, 10, true, 10}, {1, 0, kMax, 10, false, 0},
         {3, 0, kMax, 10, true, 20}, {4, 0, kMax, 10, true, 0, kId},
         {5, 0, kMax, 10, true, 0, kId | kHeader}, {6, 0, kMax, 10, true, 0, kAll},
         {7, 0, kMax, 10, true, 10, kAll}, {8, 0, kMax - 1, 10, true, 0, kAll},
         {9, 5, kMax - 1, 10, true, 5, kAll}},
        // A used-up range stays used up when its job is sent again.
        {{1, 100, 107, 8, true, 100}, {2, 100, 107, 8, false, 0}, {3, 100, 107, 1, false, 0}},
        // The whole nonce space is handed out once, though the offset counts round to 0.
        {{1, 0, kMax, kHalf, true, 0}, {1, 0, kMax, kHalf, true, kHalf}, {1, 0, kMax, 1, false, 0},
         {2, 0, kMax, 1, false, 0}, {3, 0, kMax, 64, true, 0, kId}},
        // A range handed out to its very end stays used up when its job comes back after
        // other work, also one from 0 that reached 2^64 - 1.
        {{1, 100, 107, 8, true, 100}, other_work(2, 1), {3, 100, 107, 1, false, 0}},
        {{1, 0, kMax, kHalf, true, 0}, {1, 0, kMax, kHalf, true, kHalf}, other_work(2, 1),
         {3, 0, kMax, 1, false, 0}, {4, 1000, kMax, 10, true, 1010, kId}},
        // Work that comes back after other work goes on where it was, and so does the other.
        {{1, 0, kMax, 10, true, 0}, other_work(2, 1), {3, 0, kMax, 10, true, 10},
         {4, 1000, kMax, 10, true, 1010, kId}, {5, 0, kMax, 10, true, 20}},
        // The last 8 works served keep their places: serving one again makes it the newest.
        {{1, 0, kMax, 10, true, 0}, other_work(2, 1), other_work(3, 2), other_work(4, 3),
         other_work(5, 4), other_work(6, 5), other_work(7, 6), other_work(8, 7),
         {9, 0, kMax, 10, true, 10}, other_work(10, 8), {11, 0, kMax, 10, true, 20},
         other_work(12, 1), {13, 7000, kMax, 10, true, 7010, kId}},
        // More than 7 other works in between: the range starts over.
        {{1, 0, kMax, 10, true, 0}, other_work(2, 1), other_work(3, 2), other_work(4, 3),
         other_work(5, 4), other_work(6, 5), other_work(7, 6), other_work(8, 7),
         other_work(9, 8), {10, 0, kMax, 10, true, 0}},
        // clang-format on
    };
    for (const std::vector<Take>& takes : scenarios) {
        NonceAllocator a;
        for (size_t i = 0; i < takes.size(); ++i) {
            SCOPED_TRACE(::testing::Message()
                         << "scenario " << &takes - scenarios << ", take " << i);
            const Take& t = takes[i];
            uint64_t base = 12345;
            ASSERT_EQ(a.take(job(t.seq, t.start, t.end, t.differs), t.count, base), t.granted);
            EXPECT_EQ(base, t.granted ? t.base : 12345u);  // untouched when refused
        }
    }
}

TEST(TuningTest, IterationsCandidatesAndTheChoiceAmongThem) {
    // The time of one iteration: a third of a second's worth, within 8 to 128. 0.002 gives
    // 174, capped; 0.0035 a double quotient just below 100; 0.05 gives 6, raised to 8.
    const std::pair<double, int> iterations[] = {{0.00005, 128}, {0.002, 128},       {0.005, 70},
                                                 {0.01, 35},     {0.0035, 99},       {0.05, 8},
                                                 {0.0, 128},     {std::nan(""), 128}};
    for (const auto& [seconds, iters] : iterations)
        EXPECT_EQ(iterations_for(seconds), iters) << seconds;

    // The multipliers of the multiprocessor count until one no longer fits the slots.
    EXPECT_EQ(tuning_candidates(28, 140), (std::vector<int>{70, 84, 91, 98, 105, 112, 126, 140}));
    EXPECT_EQ(tuning_candidates(28, 139), (std::vector<int>{70, 84, 91, 98, 105, 112, 126}));
    EXPECT_EQ(tuning_candidates(10, 30), (std::vector<int>{25, 30}));
    EXPECT_EQ(tuning_candidates(1, 4), (std::vector<int>{3, 3, 3, 4, 4, 4}));
    EXPECT_EQ(tuning_candidates(0, 4), (std::vector<int>(8, 1)));
    EXPECT_TRUE(tuning_candidates(28, 69).empty());
    EXPECT_TRUE(tuning_candidates(1 << 30, 4).empty());

    // The fastest candidate wins and a tie keeps the first. Seconds of the timed launch: rates
    // 25*32/2 = 400, 30*32/2.4 = 400 (a tie), 35*32/2.0 = 560, 40*32/3.2 = 400.
    std::vector<int> timed;
    const auto fake = [&timed](int n, double& t) {
        timed.push_back(n);
        t = n == 30 ? 2.4 : n == 40 ? 3.2 : 2.0;
        return true;
    };
    TuneChoice best;
    ASSERT_TRUE(choose_hashes({25, 30}, fake, best));
    EXPECT_EQ(best.hashes, 25);
    EXPECT_DOUBLE_EQ(best.rate, 400.0);
    ASSERT_TRUE(choose_hashes({25, 30, 35, 40}, fake, best));
    EXPECT_EQ(best.hashes, 35);
    EXPECT_DOUBLE_EQ(best.rate, 560.0);
    EXPECT_DOUBLE_EQ(best.seconds_per_iteration, 2.0 / 32);
    // Every candidate is timed, the same n again too (few multiprocessors).
    ASSERT_TRUE(choose_hashes({3, 3, 4, 4}, fake, best));
    EXPECT_EQ(timed, (std::vector<int>{25, 30, 25, 30, 35, 40, 3, 3, 4, 4}));
    ASSERT_TRUE(choose_hashes({}, fake, best));
    EXPECT_EQ(best.hashes, 0);
    int calls = 0;
    EXPECT_FALSE(choose_hashes(
        {25, 30}, [&](int, double&) { return ++calls > 5; }, best));
    EXPECT_EQ(calls, 1);  // the first failure ends the search
}

// Tuning one simulated GPU with 2 multiprocessors (0 in the failure rows: one hash in flight
// per candidate): its line, or the failure line and exit code 1. {rate} stands for the rate.
TEST(TuneGpuTest, SetOrMeasuredHashesAndIterationsOrAFailureThatEndsTuning) {
    const struct {
        int option, sm_count, slots;
        const char* failing_call;
        uint64_t nth;
        int hashes;
        uint64_t launches;    // that passed validation
        uint64_t last_nonce;  // hashed by the first block of the last launch; 0: not checked
        std::string line;
    } cases[] = {
        // One launch of 8 iterations from 2^50, with no warm-up.
        {1, 2, 4, nullptr, 0, 1, 1, (uint64_t{1} << 50) + 7,
         " tune  GPU1: 1 hashes in flight (8 MB), {rate} (set by --hashes)"},
// 320 simulated hashes, too slow when instrumented: the choice among the candidates is
// tested above in every build.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // Only the first candidate, 5, fits; a warm-up and then the measured launch of 32
        // iterations from 2^51, the first block's nonces 5 apart.
        {0, 2, 5, nullptr, 0, 5, 2, (uint64_t{1} << 51) + 31 * 5,
         " tune  GPU1: 5 hashes in flight (40 MB), {rate} (measured, override with --hashes <n>)"},
        // The measuring launch after a warm-up of 32 hashes.
        {0, 0, 4, "cudaLaunchKernel", 2, 0, 1, 0, " tune  GPU1: kernel launch: unknown error"},
        // A measured launch whose time cannot be read has no rate to compare.
        {0, 0, 4, "cudaEventElapsedTime", 1, 0, 2, 0, " tune  GPU1: timing: unknown error"},
        // The measured launch's start or stop not recorded: no stale or negative time.
        {0, 0, 4, "cudaEventRecord", 3, 0, 1, 0, " tune  GPU1: timing: unknown error"},
        {0, 0, 4, "cudaEventRecord", 4, 0, 2, 0, " tune  GPU1: timing: unknown error"},
#endif
        {-3, 28, 4, nullptr, 0, 0, 0, 0, " tune  GPU1: not enough GPU memory"},  // 70 for 4 slots
        {4, 0, 4, "cudaMemcpyAsync", 1, 0, 0, 0, " gpu   job copy: unknown error"},
        {0, 0, 4, "cudaMemcpyAsync", 1, 0, 0, 0, " tune  GPU1: job copy: unknown error"},
        {4, 0, 4, "cudaLaunchKernel", 1, 0, 0, 0, " gpu   kernel launch: unknown error"},
        {1, 0, 4, "cudaEventElapsedTime", 1, 0, 1, 0, " gpu   timing: unknown error"},
        {1, 0, 4, "cudaEventRecord", 1, 0, 0, 0, " gpu   timing: unknown error"},
        {1, 0, 4, "cudaEventRecord", 2, 0, 1, 0, " gpu   timing: unknown error"},
        {0, 0, 4, "cudaLaunchKernel", 1, 0, 0, 0, " tune  GPU1: kernel launch: unknown error"},
    };
    set_console_colors(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        testing::reset_sim_gpus(2);
        GpuDeviceList devices;
        devices.push_back(testing::sim_device(1, 0, 0, c.slots));
        GpuDevice& dev = *devices[0];
        dev.sm_count = c.sm_count;
        if (c.failing_call != nullptr)
            cudasim::set_fail_rules({{c.failing_call, -1, c.nth, false, cudaErrorUnknown}});
        testing::StdoutCapture out;
        EXPECT_EQ(tune_gpus(devices, c.option), c.hashes == 0 ? 1 : 0);
        std::string line = c.line + "\n";
        const size_t rate = line.find("{rate}");
        if (rate != std::string::npos)
            line.replace(rate, 6, format_rate(dev.tuned_rate));
        EXPECT_EQ(out.finish(), line);
        EXPECT_EQ(dev.hashes, c.hashes);
        EXPECT_EQ(cudasim::launch_count(), c.launches);
        if (c.hashes != 0) {  // one launch gives the rate and the time of one iteration
            EXPECT_NEAR(dev.iters, iterations_for(c.hashes / dev.tuned_rate), 1);
        }
        if (c.last_nonce != 0) {
            // The first block's slice of the arena holds the memory of the nonce it hashed
            // last, as a launch of that nonce alone leaves it, and not of the one before.
            const std::vector<uint64_t> tuned(dev.ctx->arena, dev.ctx->arena + kSliceBytes / 8);
            std::vector<DHit> hits;
            std::string err;
            for (const uint64_t nonce : {c.last_nonce - 1, c.last_nonce}) {
                ASSERT_TRUE(dev.ctx->run_range(1, 1, nonce, hits, nullptr, err)) << err;
                EXPECT_EQ(std::equal(tuned.begin(), tuned.end(), dev.ctx->arena),
                          nonce == c.last_nonce)
                    << nonce;
            }
        }
    }
}

// The GPUs in list order, each line printed when its GPU is done; the first failure ends
// tuning there, the lines already printed staying. {rate0} and {rate1} stand for the rates.
TEST(TuneGpuTest, TwoGpusInOrderUntilTheFirstThatFails) {
    const struct {
        int option, sm_count0;
        const char* failing_call;
        int failing_device;
        uint64_t launches;
        int hashes0, hashes1;
        std::string out;
    } cases[] = {
        {1, 2, nullptr, -1, 2, 1, 1,
         " tune  GPU0: 1 hashes in flight (8 MB), {rate0} (set by --hashes)\n"
         " tune  GPU1: 1 hashes in flight (8 MB), {rate1} (set by --hashes)\n"},
        {-3, 28, nullptr, -1, 0, 0, 0, " tune  GPU0: not enough GPU memory\n"},
        {1, 2, "cudaLaunchKernel", 0, 0, 0, 0, " gpu   kernel launch: unknown error\n"},
        {1, 2, "cudaLaunchKernel", 1, 1, 1, 0,
         " tune  GPU0: 1 hashes in flight (8 MB), {rate0} (set by --hashes)\n"
         " gpu   kernel launch: unknown error\n"},
    };
    set_console_colors(false);
    for (const auto& c : cases) {
        if (kThreadSanitizer && c.launches > 0)
            continue;
        SCOPED_TRACE(c.out);
        testing::reset_sim_gpus(2);
        GpuDeviceList devices;
        devices.push_back(testing::sim_device(0, 0, 0));
        devices.push_back(testing::sim_device(1, 0, 0));
        devices[0]->sm_count = c.sm_count0;
        if (c.failing_call != nullptr) {
            cudasim::set_fail_rules(
                {{c.failing_call, c.failing_device, 1, false, cudaErrorUnknown}});
        }
        testing::StdoutCapture out;
        EXPECT_EQ(tune_gpus(devices, c.option), c.hashes1 == 0 ? 1 : 0);
        std::string expected = c.out;
        for (int g = 0; g < 2; ++g) {
            const std::string mark = "{rate" + std::to_string(g) + "}";
            const size_t at = expected.find(mark);
            if (at != std::string::npos)
                expected.replace(at, mark.size(), format_rate(devices[g]->tuned_rate));
        }
        EXPECT_EQ(out.finish(), expected);
        EXPECT_EQ(cudasim::launch_count(), c.launches);
        EXPECT_EQ(devices[0]->hashes, c.hashes0);
        EXPECT_EQ(devices[1]->hashes, c.hashes1);
    }
}

// Hash byte 31 weighs against target byte 0: the bytes set in each (index -1: every byte,
// before the others), the rest zero.
TEST(HashMeetsTargetTest, HashIsLittleEndianTargetBigEndian) {
    using Bytes = std::vector<std::pair<int, uint8_t>>;
    const struct {
        Bytes hash, target;
        bool meets;
    } cases[] = {
        // clang-format off
        {{{31, 0x12}, {0, 0x34}}, {{0, 0x12}, {31, 0x34}}, true},   // equal numbers
        {{{31, 0x12}, {0, 0x35}}, {{0, 0x12}, {31, 0x34}}, false},  // one above
        {{{31, 0x12}, {0, 0x33}}, {{0, 0x12}, {31, 0x34}}, true},   // one below
        {{{31, 0x7F}, {0, 0xFF}}, {{0, 0x80}}, true},               // the top bytes decide
        {{{0, 0xFF}, {1, 1}}, {{30, 1}}, false},                    // 511 against 256
        {{{0, 0xFF}}, {{30, 1}}, true},                             // 255 against 256
        {{}, {}, true},                                             // zero against zero
        {{}, {{-1, 0xFF}}, true},
        {{{0, 1}}, {}, false},                                      // the smallest non-zero
        {{{-1, 0xFF}}, {{-1, 0xFF}}, true},
        {{{-1, 0xFF}}, {}, false},
        {{{-1, 0xFF}, {31, 0x7F}}, {{0, 0x80}}, true},              // the rest do not matter
        {{{31, 0x81}}, {{0, 0x80}}, false},
        // clang-format on
    };
    for (const auto& c : cases) {
        uint8_t hash[32] = {}, target[32] = {};
        for (const auto& [i, v] : c.hash)
            i < 0 ? std::fill(hash, hash + 32, v) : void(hash[i] = v);
        for (const auto& [i, v] : c.target)
            i < 0 ? std::fill(target, target + 32, v) : void(target[i] = v);
        EXPECT_EQ(hash_meets_target(hash, target), c.meets) << &c - cases;
    }
    // An uneven number in every byte, as target and as hash, and one above and below it.
    uint8_t target[32], same[32];
    for (int i = 0; i < 32; ++i) {
        target[i] = static_cast<uint8_t>(17 * i + 3);
        same[31 - i] = target[i];
    }
    EXPECT_TRUE(hash_meets_target(same, target));
    ++same[0];
    EXPECT_FALSE(hash_meets_target(same, target));
    same[0] -= 2;
    EXPECT_TRUE(hash_meets_target(same, target));
}

// One simulated GPU mining against a Pool whose connection is a socket pair that the test
// reads: no pool thread; the job and the connection state are the test's. The pool is on its
// second connection.
class WorkerRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_console_colors(false);
        stop_requested = false;
        testing::reset_sim_gpus(1);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_), 0);
        pool_.fd = pair_[0];
        pool_.connected = true;
        pool_.connections = 2;
    }

    void TearDown() override {
        finish();
        pool_.fd = -1;
        close(pair_[0]);
        close(pair_[1]);
        stop_requested = false;
    }

    // A job of the current connection whose every hash is a share.
    PoolJob job(uint64_t seq, uint64_t start, uint64_t end) {
        PoolJob j;
        j.seq = seq;
        j.conn_gen = pool_.connections;
        j.job_id = "j" + std::to_string(seq);
        for (int i = 0; i < 112; ++i)
            j.header[i] = static_cast<uint8_t>(i * 7 + seq);
        std::fill(j.target, j.target + 32, 0xFF);
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

    void start(int hashes, int iters) {
        dev_ = testing::sim_device(0, hashes, iters);
        out_ = std::make_unique<testing::StdoutCapture>();
        const WorkerClosure closure{dev_.get(), bench_seconds_, stopped_, pool_,
                                    nonces_,    wrong_,         clock_};
        worker_ = std::thread([this, closure] {
            gpu_worker(closure);
            returned_ = true;
        });
    }

    // Stops the worker (if it has not stopped itself); what it printed.
    std::string finish() {
        stop_requested = true;
        if (worker_.joinable())
            worker_.join();
        stop_requested = false;
        return out_ ? out_->finish() : "";
    }

    // Lines written to the pool so far.
    size_t sent() {
        char buf[4096];
        for (ssize_t got; (got = recv(pair_[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;)
            lines_ += static_cast<size_t>(std::count(buf, buf + got, '\n'));
        return lines_;
    }

    // Anything the running worker does: the simulated GPU's waits (with the sanitizers one
    // launch can outlast the stall limit) and launches, hashes counted, its own waits and
    // lines sent.
    uint64_t progress() {
        return cudasim::steps() + cudasim::launch_count() + dev_->hash_count.load() +
               clock_.sleeps() + sent();
    }

    // Waits for done while the worker moves; false as soon as a launch begins that takes the
    // nonces launched in all past `nonces`, since a worker that launches on never gets there.
    bool wait(const std::function<bool()>& done, uint64_t nonces = UINT64_MAX) {
        const uint64_t per_launch = static_cast<uint64_t>(dev_->hashes) * dev_->iters;
        return testing::wait_for({done, [this] { return progress(); },
                                  [&] { return cudasim::launch_count() * per_launch > nonces; }});
    }

    // Makes a change to the pool and waits until the running worker has seen it and has
    // nothing left to launch: the wait under way at the change and one more have ended (a
    // worker with work never waits), or the worker has returned. By then it has launched
    // `nonces` nonces in all.
    bool after(uint64_t nonces, const std::function<void()>& change) {
        const uint64_t waits = clock_.sleeps();
        change();
        return wait([&] { return returned_.load() || clock_.sleeps() >= waits + 2; }, nonces);
    }

    std::unique_ptr<GpuDevice> dev_;
    int pair_[2] = {-1, -1};
    Pool pool_;
    int bench_seconds_ = 0;
    std::atomic<int> stopped_{0};
    NonceAllocator nonces_;
    std::atomic<uint64_t> wrong_{0};
    std::atomic<bool> returned_{false};
    testing::TestClock clock_{200, 0};  // a 200 ms wait takes 1 ms
    std::thread worker_;
    size_t lines_ = 0;
    std::unique_ptr<testing::StdoutCapture> out_;
};

// The wrong-hash lines for totals 1 to n, then the line of a worker that gives up.
std::string wrong_hash_lines(uint64_t n, bool stops) {
    std::string text;
    for (uint64_t i = 1; i <= n; ++i)
        text += " gpu   GPU0 returned a wrong hash: share NOT sent (" + std::to_string(i) +
                " so far; check the card's clocks)\n";
    return text + (stops ? " gpu   GPU0: 10 wrong hashes in a row, stopping\n" : "");
}

// Whether the reference Argon2id hash of header and nonce meets a target whose byte 0 is
// target0 and whose other bytes are 0xFF: its top byte (the last two digits) at most target0.
bool meets_target0(const uint8_t* header, uint64_t nonce, uint8_t target0) {
    const std::string hex = test::libargon2_hex(header, nonce);
    return std::stoi(hex.substr(62), nullptr, 16) <= target0;
}

// The hits that meet the share target, by the reference hash, less the one the GPU corrupted.
constexpr size_t kMeetingLessOne = SIZE_MAX;

struct WorkerCase {
    const char* name;
    int per_launch;   // iterations per launch, of each hash in flight
    uint64_t nonces;  // the job's range: 0 to nonces - 1
    int conn;         // the job's connection: 2 the pool's current one, 1 an earlier one, 0 none
    uint8_t target;   // byte 0 of the share target; the others are 0xFF
    std::vector<cudasim::CorruptRule> corrupt;
    const char* failing_call;  // the worker must give up
    // Expected: nonces hashed, lines sent to the pool, wrong hashes and the other output.
    uint64_t hashed;
    size_t sent;
    uint64_t wrong;
    const char* out;
    int hashes = 1;  // in flight
};

void PrintTo(const WorkerCase& c, std::ostream* os) {
    *os << c.name;
}

// Rule k inverts byte 0, or byte 31 with +31, of the hash of the k-th hit stored.
std::vector<cudasim::CorruptRule> corrupt_hits(int n, uint64_t byte = 0) {
    std::vector<cudasim::CorruptRule> rules;
    for (int k = 0; k < n; ++k)
        rules.push_back({8, 8 + 40 * static_cast<uint64_t>(k) + byte, -1});
    return rules;
}

const WorkerCase kCases[] = {
    // clang-format off
    {"JobOfAnEarlierConnectionMinedButNotSent", 1, 1, 1, 0xFF, {}, nullptr, 1, 0, 0, ""},
    {"NoLaunchWithoutAConnection", 1, 1, 0, 0xFF, {}, nullptr, 0, 0, 0, ""},
    {"HitNoLongerMeetingTheTargetDroppedSilently", 8, 8, 2, 0x7F, corrupt_hits(1, 31), nullptr,
     8, kMeetingLessOne, 0, ""},
    {"NineWrongHashesAShareNineMoreGoesOn", 10, 20, 2, 0xFF, corrupt_hits(9), nullptr, 20, 2, 18,
     ""},
    // Two hashes in flight: 16 hits a launch, the first 9 wrong.
    {"NineWrongThenSevenSharesTwiceGoesOn", 8, 32, 2, 0xFF, corrupt_hits(9), nullptr, 32, 14, 18,
     "", 2},
    // More shares in one launch than it keeps: the rest are lost, and said so.
    {"SharesPastTheHitSlotsAreLostAndSaidSo", 35, 70, 2, 0xFF, {}, nullptr, 70, 64, 0,
     " gpu   GPU0: 6 shares of one launch lost \\(64 at most\\)\n", 2},
    {"OneSharePastTheHitSlotsIsLostAndSaidSo", 65, 65, 2, 0xFF, {}, nullptr, 65, 64, 0,
     " gpu   GPU0: 1 share of one launch lost \\(64 at most\\)\n"},
    {"SixtyFourSharesOfALaunchAllSent", 32, 64, 2, 0xFF, {}, nullptr, 64, 64, 0, "", 2},
    {"FailedJobUploadStops", 1, 1, 2, 0xFF, {}, "cudaMemcpyAsync", 0, 0, 0,
     " gpu   job copy: .+\n"},
    {"FailedLaunchStops", 1, 1, 2, 0xFF, {}, "cudaLaunchKernel", 0, 0, 0,
     " gpu   GPU0: kernel launch: .+\n"},
    // clang-format on
};

class GpuWorkerTest : public WorkerRunTest, public ::testing::WithParamInterface<WorkerCase> {};

TEST_P(GpuWorkerTest, Mines) {
    const WorkerCase& c = GetParam();
    if (kThreadSanitizer && c.hashed > 20)
        GTEST_SKIP() << c.hashed << " hashes";
    const int stops = c.failing_call != nullptr ? 1 : 0;
    cudasim::set_corrupt_rules(c.corrupt);
    if (stops != 0)
        cudasim::set_fail_rules({{c.failing_call, -1, 1, false, cudaErrorUnknown}});
    pool_.connected = c.conn != 0;
    PoolJob job;
    job.seq = 1;
    job.conn_gen = c.conn;
    std::fill(job.target, job.target + 32, 0xFF);
    job.target[0] = c.target;
    job.nonce_end = c.nonces - 1;
    job.valid = true;
    size_t expected_sent = c.sent;
    if (c.sent == kMeetingLessOne) {
        expected_sent = 0;
        for (uint64_t nonce = 0; nonce < c.nonces; ++nonce)
            expected_sent += meets_target0(job.header, nonce, c.target);
        ASSERT_GE(expected_sent, 2u) << "the job shows no share sent besides the one dropped";
        --expected_sent;
    }
    publish(job);
    start(c.hashes, c.per_launch);
    // Done when it has returned, or waited: it has work from the start.
    EXPECT_TRUE(wait([&] { return returned_.load() || clock_.sleeps() >= 2; }, c.hashed));
    const std::string text = finish();
    EXPECT_EQ(sent(), expected_sent);
    EXPECT_EQ(wrong_.load(), c.wrong);
    EXPECT_EQ(stopped_.load(), stops);
    EXPECT_EQ(dev_->hash_count.load(), c.hashed);
    std::string pattern = c.out;
    for (uint64_t i = 0; i < c.wrong; ++i)
        pattern += " gpu   GPU0 returned a wrong hash: share NOT sent \\(" + std::to_string(i + 1) +
                   " so far; check the card's clocks\\)\n";
    EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << text;
}

INSTANTIATE_TEST_SUITE_P(Worker, GpuWorkerTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Jobs one after another, each with its own range of one nonce a launch. Only a share sent
// ends a streak of wrong hashes; it survives new jobs, hits that miss the share target and
// hits dropped because their job came on an earlier connection.
struct StreakJob {
    uint8_t target0;  // byte 0 of the share target, the others 0xFF
    bool earlier;     // the job came on the connection before the pool's current one
    int corrupt;      // the byte the GPU inverts in each hit's hash: 0 wrong, 31 misses; -1 none
    uint64_t nonces;
};

struct StreakCase {
    const char* name;
    std::vector<StreakJob> jobs;
    bool stops;
    uint64_t wrong;
    size_t sent;
};

void PrintTo(const StreakCase& c, std::ostream* os) {
    *os << c.name;
}

const StreakCase kStreaks[] = {
    // clang-format off
    {"TenInARowOverTwoJobsStop", {{0xFF, false, 0, 5}, {0xFF, false, 0, 5}}, true, 10, 0},
    {"AShareSentResetsIt", {{0xFF, false, 0, 9}, {0xFF, false, -1, 1}, {0xFF, false, 0, 1}},
     false, 10, 1},
    {"AHitMissingTheTargetDoesNot", {{0xFF, false, 0, 9}, {0x7F, false, 31, 1},
     {0xFF, false, 0, 1}}, true, 10, 0},
    {"AHitDroppedAfterAReconnectDoesNot", {{0xFF, false, 0, 9}, {0xFF, true, -1, 1},
     {0xFF, false, 0, 1}}, true, 10, 0},
    // clang-format on
};

class WrongHashStreakTest : public WorkerRunTest,
                            public ::testing::WithParamInterface<StreakCase> {};

TEST_P(WrongHashStreakTest, EndsOnlyWithAShareSent) {
    const StreakCase& c = GetParam();
    if (kThreadSanitizer)
        GTEST_SKIP() << "20 hashes";
    uint64_t hashed = 0;
    start(1, 1);
    for (size_t k = 0; k < c.jobs.size(); ++k) {
        const StreakJob& s = c.jobs[k];
        ASSERT_EQ(stopped_.load(), 0) << "stopped before job " << k;
        // A hit that is to miss the target after the GPU's fault has to meet it first.
        uint64_t first = 1000 * k;
        while (s.target0 != 0xFF && !meets_target0(job(k + 1, 0, 0).header, first, s.target0))
            ++first;
        PoolJob j = job(k + 1, first, first + s.nonces - 1);
        j.target[0] = s.target0;
        j.conn_gen -= s.earlier ? 1 : 0;
        cudasim::set_corrupt_rules(s.corrupt < 0 ? std::vector<cudasim::CorruptRule>{}
                                                 : corrupt_hits(1, s.corrupt));
        hashed += s.nonces;
        ASSERT_TRUE(after(hashed, [&] { publish(j); })) << "job " << k;
    }
    EXPECT_EQ(finish(), wrong_hash_lines(c.wrong, c.stops));
    EXPECT_EQ(stopped_.load(), c.stops ? 1 : 0);
    EXPECT_EQ(wrong_.load(), c.wrong);
    EXPECT_EQ(sent(), c.sent);
    EXPECT_EQ(dev_->hash_count.load(), hashed);
}

INSTANTIATE_TEST_SUITE_P(Worker, WrongHashStreakTest, ::testing::ValuesIn(kStreaks),
                         [](const auto& info) { return std::string(info.param.name); });

// No launch while the range cannot hold a whole launch or the pool is not connected; a job of
// an earlier connection is mined but its shares are not sent, those of the next are.
TEST_F(WorkerRunTest, LaunchesOnlyAWholeLaunchOnAConnectionAndSendsOnlyItsOwnShares) {
    start(1, 2);
    const std::pair<PoolJob, bool> idle[] = {
        {job(1, 100, 100), true},  // 1 nonce for a launch of 2
        {job(2, 100, 50), true},   // nonce_end below nonce_start
        {job(3, 0, 1), false},     // a good job, but no connection
    };
    for (const auto& [j, connected] : idle) {
        ASSERT_TRUE(after(0, [&, &j = j, connected = connected] {
            pool_.connected = connected;
            publish(j);
        })) << j.seq;
    }
    EXPECT_EQ(cudasim::launch_count(), 0u);
    ASSERT_TRUE(after(2, [&] {
        pool_.connections = 3;
        pool_.connected = true;
    }));
    EXPECT_EQ(dev_->hash_count.load(), 2u);
    EXPECT_EQ(sent(), 0u);
    ASSERT_TRUE(after(4, [&] { publish(job(4, 100, 101)); }));
    EXPECT_EQ(dev_->hash_count.load(), 4u);
    EXPECT_EQ(finish(), "");
    EXPECT_EQ(sent(), 2u);
    EXPECT_EQ(cudasim::launch_count(), 2u);
}

// The flag is seen only after a launch and all its hits: its shares are sent, and no other
// launch starts, though the range holds one more.
TEST_F(WorkerRunTest, StopDuringALaunchStillSendsItsSharesThenLaunchesNoMore) {
    publish(job(1, 0, 15));
    start(1, 8);
    ASSERT_TRUE(wait([&] { return cudasim::launch_count() >= 1 || returned_.load(); }));
    stop_requested = true;
    worker_.join();
    EXPECT_EQ(dev_->hash_count.load(), 8u);
    EXPECT_EQ(sent(), 8u);  // written before the worker returned
    EXPECT_EQ(cudasim::launch_count(), 1u);
    EXPECT_EQ(stopped_.load(), 0);
}

}  // namespace
}  // namespace tovren::qel
