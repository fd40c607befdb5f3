#include "app/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tovren::qel {
namespace {

// The option loop on "miner" followed by args; the command-line mistakes, the help text and
// the missing values are checked on the whole process.
Settings parse(std::initializer_list<const char*> args) {
    std::vector<std::string> storage{"miner"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) {
        argv.push_back(s.data());
    }
    Settings settings;
    int exit_code = -1;
    EXPECT_TRUE(parse_options(static_cast<int>(argv.size()), argv.data(), settings, exit_code));
    EXPECT_EQ(exit_code, 0);
    return settings;
}

TEST(OptionsTest, EveryFormSetsItsSettingAndTheLaterOneWins) {
    using Field = std::string Settings::*;
    const std::pair<const char*, Field> forms[] = {
        {"-o", &Settings::pool_endpoint},    {"--pool", &Settings::pool_endpoint},
        {"-u", &Settings::address},          {"--user", &Settings::address},
        {"--address", &Settings::address},   {"-w", &Settings::worker},
        {"--worker", &Settings::worker},     {"-d", &Settings::devices},
        {"--devices", &Settings::devices},   {"--stats-file", &Settings::stats_file},
        {"--verify", &Settings::verify_file}};
    for (const auto& [form, field] : forms) {
        EXPECT_EQ(parse({form, "v"}).*field, "v") << form;
    }
    EXPECT_FALSE(parse({"--no-color"}).color);  // --hashes and --bench: below
    EXPECT_TRUE(parse({}).color);

    // Values are taken as they are, even when they look like options or are empty.
    const Settings v = parse({"-u", "first", "--address", "second", "-o", "-u", "-w", ""});
    EXPECT_EQ(v.address, "second");
    EXPECT_EQ(v.pool_endpoint, "-u");
    EXPECT_EQ(v.worker, "");
}

TEST(OptionsTest, NumbersAreReadLikeStrtol) {
    struct Case {
        const char* text;
        int hashes;
        int bench_seconds;  // a negative length means no benchmark
    };
    const Case cases[] = {
        {"12x", 12, 12},
        {"abc", 0, 0},
        {" 7", 7, 7},
        {"-3", -3, 0},
        // Beyond the int range the value is held at the limit, not cut to a small number.
        {"4294967396", INT_MAX, INT_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parse({"--hashes", c.text}).hashes, c.hashes);
        EXPECT_EQ(parse({"--bench", c.text}).bench_seconds, c.bench_seconds);
    }
    EXPECT_EQ(option_int("-99999999999"), INT_MIN);
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

TEST(OptionsTest, WorkerNameDefaultsToTheHostName) {
    EXPECT_EQ(default_worker_name("rig7"), "rig7");
    char host[64] = {};
    ASSERT_EQ(gethostname(host, 63), 0);
    EXPECT_EQ(default_worker_name(""), std::string(host));
}

}  // namespace
}  // namespace tovren::qel
