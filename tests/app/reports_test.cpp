// The figures the miner reports: rates over windows of one-second samples, the speed line,
// the bench lines and the statistics file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <regex>

#include "app/bench_mode.h"
#include "app/console.h"
#include "app/rate_window.h"
#include "app/speed_line.h"
#include "app/stats_file.h"
#include "capture.h"
#include "temp_dir.h"

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
        {0, -1, 900, 0, 0}, {10, 0, 60, 1, 10}, {10, -1, 10, 1, 10}, {60, 0, 10, 51, 60},
        {60, 1, 900, 1, 60},
        // The ring of 901 samples drops the oldest from tick 902 on; a longer window is exact
        // over the whole run, else it takes the ring's 901 samples.
        {902, 0, 900, 3, 902}, {902, 0, 901, 2, 902}, {902, 0, 902, 1, 902}, {902, 0, -1, 1, 902},
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

TEST(SpeedLineTest, RatesCountsAndEachGpuByOrdinal) {
    EXPECT_EQ(speed_line_message(ramp(100), {0, 3}, 12, 1),
              "10s/60s/15m  286.5 H/s / 211.5 H/s / 151.5 H/s   parts 12/1   "
              "GPU0 70.5 H/s \u00b7 GPU3 141.0 H/s");
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

// The file is written as .tmp and renamed over the old one, so a reader sees one or the other
// whole. A file that cannot be opened, a directory in the way of the rename and a full disk:
// false, with the previous file whole and no .tmp file left behind.
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
    ASSERT_EQ(symlink("/dev/full", (path + ".tmp").c_str()), 0);
    EXPECT_FALSE(write_stats_file(path, "{\"uptime_s\":1}\n"));
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{}\n");
    EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tovren::qel
