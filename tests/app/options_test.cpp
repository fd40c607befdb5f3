#include "app/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tovren::qel {
namespace {

// The option loop on "miner" followed by args; the command-line mistakes, the help text and
// the missing values are checked on the whole process.
Settings parse(std::vector<std::string> args) {
    args.insert(args.begin(), "miner");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
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
    for (const auto& [form, field] : forms)
        EXPECT_EQ(parse({form, "v"}).*field, "v") << form;
    EXPECT_TRUE(parse({}).color);
    EXPECT_FALSE(parse({"--no-color"}).color);  // --hashes and --bench: below
    // Values are taken as they are, even when they look like options or are empty.
    const Settings v = parse({"-u", "first", "--address", "second", "-o", "-u", "-w", ""});
    EXPECT_EQ(v.address + "|" + v.pool_endpoint + "|" + v.worker, "second|-u|");
}

// Read like strtol, held at the int limits rather than cut to a small number; a bench of no
// positive length is no bench.
TEST(OptionsTest, NumbersAreReadLikeStrtolWithinTheIntRange) {
    const std::tuple<const char*, int, int> cases[] = {
        {"12x", 12, 12}, {"1", 1, 1},  {"-3", -3, 0}, {"4294967396", INT_MAX, INT_MAX},
        {"abc", 0, 0},   {" 7", 7, 7}, {"0", 0, 0}};
    for (const auto& [text, hashes, seconds] : cases) {
        EXPECT_EQ(parse({"--hashes", text}).hashes, hashes) << text;
        EXPECT_EQ(parse({"--bench", text}).bench_seconds, seconds) << text;
    }
    EXPECT_EQ(option_int("-99999999999"), INT_MIN);
}

// A port is a whole decimal number from 1 to 65535; anything else is refused ("stale 1":
// host and port untouched), never cut to 16 bits or read as 0.
TEST(OptionsTest, EndpointSplitsAtTheLastColonAndWorkerDefaultsToTheHostName) {
    const std::pair<const char*, const char*> cases[] = {
        {kDefaultPoolEndpoint, "qel.tovrenpool.net 3360"},
        {"a:b:3360", "a:b 3360"},
        {"nohost", "nohost 3333"},
        {"pool.example:4444", "pool.example 4444"},
        {":4000", " 4000"},
        {"", " 3333"},
        {"[::1]:3333", "[::1] 3333"},
        {"h:1", "h 1"},
        {"h:65535", "h 65535"},
        {"h:00080", "h 80"},
        {"h:70001", "stale 1"},
        {"h:65536", "stale 1"},
        {"h:99999999999999999999999", "stale 1"},
        {"h:0", "stale 1"},
        {"h:-1", "stale 1"},
        {"h:+33", "stale 1"},
        {"h: 33", "stale 1"},
        {"h:", "stale 1"},
        {"h:abc", "stale 1"},
        {"h:33x", "stale 1"},
        {"h:3360:", "stale 1"}};
    for (const auto& [endpoint, host_port] : cases) {
        std::string host = "stale";
        uint16_t port = 1;
        EXPECT_EQ(split_endpoint(endpoint, host, port), std::string(host_port) != "stale 1");
        EXPECT_EQ(host + " " + std::to_string(port), host_port);
    }
    EXPECT_EQ(default_worker_name("rig7"), "rig7");
    char host[64] = {};
    ASSERT_EQ(gethostname(host, 63), 0);
    EXPECT_EQ(default_worker_name(""), std::string(host));
}

}  // namespace
}  // namespace tovren::qel
