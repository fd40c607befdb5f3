#include "app/bench_mode.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "app/console.h"
#include "capture.h"

namespace tovren::qel {
namespace {

// Runs the bench loop's ticks over a steady 1000 H/s per GPU; returns the lines with the
// tick each was printed at, and the tick at which the bench ended (0 if it did not).
std::string bench_lines(int bench_seconds, size_t gpus, uint64_t& end_tick) {
    set_console_colors(false);
    RateSamples samples(gpus);
    std::vector<uint64_t> counts(gpus, 0);
    std::ostringstream log;
    end_tick = 0;
    for (uint64_t tick = 1; tick <= 100 && end_tick == 0; ++tick) {
        for (uint64_t& c : counts)
            c += 1000;
        samples.sample(counts);
        testing::StdoutCapture out;
        if (bench_tick(samples, bench_seconds))
            end_tick = tick;
        const std::string text = out.finish();
        if (!text.empty())
            log << tick << ":" << text;
    }
    return log.str();
}

TEST(BenchTickTest, SixtySecondsSchedule) {
    uint64_t end = 0;
    EXPECT_EQ(bench_lines(60, 1, end),
              "10: speed 10s 1.00 kH/s\n"
              "20: speed 10s 1.00 kH/s\n"
              "30: speed 10s 1.00 kH/s\n"
              "40: speed 10s 1.00 kH/s\n"
              "50: speed 10s 1.00 kH/s\n"
              "55: bench window 20-55 s: 1.00 kH/s\n"
              "60: bench 1 GPU(s): 1.00 kH/s over 60 s\n");
    EXPECT_EQ(end, 60u);
}

TEST(BenchTickTest, ShortBenches) {
    uint64_t end = 0;
    EXPECT_EQ(bench_lines(55, 2, end),
              "10: speed 10s 2.00 kH/s\n20: speed 10s 2.00 kH/s\n30: speed 10s 2.00 kH/s\n"
              "40: speed 10s 2.00 kH/s\n50: speed 10s 2.00 kH/s\n"
              "55: bench window 20-55 s: 2.00 kH/s\n"
              " bench 2 GPU(s): 2.00 kH/s over 55 s\n");
    EXPECT_EQ(end, 55u);
    EXPECT_EQ(bench_lines(30, 1, end),
              "10: speed 10s 1.00 kH/s\n20: speed 10s 1.00 kH/s\n"
              "30: bench 1 GPU(s): 1.00 kH/s over 30 s\n");
    EXPECT_EQ(bench_lines(12, 1, end),
              "10: speed 10s 1.00 kH/s\n12: bench 1 GPU(s): 1.00 kH/s over 12 s\n");
    EXPECT_EQ(bench_lines(1, 3, end), "1: bench 3 GPU(s): 3.00 kH/s over 1 s\n");
    EXPECT_EQ(end, 1u);
}

TEST(BenchTickTest, FinalRateAveragesTheWholeRun) {
    set_console_colors(false);
    RateSamples samples(1);
    uint64_t c = 0;
    for (int tick = 1; tick < 5; ++tick) {
        c += 100;  // slow start-up seconds count in the final figure
        samples.sample(std::vector<uint64_t>{c});
        EXPECT_FALSE(bench_tick(samples, 5));
    }
    c += 600;
    samples.sample(std::vector<uint64_t>{c});
    testing::StdoutCapture out;
    EXPECT_TRUE(bench_tick(samples, 5));
    EXPECT_EQ(out.finish(), " bench 1 GPU(s): 200.0 H/s over 5 s\n");
}

TEST(BenchJobTest, EachGpuHasItsOwnHeaderAndNonces) {
    std::mt19937_64 seven(7);
    const std::array<uint8_t, 112> h0 = bench_header(0);
    for (uint8_t byte : h0) {
        EXPECT_EQ(byte, static_cast<uint8_t>(seven()));
    }
    std::mt19937_64 eight(8);
    EXPECT_EQ(bench_header(1)[0], static_cast<uint8_t>(eight()));
    EXPECT_EQ(bench_start_nonce(0), 0u);
    EXPECT_EQ(bench_start_nonce(1), uint64_t{1} << 56);
    EXPECT_EQ(bench_start_nonce(2), uint64_t{1} << 57);
}

}  // namespace
}  // namespace tovren::qel
