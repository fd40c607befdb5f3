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
#include <regex>

#include "app/console.h"
#include "app/share_target.h"
#include "app/stop_signal.h"
#include "app/tuning.h"
#include "capture.h"
#include "sim_gpu.h"

namespace tovren::qel {
namespace {

constexpr uint64_t kMax = UINT64_MAX;
constexpr uint64_t kHalf = uint64_t{1} << 63;
// What of a job differs from the first one, besides its range (a bit set).
constexpr int kId = 1, kHeader = 2, kTarget = 4, kAll = kId | kHeader | kTarget;

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
        uint64_t launches;  // that passed validation
        std::string line;
    } cases[] = {
        // One launch, with no warm-up.
        {1, 2, 4, nullptr, 0, 1, 1,
         " tune  GPU1: 1 hashes in flight (8 MB), {rate} (set by --hashes)"},
// 320 simulated hashes, too slow when instrumented: the choice among the candidates is
// tested above in every build.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // Only the first candidate, 5, fits; a warm-up and a measured launch.
        {0, 2, 5, nullptr, 0, 5, 2,
         " tune  GPU1: 5 hashes in flight (40 MB), {rate} (measured, override with --hashes <n>)"},
        // The measuring launch after a warm-up of 32 hashes.
        {0, 0, 4, "cudaLaunchKernel", 2, 0, 1, " tune  GPU1: kernel launch: unknown error"},
#endif
        {-3, 28, 4, nullptr, 0, 0, 0, " tune  GPU1: not enough GPU memory"},  // 70 for 4 slots
        {4, 0, 4, "cudaMemcpyAsync", 1, 0, 0, " gpu   job copy: unknown error"},
        {0, 0, 4, "cudaMemcpyAsync", 1, 0, 0, " tune  GPU1: job copy: unknown error"},
        {4, 0, 4, "cudaLaunchKernel", 1, 0, 0, " gpu   kernel launch: unknown error"},
        {0, 0, 4, "cudaLaunchKernel", 1, 0, 0, " tune  GPU1: kernel launch: unknown error"},
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

// The launch that --hashes times hashes 8 nonces from 2^50: its one block's slice of the
// arena then holds the memory of nonce 2^50 + 7, as one launch of that nonce alone leaves it.
TEST(TuneGpuTest, HashesOptionTimesEightNoncesFromTwoToTheFifty) {
    set_console_colors(false);
    testing::reset_sim_gpus(1);
    const std::unique_ptr<GpuDevice> dev = testing::sim_device(0, 0, 0, 1);
    testing::StdoutCapture out;
    ASSERT_TRUE(tune_gpu(*dev, 1));
    out.finish();
    const std::vector<uint64_t> tuned(dev->ctx->arena, dev->ctx->arena + kSliceBytes / 8);
    const uint64_t first = uint64_t{1} << 50;
    std::vector<DHit> hits;
    std::string err;
    for (const auto& [nonce, same] : {std::pair{first + 6, false}, std::pair{first + 7, true}}) {
        ASSERT_TRUE(dev->ctx->run_range(1, 1, nonce, hits, nullptr, err)) << err;
        EXPECT_EQ(std::equal(tuned.begin(), tuned.end(), dev->ctx->arena), same) << nonce;
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

constexpr size_t kSome = SIZE_MAX;  // the other hits of the launch: at least one

struct WorkerCase {
    const char* name;
    int per_launch;   // nonces per launch, with one hash in flight
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
};

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
     8, kSome, 0, ""},
    {"NineWrongHashesAShareNineMoreGoesOn", 10, 20, 2, 0xFF, corrupt_hits(9), nullptr, 20, 2, 18,
     ""},
    {"FailedJobUploadStops", 1, 1, 2, 0xFF, {}, "cudaMemcpyAsync", 0, 0, 0,
     " gpu   job copy: .+\n"},
    {"FailedLaunchStops", 1, 1, 2, 0xFF, {}, "cudaLaunchKernel", 0, 0, 0,
     " gpu   GPU0: kernel launch: .+\n"},
    // clang-format on
};

class GpuWorkerTest : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(GpuWorkerTest, Mines) {
    const WorkerCase& c = GetParam();
    const int stops = c.failing_call != nullptr ? 1 : 0;
    set_console_colors(false);
    testing::reset_sim_gpus(1);
    cudasim::set_corrupt_rules(c.corrupt);
    if (stops != 0)
        cudasim::set_fail_rules({{c.failing_call, -1, 1, false, cudaErrorUnknown}});
    const std::unique_ptr<GpuDevice> dev = testing::sim_device(0, 1, c.per_launch);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    Pool pool;
    pool.fd = pair[0];
    pool.connected = c.conn != 0;
    pool.connections = 2;
    pool.job_seq = 1;
    PoolJob& job = pool.job;
    job.seq = 1;
    job.conn_gen = c.conn;
    std::fill(job.target, job.target + 32, 0xFF);
    job.target[0] = c.target;
    job.nonce_end = c.nonces - 1;
    job.valid = true;

    int bench_seconds = 0;
    std::atomic<int> stopped{0};
    NonceAllocator nonces;
    std::atomic<uint64_t> wrong{0};
    testing::TestClock clock(200, 0);  // a 200 ms wait takes 1 ms
    testing::StdoutCapture out;
    std::thread worker(
        gpu_worker, WorkerClosure{dev.get(), bench_seconds, stopped, pool, nonces, wrong, clock});
    // Done when it has given up, or hashed what it will and waited since.
    EXPECT_TRUE(testing::eventually([&] {
        return stopped.load() != 0 || (dev->hash_count.load() == c.hashed && clock.sleeps() >= 2);
    }));
    stop_requested = true;
    worker.join();
    stop_requested = false;

    size_t sent = 0;
    char buf[4096];
    for (ssize_t got; (got = recv(pair[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        sent += static_cast<size_t>(std::count(buf, buf + got, '\n'));
    pool.fd = -1;
    close(pair[0]);
    close(pair[1]);
    EXPECT_TRUE(c.sent == kSome ? sent >= 1 : sent == c.sent) << sent;
    EXPECT_EQ(wrong.load(), c.wrong);
    EXPECT_EQ(stopped.load(), stops);
    std::string pattern = c.out;
    for (uint64_t i = 0; i < c.wrong; ++i)
        pattern += " gpu   GPU0 returned a wrong hash: share NOT sent \\(" + std::to_string(i + 1) +
                   " so far; check the card's clocks\\)\n";
    const std::string text = out.finish();
    EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << text;
}

INSTANTIATE_TEST_SUITE_P(Worker, GpuWorkerTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovren::qel
