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

TEST(RateWindowTest, WindowsAverageTheNewestTicksOfTheRing) {
    const struct {
        uint64_t ticks;
        int gpu;  // -1: total_rate
        int window;
        double first, last;  // GPU 0's rate ramps from first to last over the window
    } cases[] = {
        {0, 0, 10, 0, 0},  // no tick, no rate
        {0, -1, 900, 0, 0},
        {10, 0, 10, 1, 10},
        {10, 0, 60, 1, 10},  // the windows are equal at tick 10
        {10, 0, 900, 1, 10},
        {10, -1, 10, 1, 10},
        {60, 0, 10, 51, 60},
        {60, 0, 60, 1, 60},
        {60, 1, 900, 1, 60},
        {900, 0, 900, 1, 900},
        {900, 0, 60, 841, 900},
        // The ring of 901 samples drops the oldest from tick 902 on.
        {902, 0, 900, 3, 902},
        {902, 0, 901, 2, 902},
        {902, -1, 900, 3, 902},
        // Longer than the ring: exact over the whole run, else the ring's 901 samples.
        {902, 0, 902, 1, 902},
        {902, 0, -1, 1, 902},
        {902, 0, 2000, 1, 902},
        {1000, 0, 950, 100, 1000},
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
