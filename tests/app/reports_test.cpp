// The figures the miner reports: rates over windows of one-second samples, the speed line,
// the bench lines and the statistics file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "app/bench_mode.h"
#include "app/console.h"
#include "app/mining_loop.h"
#include "app/rate_window.h"
#include "app/speed_line.h"
#include "app/stats_file.h"
#include "app/stop_signal.h"
#include "capture.h"
#include "progress.h"
#include "sim_gpu.h"
#include "temp_dir.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

// Tick t adds t hashes on GPU 0 and 2t on GPU 1.
RateSamples ramp(uint64_t ticks) {
    RateSamples s(2);
    uint64_t c0 = 0, c1 = 0;
    for (uint64_t t = 1; t <= ticks; ++t) {
        c0 += t;
        c1 += 2 * t;
        s.sample(std::vector<uint64_t>{c0, c1});
    }
    return s;
}

TEST(RateWindowTest, WindowsAverageTheNewestTicksOfTheRing) {
    const struct {
        uint64_t ticks;
        int gpu;  // -1: total_rate
        int window;
        double first, last;  // GPU 0's rate ramps from first to last over the window
    } cases[] = {
        // clang-format off
        {0, 0, 10, 0, 0}, {0, -1, 900, 0, 0},
        // At tick 10 the three windows are equal, at tick 60 the 60 s and 15 min ones.
        {10, 0, 10, 1, 10}, {10, 0, 60, 1, 10}, {10, 0, 900, 1, 10}, {10, -1, 10, 1, 10},
        {60, 0, 10, 51, 60}, {60, 0, 60, 1, 60}, {60, 1, 900, 1, 60},
        {900, 0, 900, 1, 900}, {900, 0, 60, 841, 900},
        // The ring of 901 samples drops the oldest from tick 902 on; a longer window is exact
        // over the whole run, else it takes the ring's 901 samples.
        {902, 0, 900, 3, 902}, {902, 0, 901, 2, 902}, {902, -1, 900, 3, 902},
        {902, 0, 902, 1, 902}, {902, 0, -1, 1, 902}, {902, 0, 2000, 1, 902},
        {1000, 0, 950, 100, 1000},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.ticks << " ticks, GPU " << c.gpu << ", window " << c.window);
        const RateSamples s = ramp(c.ticks);
        const double gpu0 = (c.first + c.last) / 2;
        if (c.gpu < 0)
            EXPECT_DOUBLE_EQ(total_rate(s, c.window), 3 * gpu0);
        else
            EXPECT_DOUBLE_EQ(rate_window_average(s, c.gpu, c.window), (c.gpu + 1) * gpu0);
    }
    EXPECT_EQ(total_rate(RateSamples(0), 10), 0.0);
    EXPECT_EQ(total_rate(ramp(5), 0), 0.0);
}

// A counter that passed 2^64 - 1 between two ticks still gives the hashes of that tick.
TEST(RateWindowTest, CounterDifferencesAreUnsigned) {
    RateSamples s(1);
    s.last_hash_count[0] = UINT64_MAX - 4;
    s.sample(std::vector<uint64_t>{5});
    EXPECT_DOUBLE_EQ(rate_window_average(s, 0, 10), 10.0);
}

TEST(SpeedLineTest, RatesCountsAndEachGpuByOrdinal) {
    EXPECT_EQ(speed_line_message(ramp(100), {0, 3}, 12, 1),
              "10s/60s/15m  286.5 H/s / 211.5 H/s / 151.5 H/s   parts 12/1   "
              "GPU0 70.5 H/s \u00b7 GPU3 141.0 H/s");
    RateSamples s(2);
    uint64_t c0 = 0, c1 = 0;
    for (int t = 1; t <= 60; ++t) {
        c0 += t <= 50 ? 1000 : 3000;  // newest 10: 3000, newest 60: 1333.3
        c1 += 2000000;
        s.sample(std::vector<uint64_t>{c0, c1});
    }
    EXPECT_EQ(speed_line_message(s, {0, 3}, 12, 1),
              "10s/60s/15m  2.003 MH/s / 2.001 MH/s / 2.001 MH/s   parts 12/1   "
              "GPU0 1.33 kH/s \u00b7 GPU3 2.000 MH/s");
    EXPECT_EQ(speed_line_message(RateSamples(1), {0}, 0, 0),
              "10s/60s/15m  0.0 H/s / 0.0 H/s / 0.0 H/s   parts 0/0   GPU0 0.0 H/s");
}

// Bench ticks with each GPU at 100 H/s for four start-up seconds, then 1000 H/s, until the
// bench ends: the lines, each after the tick it was printed at.
std::string bench_lines(int bench_seconds, size_t gpus) {
    RateSamples samples(gpus);
    std::vector<uint64_t> counts(gpus, 0);
    std::string log;
    for (uint64_t tick = 1, done = 0; tick <= 100 && done == 0; ++tick) {
        for (uint64_t& c : counts)
            c += tick <= 4 ? 100 : 1000;
        samples.sample(counts);
        testing::StdoutCapture out;
        done = bench_tick(samples, bench_seconds);
        const std::string text = out.finish();
        log += text.empty() ? "" : std::to_string(tick) + ":" + text;
    }
    return log;
}

TEST(BenchTickTest, TenSecondLinesTheWindowAtTick55AndTheWholeRunAtTheEnd) {
    set_console_colors(false);
    EXPECT_EQ(bench_lines(60, 1),
              "10: speed 10s 640.0 H/s\n20: speed 10s 1.00 kH/s\n30: speed 10s 1.00 kH/s\n"
              "40: speed 10s 1.00 kH/s\n50: speed 10s 1.00 kH/s\n"
              "55: bench window 20-55 s: 1.00 kH/s\n60: bench 1 GPU(s): 940.0 H/s over 60 s\n");
    // The window and the final line on the same tick.
    EXPECT_EQ(bench_lines(55, 2),
              "10: speed 10s 1.28 kH/s\n20: speed 10s 2.00 kH/s\n30: speed 10s 2.00 kH/s\n"
              "40: speed 10s 2.00 kH/s\n50: speed 10s 2.00 kH/s\n"
              "55: bench window 20-55 s: 2.00 kH/s\n bench 2 GPU(s): 1.87 kH/s over 55 s\n");
    EXPECT_EQ(bench_lines(12, 1),
              "10: speed 10s 640.0 H/s\n12: bench 1 GPU(s): 700.0 H/s over 12 s\n");
}

// Each GPU benchmarks its own part of the nonce space, its ordinal in the top byte.
TEST(BenchNonceTest, EachGpuStartsAtItsOrdinalInTheTopByte) {
    const std::pair<int, uint64_t> rows[] = {
        {0, 0}, {1, uint64_t{1} << 56}, {2, uint64_t{1} << 57}, {255, uint64_t{0xFF} << 56}};
    for (const auto& [ordinal, nonce] : rows)
        EXPECT_EQ(bench_start_nonce(ordinal), nonce) << "GPU" << ordinal;
}

// Exactly the JSON object the file holds: numbers as JSON numbers, nothing cut.
bool is_stats_json(const std::string& line) {
    static const std::regex re(
        R"re(\{"hashrate_hs":(0|[1-9][0-9]*)\.[0-9],"gpus":\[((0|[1-9][0-9]*)\.[0-9](,(0|[1-9][0-9]*)\.[0-9])*)?\],"accepted":[0-9]+,"rejected":[0-9]+,"uptime_s":[0-9]+,"version":"v1\.0\.3","algo":"argon2id-qel"\}\n)re");
    return std::regex_match(line, re);
}

TEST(StatsLineTest, WholeJsonForAnyNumberOfGpusAndAnySize) {
    EXPECT_EQ(stats_line(2500.5, {1200.0, 1300.5}, 7, 1, 3600),
              "{\"hashrate_hs\":2500.5,\"gpus\":[1200.0,1300.5],\"accepted\":7,\"rejected\":1,"
              "\"uptime_s\":3600,\"version\":\"v1.0.3\",\"algo\":\"argon2id-qel\"}\n");
    EXPECT_TRUE(is_stats_json(stats_line(0.0, {}, 0, 0, 0)));
    EXPECT_TRUE(is_stats_json(stats_line(1e300, {1e300}, 1, 2, 3)));
    // 24 GPUs at absurd rates, none at all, and the largest counters: far past 511 bytes,
    // never cut.
    std::vector<double> rates(24, 123456789012345.6);
    rates[1] = std::nan("");
    rates[2] = HUGE_VAL;
    const std::string line = stats_line(1e300, rates, UINT64_MAX, UINT64_MAX, UINT64_MAX);
    EXPECT_GT(line.size(), 511u);
    EXPECT_TRUE(is_stats_json(line)) << line;
    EXPECT_NE(line.find("\"accepted\":18446744073709551615,"), std::string::npos);
}

// While it lives, no file of the process may grow past room bytes: a write that would fails as
// on a full disk, and one that straddles the limit is cut short.
class FullDisk {
  public:
    explicit FullDisk(rlim_t room) {
        previous_action_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_limit_);
        rlimit limited = previous_limit_;
        limited.rlim_cur = room;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    ~FullDisk() {
        setrlimit(RLIMIT_FSIZE, &previous_limit_);
        std::signal(SIGXFSZ, previous_action_);
    }

  private:
    rlimit previous_limit_{};
    void (*previous_action_)(int) = SIG_DFL;
};

// The file is written as .tmp and renamed over the old one, so a reader sees one or the other
// whole. A file that cannot be opened, a directory in the way of the rename and a full disk,
// whether the first write fails or one is cut short: false, with the previous file whole and no
// .tmp file left behind.
TEST(StatsFileTest, WrittenWholeOrNotAtAll) {
    const testing::TempDir dir;
    EXPECT_FALSE(write_stats_file(dir.file("missing/stats.json"), "{}\n"));
    const std::string busy = dir.file("busy");
    ASSERT_EQ(mkdir(busy.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((busy + "/x").c_str(), 0700), 0);
    EXPECT_FALSE(write_stats_file(busy, "{}\n"));
    EXPECT_NE(access((busy + ".tmp").c_str(), F_OK), 0);
    const std::string path = dir.file("stats.json");
    ASSERT_TRUE(write_stats_file(path, "{}\n"));
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);  // moved, not copied
    for (const rlim_t room : {0, 5}) {
        SCOPED_TRACE(room);
        {
            const FullDisk full(room);
            EXPECT_FALSE(write_stats_file(path, "{\"uptime_s\":1}\n"));
        }
        EXPECT_EQ(testing::read_file(path), "{}\n");
        EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
    }
}

TEST(StatsFileTest, ReaderNeverSeesAPartialFileAndTheLastLineStaysWhole) {
    const testing::TempDir dir;
    const std::string path = dir.file("stats.json");
    ASSERT_TRUE(write_stats_file(path, stats_line(0.0, {0.0, 0.0}, 0, 0, 0)));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0}, reads{0};
    std::thread reader([&] {
        while (!done) {
            bad += !is_stats_json(testing::read_file(path));
            reads++;
        }
    });
    // Lines of changing length, so a rewrite in place would show torn or stale tails.
    std::string last;
    for (uint64_t i = 0; i < 500; ++i) {
        const std::vector<double> rates(1 + i % 40, static_cast<double>(i * 977));
        last = stats_line(static_cast<double>(i), rates, i, i / 3, i);
        EXPECT_TRUE(write_stats_file(path, last));
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(testing::read_file(path), last);
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
}

// The loop's one-second sleep ends only when the test ends that second, so the test knows
// what every tick samples; the workers' waits take a millisecond. The clock reads the seconds
// ended so far.
class StepClock final : public Clock {
  public:
    int64_t now_ns() override { return ended_.load() * kNanosPerSecond; }
    void sleep_ns(int64_t ns) override {
        if (ns < kNanosPerSecond) {
            monotonic_clock().sleep_ns(1000000);
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        ++asleep_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_ || ended_.load() >= asleep_; });
    }
    // Ends the second the loop sleeps in and waits until the loop has done that tick and
    // sleeps again. False when the loop does not get there: at once when it has ended.
    bool tick(const std::function<bool()>& ended) {
        // A tick takes the loop microseconds and has no steps to watch.
        const testing::Watch sleeping{[this] { return asleep(); }, [] { return 0; }, ended};
        if (!testing::wait_for(sleeping))
            return false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_.fetch_add(1);
            changed_.notify_all();
        }
        return testing::wait_for(sleeping);
    }
    // Sleeps of a second the loop has begun.
    int64_t sleeps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return asleep_;
    }
    // From now on the loop's seconds end at once.
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

  private:
    // Whether the loop sleeps in a second not yet ended: waits a little for it, woken as soon
    // as the loop begins a sleep.
    bool asleep() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(5),
                                 [&] { return asleep_ > ended_.load(); });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int64_t asleep_ = 0;  // sleeps the loop has begun
    bool open_ = false;
    std::atomic<int64_t> ended_{0};
};

std::string stats_json(const char* hashrate, const char* gpus, int uptime) {
    return std::string("{\"hashrate_hs\":") + hashrate + ",\"gpus\":[" + gpus +
           "],\"accepted\":0,\"rejected\":0,\"uptime_s\":" + std::to_string(uptime) +
           ",\"version\":\"v1.0.3\",\"algo\":\"argon2id-qel\"}\n";
}

// The mining loop of two simulated GPUs on the test's clock, writing its statistics file into
// a private folder. The pool's job has no nonce to hand out, so the GPUs hash nothing
// themselves. However the test ends, the loop ends too.
class StatsReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        set_console_colors(false);
        stop_requested = false;
        ASSERT_TRUE(pool_.listening());
        testing::PoolTestJob job;
        job.nonce_start = 10;
        job.nonce_end = 9;
        pool_.set_job(job);
        settings_.pool_endpoint = "127.0.0.1:" + std::to_string(pool_.port());
        settings_.address = "qel1useraddress";
        settings_.worker = "rig7";
        settings_.stats_file = dir_.file("stats.json");
        testing::reset_sim_gpus(2);
        devices_.push_back(testing::sim_device(0, 1, 1));
        devices_.push_back(testing::sim_device(1, 1, 1));
    }
    void TearDown() override {
        stop_requested = true;
        clock_.open();
        // A loop stuck opening a FIFO for writing goes on once the FIFO has a reader.
        const int reader =
            stuck_fifo_.empty() ? -1 : open(stuck_fifo_.c_str(), O_RDONLY | O_NONBLOCK);
        if (run_.valid())
            run_.wait();
        if (reader >= 0)
            close(reader);
        stop_requested = false;
    }

    void start() {
        run_ = std::async(std::launch::async,
                          [this] { return run_mining_loop(settings_, devices_, clock_); });
    }
    bool ended() { return run_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
    bool tick() {
        return clock_.tick([this] { return ended(); });
    }

    testing::TestPool pool_;
    const testing::TempDir dir_;
    Settings settings_;
    GpuDeviceList devices_;
    StepClock clock_;
    std::future<int> run_;
    std::string stuck_fifo_;  // a FIFO that the loop may be stuck opening, if any
};

// GPU0 does 6000 hashes a tick up to tick 10, then 600, then 1200 from tick 61 on; GPU1 1300
// up to tick 40, then 1301. The file holds the 60-tick averages, written at every tenth tick.
TEST_F(StatsReportTest, FileHoldsTheSixtySecondRatesRewrittenEveryTenTicks) {
    const std::pair<int, std::string> files[] = {
        {9, ""},
        {10, stats_json("7300.0", "6000.0,1300.0", 10)},
        {19, stats_json("7300.0", "6000.0,1300.0", 10)},
        {20, stats_json("4600.0", "3300.0,1300.0", 20)},
        {60, stats_json("2800.3", "1500.0,1300.3", 60)},
        // 10 ticks: 2501, 60 ticks: 2000.5, all 70: 2757.6.
        {70, stats_json("2000.5", "700.0,1300.5", 70)},
    };
    testing::StdoutCapture out;
    start();
    for (int tick = 1; tick <= 70; ++tick) {
        devices_[0]->hash_count += tick <= 10 ? 6000 : tick <= 60 ? 600 : 1200;
        devices_[1]->hash_count += tick <= 40 ? 1300 : 1301;
        ASSERT_TRUE(this->tick()) << tick;
        for (const auto& [at, text] : files) {
            if (at == tick) {
                EXPECT_EQ(testing::read_file(settings_.stats_file), text) << tick;
            }
        }
    }
    stop_requested = true;
    const int64_t sleeps = clock_.sleeps();
    clock_.open();
    // The loop sees the request when its sleep ends; one that sleeps on, its seconds now
    // passing at once, never ends.
    ASSERT_TRUE(testing::wait_for({[this] { return ended(); }, [] { return 0; },
                                   [&] { return clock_.sleeps() > sleeps + 1; }}));
    EXPECT_EQ(run_.get(), 0);
    const std::string text = out.finish();
    for (const char* line : {" speed 10s/60s/15m  7.30 kH/s / 7.30 kH/s / 7.30 kH/s   parts 0/0   "
                             "GPU0 6.00 kH/s \u00b7 GPU1 1.30 kH/s\n",
                             " speed 10s/60s/15m  2.50 kH/s / 2.00 kH/s / 2.76 kH/s   parts 0/0   "
                             "GPU0 700.0 H/s \u00b7 GPU1 1.30 kH/s\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

// The miner's own handling of SIGINT, SIGTERM and SIGPIPE while it lives; the test binary's
// own after.
class MinersSignals {
  public:
    MinersSignals() {
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], nullptr, &saved_[i]);
        install_stop_signals();
    }
    ~MinersSignals() {
        for (size_t i = 0; i < std::size(kSignals); ++i)
            sigaction(kSignals[i], &saved_[i], nullptr);
    }

  private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGPIPE};
    struct sigaction saved_[std::size(kSignals)]{};
};

// The statistics file often lives in a folder that other users can write to, while the miner
// runs as root. Whatever such a user leaves at the temporary name before a write is neither
// written through nor waited on: the file is written, the loop ticks on, and SIGINT stops it.
TEST_F(StatsReportTest, LinkOrFifoAtTheTemporaryNameIsNeitherFollowedNorWaitedOn) {
    enum Kind { LinkToFile, LinkToFifo, Fifo };
    const struct {
        const char* name;
        Kind kind;
    } cases[] = {
        {"symlink to another file", LinkToFile},
        {"symlink to a FIFO", LinkToFifo},
        {"FIFO", Fifo},
    };
    const std::string tmp = settings_.stats_file + ".tmp";
    const std::string victim = dir_.file("victim.txt");
    const std::string fifo = dir_.file("victim.fifo");
    std::ofstream(victim) << "precious\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto plant = [&](Kind kind) {
        switch (kind) {
            case LinkToFile:
                return symlink(victim.c_str(), tmp.c_str()) == 0;
            case LinkToFifo:
                return symlink(fifo.c_str(), tmp.c_str()) == 0;
            case Fifo:
                return mkfifo(tmp.c_str(), 0600) == 0;
        }
        return false;
    };
    const MinersSignals signals;
    start();
    for (int tick = 1; tick <= 10 * static_cast<int>(std::size(cases)); ++tick) {
        const auto& c = cases[(tick - 1) / 10];
        SCOPED_TRACE(c.name);
        if (tick % 10 == 1) {
            ASSERT_TRUE(plant(c.kind));
            stuck_fifo_ = c.kind == LinkToFile ? "" : c.kind == Fifo ? tmp : fifo;
        }
        ASSERT_TRUE(this->tick()) << tick;
        if (tick % 10 == 0) {
            struct stat st {};
            ASSERT_EQ(lstat(settings_.stats_file.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(testing::read_file(settings_.stats_file), stats_json("0.0", "0.0,0.0", tick));
            EXPECT_NE(access(tmp.c_str(), F_OK), 0);
            EXPECT_EQ(testing::read_file(victim), "precious\n");
        }
    }
    ASSERT_EQ(kill(getpid(), SIGINT), 0);
    ASSERT_TRUE(testing::wait_for({[] { return stop_requested.load(); }, [] { return 0; }}));
    clock_.open();
    ASSERT_TRUE(testing::wait_for({[this] { return ended(); }, [] { return 0; }}));
    EXPECT_EQ(run_.get(), 0);
}

}  // namespace
}  // namespace tovren::qel
