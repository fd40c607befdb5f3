#include "app/stats_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace tovren::qel {
namespace {

// Exactly the JSON object the file holds: numbers as JSON numbers, nothing cut.
bool is_stats_json(const std::string& line) {
    static const std::regex re(
        R"re(\{"hashrate_hs":(0|[1-9][0-9]*)\.[0-9],"gpus":\[((0|[1-9][0-9]*)\.[0-9](,(0|[1-9][0-9]*)\.[0-9])*)?\],"accepted":[0-9]+,"rejected":[0-9]+,"uptime_s":[0-9]+,"version":"v1\.0\.3","algo":"argon2id-qel"\}\n)re");
    return std::regex_match(line, re);
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(StatsLineTest, WholeJsonForAnyNumberOfGpusAndAnySize) {
    EXPECT_EQ(stats_line(2500.5, {1200.0, 1300.5}, 7, 1, 3600),
              "{\"hashrate_hs\":2500.5,\"gpus\":[1200.0,1300.5],\"accepted\":7,\"rejected\":1,"
              "\"uptime_s\":3600,\"version\":\"v1.0.3\",\"algo\":\"argon2id-qel\"}\n");
    EXPECT_TRUE(is_stats_json(stats_line(0.0, {}, 0, 0, 0)));
    EXPECT_TRUE(is_stats_json(stats_line(1e300, {1e300}, 1, 2, 3)));
    // 24 GPUs at absurd rates and the largest counters: far past 511 bytes, never cut.
    const std::string line =
        stats_line(24 * 123456789012345.6, std::vector<double>(24, 123456789012345.6), UINT64_MAX,
                   UINT64_MAX, UINT64_MAX);
    EXPECT_GT(line.size(), 511u);
    EXPECT_TRUE(is_stats_json(line)) << line;
    EXPECT_NE(line.find("\"accepted\":18446744073709551615,"), std::string::npos);
}

class StatsFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qel_stats_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/stats.json";
    }
    void TearDown() override {
        std::remove(path_.c_str());
        std::remove((path_ + ".tmp").c_str());
        rmdir(dir_.c_str());
    }
    std::string dir_;
    std::string path_;
};

TEST_F(StatsFileTest, ReaderNeverSeesAPartialFileAndTheLastLineStaysWhole) {
    ASSERT_TRUE(write_stats_file(path_, stats_line(0.0, {0.0, 0.0}, 0, 0, 0)));
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done) {
            bad += !is_stats_json(read_all(path_));
            reads++;
        }
    });
    // Lines of changing length, so a rewrite in place would show torn or stale tails.
    std::string last;
    for (uint64_t i = 0; i < 2000; ++i) {
        const std::vector<double> rates(1 + i % 40, static_cast<double>(i * 977));
        last = stats_line(static_cast<double>(i), rates, i, i / 3, i);
        EXPECT_TRUE(write_stats_file(path_, last));
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(read_all(path_), last);
    EXPECT_NE(access((path_ + ".tmp").c_str(), F_OK), 0);  // moved, not left behind
}

TEST_F(StatsFileTest, UnwritablePathIsSkipped) {
    EXPECT_FALSE(write_stats_file(dir_ + "/missing/stats.json", "{}\n"));
    // A directory in the way of the rename: refused, and no stray .tmp file stays.
    const std::string busy = dir_ + "/busy";
    ASSERT_EQ(mkdir(busy.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((busy + "/x").c_str(), 0700), 0);
    EXPECT_FALSE(write_stats_file(busy, "{}\n"));
    EXPECT_NE(access((busy + ".tmp").c_str(), F_OK), 0);
    rmdir((busy + "/x").c_str());
    rmdir(busy.c_str());
}

}  // namespace
}  // namespace tovren::qel
