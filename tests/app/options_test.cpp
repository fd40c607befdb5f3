#include "app/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <string>
#include <vector>

#include "capture.h"

namespace tovren::qel {
namespace {

// Runs the option loop on "miner" followed by args.
struct Parsed {
    bool proceed;
    int exit_code;
    Settings settings;
};

Parsed parse(std::initializer_list<const char*> args) {
    std::vector<std::string> storage{"miner"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    Parsed p{};
    p.exit_code = -1;
    testing::StdoutCapture quiet;
    p.proceed =
        parse_options(static_cast<int>(storage.size()), argv.data(), p.settings, p.exit_code);
    return p;
}

TEST(OptionsTest, EveryFormSetsItsSetting) {
    const Parsed shortf = parse({"-o", "h:1", "-u", "qel1a", "-w", "w1", "-d", "0,1"});
    ASSERT_TRUE(shortf.proceed);
    EXPECT_EQ(shortf.settings.pool_endpoint, "h:1");
    EXPECT_EQ(shortf.settings.address, "qel1a");
    EXPECT_EQ(shortf.settings.worker, "w1");
    EXPECT_EQ(shortf.settings.devices, "0,1");

    const Parsed longf = parse({"--pool", "p:2", "--user", "qel1b", "--worker", "w2", "--devices",
                                "1", "--hashes", "40", "--stats-file", "/tmp/s.json", "--no-color",
                                "--verify", "v.txt", "--bench", "60"});
    ASSERT_TRUE(longf.proceed);
    EXPECT_EQ(longf.settings.pool_endpoint, "p:2");
    EXPECT_EQ(longf.settings.address, "qel1b");
    EXPECT_EQ(longf.settings.worker, "w2");
    EXPECT_EQ(longf.settings.devices, "1");
    EXPECT_EQ(longf.settings.hashes, 40);
    EXPECT_EQ(longf.settings.stats_file, "/tmp/s.json");
    EXPECT_FALSE(longf.settings.color);
    EXPECT_EQ(longf.settings.verify_file, "v.txt");
    EXPECT_EQ(longf.settings.bench_seconds, 60);

    EXPECT_EQ(parse({"--address", "qel1c"}).settings.address, "qel1c");
}

TEST(OptionsTest, LaterOccurrenceWinsAndValuesAreTakenAsTheyAre) {
    const Parsed p = parse({"-u", "first", "--address", "second", "-o", "-u", "-w", ""});
    ASSERT_TRUE(p.proceed);
    EXPECT_EQ(p.settings.address, "second");
    EXPECT_EQ(p.settings.pool_endpoint, "-u");
    EXPECT_EQ(p.settings.worker, "");
}

TEST(OptionsTest, NumbersAreReadLikeStrtol) {
    EXPECT_EQ(parse({"--hashes", "12x"}).settings.hashes, 12);
    EXPECT_EQ(parse({"--hashes", "abc"}).settings.hashes, 0);
    EXPECT_EQ(parse({"--hashes", " 7"}).settings.hashes, 7);
    EXPECT_EQ(parse({"--hashes", "-3"}).settings.hashes, -3);
    // Beyond the int range the value is held at the limit, not cut to a small number.
    EXPECT_EQ(parse({"--hashes", "4294967396"}).settings.hashes, INT_MAX);
    EXPECT_EQ(parse({"--bench", "30s"}).settings.bench_seconds, 30);
    EXPECT_EQ(option_int("99999999999999999999"), INT_MAX);
    EXPECT_EQ(option_int("-99999999999"), INT_MIN);
}

TEST(OptionsTest, NegativeBenchMeansNoBenchmark) {
    EXPECT_EQ(parse({"--bench", "-5"}).settings.bench_seconds, 0);
    EXPECT_EQ(parse({"--bench", "0"}).settings.bench_seconds, 0);
    EXPECT_EQ(parse({"--bench", "1"}).settings.bench_seconds, 1);
}

TEST(OptionsTest, HelpStopsTheLoopWithZero) {
    testing::StdoutCapture out;
    std::vector<std::string> storage{"./miner", "--address", "qel1x", "-h", "--bogus"};
    std::vector<char*> argv;
    for (std::string& s : storage) {
        argv.push_back(s.data());
    }
    Settings settings;
    int code = -1;
    EXPECT_FALSE(parse_options(5, argv.data(), settings, code));
    const std::string text = out.finish();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(settings.address, "qel1x");
    EXPECT_EQ(text.rfind("usage: ./miner -u <QEL address> [options]\n", 0), 0u);
    EXPECT_NE(text.find("  -o, --pool <host:port>   pool (default: Tovren Pool QEL "
                        "qel.tovrenpool.net:3360)\n"),
              std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10);
    const std::string last = "      --bench <seconds>    offline benchmark\n";
    EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(OptionsTest, UnknownArgumentsEndWithTwo) {
    for (auto args :
         {std::initializer_list<const char*>{"-x", "-h"},
          std::initializer_list<const char*>{"--pool=x:1"},
          std::initializer_list<const char*>{"-uw"}, std::initializer_list<const char*>{"stray"}}) {
        const Parsed p = parse(args);
        EXPECT_FALSE(p.proceed) << *args.begin();
        EXPECT_EQ(p.exit_code, 2) << *args.begin();
    }
}

TEST(OptionsDeathTest, MissingValueExitsWithTwo) {
    EXPECT_EXIT(parse({"-u"}), ::testing::ExitedWithCode(2), "^missing value for --user\n$");
    EXPECT_EXIT(parse({"--address"}), ::testing::ExitedWithCode(2), "missing value for --user");
    EXPECT_EXIT(parse({"-o"}), ::testing::ExitedWithCode(2), "missing value for --pool");
    EXPECT_EXIT(parse({"-d"}), ::testing::ExitedWithCode(2), "missing value for --devices");
    EXPECT_EXIT(parse({"--stats-file"}), ::testing::ExitedWithCode(2),
                "missing value for --stats-file");
}

TEST(OptionsTest, EndpointSplitsAtTheLastColon) {
    struct Case {
        const char* endpoint;
        const char* host;
        uint16_t port;
    };
    for (const Case& c :
         {Case{kDefaultPoolEndpoint, "qel.tovrenpool.net", 3360},
          Case{"pool.example:4444", "pool.example", 4444}, Case{"a:b:3360", "a:b", 3360},
          Case{":4000", "", 4000}, Case{"", "", 3333}, Case{"nohost", "nohost", 3333},
          Case{"h:", "h", 0}, Case{"h:abc", "h", 0}, Case{"h:70000", "h", 70000 - 65536},
          Case{"[::1]:3333", "[::1]", 3333}}) {
        std::string host = "stale";
        uint16_t port = 1;
        split_endpoint(c.endpoint, host, port);
        EXPECT_EQ(host, c.host) << c.endpoint;
        EXPECT_EQ(port, c.port) << c.endpoint;
    }
}

TEST(OptionsTest, PayoutAddressIsNeededUnlessBenchmarking) {
    Settings s;
    testing::StderrCapture err;
    EXPECT_FALSE(require_payout_address(s));
    EXPECT_EQ(err.finish(), "an QEL payout address is required: -u <qel1...>\n");
    s.bench_seconds = 1;
    EXPECT_TRUE(require_payout_address(s));
    s.bench_seconds = 0;
    s.address = "anything";
    EXPECT_TRUE(require_payout_address(s));
}

TEST(OptionsTest, WorkerNameDefaultsToTheHostName) {
    EXPECT_EQ(default_worker_name("rig7"), "rig7");
    char host[64] = {};
    ASSERT_EQ(gethostname(host, 63), 0);
    EXPECT_EQ(default_worker_name(""), std::string(host));
}

}  // namespace
}  // namespace tovren::qel
