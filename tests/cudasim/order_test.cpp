// The order in which the threads of a block released together take their turns: its text
// form, its effect on a kernel that lost a barrier (the last writer of a shared word wins),
// and what it says on standard error so that a failing run can be replayed.
#include <set>

#include "sample_kernel.h"
#include "sim_test.h"

namespace cudasim_test {
namespace {

using cudasim::LaneOrder;

// A malformed text leaves the order alone and says why.
TEST(LaneOrderText, ReadsEachOrderAndRefusesTheRest) {
    const struct {
        const char* text;
        bool ok;
        LaneOrder want;
    } rows[] = {
        {"ascending", true, {}},
        {" descending\t", true, {LaneOrder::descending, 0}},
        {"random:0", true, {LaneOrder::random, 0}},
        {"random : 42 ", true, {LaneOrder::random, 42}},
        {"random:9999999999999999999", true, {LaneOrder::random, 9999999999999999999ull}},
        // Every seed the replay line can print reads back, and nothing past the largest.
        {"random:10000000000000000000", true, {LaneOrder::random, 10000000000000000000ull}},
        {"random:18446744073709551615", true, {LaneOrder::random, UINT64_MAX}},
        {"random:000000000000000000000042", true, {LaneOrder::random, 42}},
        {"random:18446744073709551616", false, {}},
        {"random:99999999999999999999", false, {}},
        {"", false, {}},
        {"Ascending", false, {}},
        {"random", false, {}},
        {"random:", false, {}},
        {"random:-1", false, {}},
        {"random:0x10", false, {}},
        {"random:1:2", false, {}},
        {"descending:3", false, {}},
    };
    for (const auto& r : rows) {
        LaneOrder order{LaneOrder::descending, 99};
        std::string err;
        EXPECT_EQ(cudasim::parse_lane_order(r.text, order, err), r.ok) << '"' << r.text << '"';
        EXPECT_EQ(err.empty(), r.ok) << r.text << ": " << err;
        const LaneOrder want = r.ok ? r.want : LaneOrder{LaneOrder::descending, 99};
        EXPECT_TRUE(order.kind == want.kind && order.seed == want.seed) << r.text;
    }
}

using Order = SimTest;

constexpr unsigned kRounds = 16;

// The last writer of every round of each block of k_last_writer, round by round.
std::vector<unsigned> last_writers(int kind, unsigned blocks, unsigned threads) {
    unsigned* out = device_array<unsigned>(blocks * kRounds, 0xff);
    EXPECT_EQ(launch(nullptr, k_last_writer, blocks, threads, kind, kRounds, out), cudaSuccess);
    return read(out, blocks * kRounds);
}

// Set either way; an unset row after a set one shows that a reset brings back the default.
TEST_F(Order, AFixedOrderLetsTheSameThreadWriteLastEveryRound) {
    const struct {
        Settings settings;
        bool api;
        int kind;
        unsigned threads, last;
    } rows[] = {
        {{nullptr, nullptr, nullptr, nullptr, "descending"}, false, kWarpBarrier, 32, 0},
        {{}, false, kWarpBarrier, 32, 31},
        {{nullptr, nullptr, nullptr, "4", "descending"}, true, kBlockBarrier, 96, 0},
        {{nullptr, nullptr, nullptr, "4", "ascending"}, false, kBlockBarrier, 96, 95},
    };
    for (const auto& r : rows) {
        ::testing::internal::CaptureStderr();
        apply(r.settings, r.api);
        ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(last_writers(r.kind, 3, r.threads), std::vector<unsigned>(3 * kRounds, r.last))
            << (r.settings.order ? r.settings.order : "unset") << (r.api ? " (api)" : "");
    }
}

// Each seed shuffles every release anew, each block its own way, and gives the same results
// whether set in the environment or by the program and whichever OS threads run the blocks.
TEST_F(Order, ARandomOrderDependsOnItsSeedAndTheBlockAlone) {
    const unsigned blocks = 4;
    for (auto [kind, threads] : {std::pair{kWarpBarrier, 32u}, std::pair{kBlockBarrier, 96u}}) {
        std::set<std::vector<unsigned>> seen;
        for (const char* order : {"random:1", "random:2", "random:3", "random:4"}) {
            std::vector<std::vector<unsigned>> runs;
            for (auto [os_threads, api] : {std::pair{"1", false}, std::pair{"4", true}}) {
                ::testing::internal::CaptureStderr();
                apply({nullptr, nullptr, nullptr, os_threads, order}, api);
                ::testing::internal::GetCapturedStderr();
                runs.push_back(last_writers(kind, blocks, threads));
            }
            ASSERT_EQ(runs[0], runs[1]) << order << ", " << threads << " threads";
            const std::vector<unsigned>& got = runs[0];
            const std::set<unsigned> winners(got.begin(), got.end());
            EXPECT_GT(winners.size(), kRounds / 2) << order << ": the same few threads win";
            EXPECT_LT(*winners.rbegin(), threads) << order;
            std::set<std::vector<unsigned>> per_block;
            for (unsigned b = 0; b < blocks; ++b)
                per_block.emplace(got.begin() + b * kRounds, got.begin() + (b + 1) * kRounds);
            EXPECT_EQ(per_block.size(), blocks) << order << ": blocks share a schedule";
            seen.insert(got);
        }
        EXPECT_EQ(seen.size(), 4u) << "seeds share a schedule, " << threads << " threads";
    }
}

// Once per change to an order other than the default, whether it came from the environment
// or the program: a failing test's output then holds the setting that replays it.
TEST_F(Order, TakingUpAnOrderSaysHowToReplayIt) {
    const char* descending = "in descending order; replay with CUDASIM_ORDER=descending\n";
    const char* random7 = "in random order (seed 7); replay with CUDASIM_ORDER=random:7\n";
    const struct {
        const char* order;
        bool api;
        const char* said;
    } steps[] = {
        {"descending", false, descending}, {"descending", false, ""}, {"random:7", true, random7},
        {"random:7", false, ""},           {"ascending", false, ""},  {nullptr, true, ""},
        {"random:7", true, random7},
    };
    for (const auto& s : steps) {
        ::testing::internal::CaptureStderr();
        apply({nullptr, nullptr, nullptr, nullptr, s.order}, s.api);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(*s.said
                        ? err.rfind("cudasim: ", 0) == 0 && err.find(s.said) != std::string::npos
                        : err.empty())
            << (s.order ? s.order : "unset") << (s.api ? " (api)" : "") << ": " << err;
    }
}

}  // namespace
}  // namespace cudasim_test
