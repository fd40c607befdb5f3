#include "app/bench_mode.h"

#include <gtest/gtest.h>

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

TEST(BenchTickTest, LinesAtTheirTicksAndTheEnd) {
    const std::string tens = "10: speed 10s 1.00 kH/s\n20: speed 10s 1.00 kH/s\n";
    const struct {
        int seconds;
        size_t gpus;
        std::string lines;
    } cases[] = {
        {60, 1,
         tens + "30: speed 10s 1.00 kH/s\n40: speed 10s 1.00 kH/s\n50: speed 10s 1.00 kH/s\n"
                "55: bench window 20-55 s: 1.00 kH/s\n"
                "60: bench 1 GPU(s): 1.00 kH/s over 60 s\n"},
        // The window and the final line on the same tick.
        {55, 2,
         "10: speed 10s 2.00 kH/s\n20: speed 10s 2.00 kH/s\n30: speed 10s 2.00 kH/s\n"
         "40: speed 10s 2.00 kH/s\n50: speed 10s 2.00 kH/s\n"
         "55: bench window 20-55 s: 2.00 kH/s\n bench 2 GPU(s): 2.00 kH/s over 55 s\n"},
        {30, 1, tens + "30: bench 1 GPU(s): 1.00 kH/s over 30 s\n"},
        {12, 1, "10: speed 10s 1.00 kH/s\n12: bench 1 GPU(s): 1.00 kH/s over 12 s\n"},
        {1, 3, "1: bench 3 GPU(s): 3.00 kH/s over 1 s\n"},
    };
    for (const auto& c : cases) {
        uint64_t end = 0;
        EXPECT_EQ(bench_lines(c.seconds, c.gpus, end), c.lines) << c.seconds;
        EXPECT_EQ(end, static_cast<uint64_t>(c.seconds));
    }
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

}  // namespace
}  // namespace tovren::qel
