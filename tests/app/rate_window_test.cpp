#include "app/rate_window.h"

#include <gtest/gtest.h>

#include "app/console.h"
#include "app/speed_line.h"

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

// The mean of a..b.
double mean(double a, double b) {
    return (a + b) / 2;
}

TEST(RateWindowTest, NoTickNoRate) {
    RateSamples s(2);
    EXPECT_EQ(rate_window_average(s, 0, 10), 0.0);
    EXPECT_EQ(total_rate(s, 900), 0.0);
    EXPECT_EQ(total_rate(RateSamples(0), 10), 0.0);
    EXPECT_EQ(total_rate(ramp(5), 0), 0.0);
}

TEST(RateWindowTest, WindowsCoverTheNewestTicks) {
    const RateSamples s10 = ramp(10);
    EXPECT_DOUBLE_EQ(rate_window_average(s10, 0, 10), mean(1, 10));
    EXPECT_DOUBLE_EQ(rate_window_average(s10, 0, 60), mean(1, 10));  // equal at tick 10
    EXPECT_DOUBLE_EQ(rate_window_average(s10, 0, 900), mean(1, 10));
    EXPECT_DOUBLE_EQ(total_rate(s10, 10), 3 * mean(1, 10));

    const RateSamples s60 = ramp(60);
    EXPECT_DOUBLE_EQ(rate_window_average(s60, 0, 10), mean(51, 60));
    EXPECT_DOUBLE_EQ(rate_window_average(s60, 0, 60), mean(1, 60));
    EXPECT_DOUBLE_EQ(rate_window_average(s60, 1, 900), 2 * mean(1, 60));

    const RateSamples s900 = ramp(900);
    EXPECT_DOUBLE_EQ(rate_window_average(s900, 0, 900), mean(1, 900));
    EXPECT_DOUBLE_EQ(rate_window_average(s900, 0, 60), mean(841, 900));
}

TEST(RateWindowTest, RingDropsTheOldestSampleFromTick902) {
    const RateSamples s = ramp(902);
    EXPECT_DOUBLE_EQ(rate_window_average(s, 0, 900), mean(3, 902));
    EXPECT_DOUBLE_EQ(rate_window_average(s, 0, 901), mean(2, 902));
    EXPECT_DOUBLE_EQ(total_rate(s, 900), 3 * mean(3, 902));
    // Longer than the ring: exact over the whole run, else the ring's 901 samples.
    EXPECT_DOUBLE_EQ(rate_window_average(s, 0, 902), mean(1, 902));
    EXPECT_DOUBLE_EQ(rate_window_average(s, 0, -1), mean(1, 902));
    EXPECT_DOUBLE_EQ(rate_window_average(s, 0, 2000), mean(1, 902));
    EXPECT_DOUBLE_EQ(rate_window_average(ramp(1000), 0, 950), mean(100, 1000));
}

TEST(RateWindowTest, CounterDifferencesAreUnsigned) {
    RateSamples s(1);
    s.last_hash_count[0] = UINT64_MAX - 4;
    s.sample(std::vector<uint64_t>{5});
    EXPECT_DOUBLE_EQ(rate_window_average(s, 0, 10), 10.0);
}

TEST(SpeedLineTest, RatesCountsAndEachGpuByOrdinal) {
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

}  // namespace
}  // namespace tovren::qel
