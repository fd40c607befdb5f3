// The simulated miner as a whole process while it mines or benchmarks: stop signals, the
// worker name it logs in with, a faulty GPU and bench runs, with what the user sees and the
// exit code.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "capture.h"
#include "progress.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using testing::Child;
using testing::TestPool;

const std::string kNotice = "\n shutdown requested \u2014 clean exit\n";
const char kOneGpu[] = "name=Sim One;sm=2;mem=2G;free=1G";

// The miner on the simulated GPUs given, with no faults but the corruption.
std::vector<std::string> miner_command(const std::vector<std::string>& args,
                                       const std::string& gpus = kOneGpu,
                                       const std::string& corrupt = "") {
    std::vector<std::string> command{
        "env",      "-u", "CUDASIM_FAIL",    "-u",
        "NO_COLOR", "-u", "CUDASIM_CORRUPT", "CUDASIM_DEVICES=" + gpus};
    if (!corrupt.empty())
        command.push_back("CUDASIM_CORRUPT=" + corrupt);
    command.push_back(QEL_MINER_SIM);
    command.push_back("--no-color");
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

// Mining from a local pool whose one job makes every hash a share.
std::vector<std::string> pool_args(TestPool& pool, const char* hashes) {
    testing::PoolTestJob job;
    job.target.fill(0xFF);
    pool.set_job(job);
    return {"-o", "127.0.0.1:" + std::to_string(pool.port()), "-u", "qel1x", "--hashes", hashes};
}

// What the pool has seen, as steps of a run.
uint64_t pool_steps(const TestPool& pool) {
    return pool.submits().size() + pool.logins().size();
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

size_t wrong_hash_lines(const Child& miner) {
    const std::string out = miner.out();
    size_t n = 0;
    for (size_t at = 0; (at = out.find(" returned a wrong hash", at)) != std::string::npos; ++at)
        ++n;
    return n;
}

std::string host_name() {
    char name[256] = {};
    EXPECT_EQ(gethostname(name, sizeof name - 1), 0);
    return name;
}

// A signal once the first launch's shares are in comes while the second launch runs, whose
// shares must still reach the pool; one right at the login may come before any launch. The
// worker name given, or the host name when -w is missing or empty, is the one logged in with.
TEST(MinerMining, StopSignalEndsCleanlyOnceTheRunningLaunchHasSentItsShares) {
    const struct {
        int sig;
        size_t shares_before;
        std::vector<std::string> worker_args;
        std::string worker;
    } cases[] = {
        {SIGINT, 64, {"-w", "sig"}, "sig"},
        {SIGTERM, 64, {}, host_name()},
        {SIGTERM, 0, {"-w", ""}, host_name()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sig);
        TestPool pool;
        std::vector<std::string> args = pool_args(pool, "8");
        args.insert(args.end(), c.worker_args.begin(), c.worker_args.end());
        Child miner(miner_command(args));
        ASSERT_TRUE(miner.started());
        const size_t before = c.shares_before;
        // Start-up prints line by line until the login. It logs in once: a second login would
        // be a connection it lost.
        ASSERT_TRUE(testing::wait_for(
            {[&] { return !pool.logins().empty() && pool.submits().size() >= before; },
             [&] { return pool.logins().empty() ? miner.out().size() : pool_steps(pool); },
             [&] { return miner.exited() || pool.logins().size() > 1; }}))
            << miner.out();
        miner.signal(c.sig);
        // Two more launches' shares and it has surely missed the signal.
        ASSERT_TRUE(testing::wait_for(
            {[&] { return miner.exited(); }, [&] { return pool_steps(pool); },
             [&] { return pool.submits().size() > before + 128 || pool.logins().size() > 1; }}))
            << miner.out();
        EXPECT_EQ(miner.exit_code(), 0);
        EXPECT_EQ(miner.err(), "");
        EXPECT_TRUE(ends_with(miner.out(), kNotice)) << miner.out();
        // The last lines may still be on their way to the pool when the miner has exited.
        const size_t least = before == 0 ? 0 : before + 64;
        EXPECT_TRUE(testing::wait_for({[&] {
                                           const size_t n = pool.submits().size();
                                           return n >= least && n % 64 == 0;
                                       },
                                       [&] { return pool_steps(pool); }}))
            << pool.submits().size() << " shares";
        for (const auto& s : pool.submits())
            EXPECT_TRUE(s.hash_ok && s.meets_target && !s.duplicate);
        EXPECT_EQ(pool.logins()[0].address, "qel1x");
        EXPECT_EQ(pool.logins()[0].worker, c.worker);
    }
}

TEST(MinerMining, FaultyGpuSendsNoShareAndStopsAfterTenWrongHashes) {
    TestPool pool;
    std::string corrupt;  // every stored hit's hash
    for (int k = 0; k < 64; ++k)
        corrupt += (k ? ",8+" : "8+") + std::to_string(8 + 40 * k);
    Child miner(miner_command(pool_args(pool, "1"), kOneGpu, corrupt));
    // Steps: start-up's lines, then the wrong hashes, of which an 11th would be one too many.
    ASSERT_TRUE(testing::wait_for({[&] { return miner.exited(); },
                                   [&] {
                                       const size_t n = wrong_hash_lines(miner);
                                       return n == 0 ? miner.out().size() : n;
                                   },
                                   [&] { return wrong_hash_lines(miner) > 10; }}))
        << miner.out();
    const std::string out = miner.out();
    EXPECT_EQ(miner.exit_code(), 1);
    EXPECT_TRUE(pool.submits().empty());
    for (int total = 1; total <= 10; ++total) {
        EXPECT_NE(out.find(" gpu   GPU0 returned a wrong hash: share NOT sent (" +
                           std::to_string(total) + " so far; check the card's clocks)\n"),
                  std::string::npos)
            << total << out;
    }
    EXPECT_EQ(out.find("(11 so far"), std::string::npos) << out;
    EXPECT_TRUE(ends_with(out,
                          " gpu   GPU0: 10 wrong hashes in a row, stopping\n gpu   a GPU stopped, "
                          "exiting\n" +
                              kNotice))
        << out;
}

// The title line counts the GPUs, then the result line, with nothing after it.
TEST(MinerMining, BenchPrintsItsResultAndExitsZero) {
    const struct {
        std::string gpus;
        std::string lines;
    } cases[] = {
        {kOneGpu,
         " TOVREN QEL GPU v1.0.3  Argon2id 8 MiB \u00b7 1 GPU \u00b7 1% dev fee\n"
         " bench 1 GPU(s): "},
        {std::string(kOneGpu) + "|name=Sim Two;sm=2;mem=2G;free=1G",
         " TOVREN QEL GPU v1.0.3  Argon2id 8 MiB \u00b7 2 GPUs \u00b7 1% dev fee\n"
         " bench 2 GPU(s): "},
    };
    for (const auto& c : cases) {
        Child miner(miner_command({"--bench", "1", "--hashes", "1"}, c.gpus));
        // Lost once anything follows the result; the first "10s " line would come at tick 10.
        const auto after_result = [&] {
            const std::string out = miner.out();
            const size_t at = out.find(" over 1 s\n");
            return out.find(" speed ") != std::string::npos ||
                   (at != std::string::npos && at + 10 < out.size());
        };
        ASSERT_TRUE(testing::wait_for(
            {[&] { return miner.exited(); }, [&] { return miner.out().size(); }, after_result}))
            << miner.out();
        const std::string out = miner.out();
        EXPECT_EQ(miner.exit_code(), 0);
        EXPECT_NE(out.find(c.lines), std::string::npos) << out;
        EXPECT_TRUE(ends_with(out, " over 1 s\n")) << out;
    }
}

TEST(MinerMining, InterruptedBenchHasNoResultAndExitsZero) {
    Child miner(miner_command({"--bench", "600", "--hashes", "1"}));
    ASSERT_TRUE(
        testing::wait_for({[&] { return miner.out().find("dev fee\n") != std::string::npos; },
                           [&] { return miner.out().size(); }, [&] { return miner.exited(); }}))
        << miner.out();
    miner.signal(SIGINT);
    // Only the launch under way is waited for, which prints nothing.
    ASSERT_TRUE(testing::wait_for({[&] { return miner.exited(); }, [] { return 0; }}))
        << miner.out();
    const std::string out = miner.out();
    EXPECT_EQ(miner.exit_code(), 0);
    EXPECT_EQ(out.find(" bench "), std::string::npos) << out;
    EXPECT_EQ(out.find(" pool "), std::string::npos) << out;
    EXPECT_EQ(out.find("shutdown"), std::string::npos) << out;
}

}  // namespace
}  // namespace tovren::qel
