// The simulated miner as a whole process while it mines or benchmarks: stop signals and a
// faulty GPU, with what the user sees and the exit code.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "capture.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using testing::TestPool;

const std::string kNotice = "\n shutdown requested \u2014 clean exit\n";

// The miner, as $0 of sh -c script, with one simulated GPU and no faults but the corruption.
testing::ProcessResult miner(const std::string& script, const std::vector<std::string>& args,
                             const std::string& corrupt = "") {
    std::vector<std::string> command{
        "env",      "-u", "CUDASIM_FAIL",    "-u",
        "NO_COLOR", "-u", "CUDASIM_CORRUPT", "CUDASIM_DEVICES=name=Sim One;sm=2;mem=2G;free=1G"};
    if (!corrupt.empty())
        command.push_back("CUDASIM_CORRUPT=" + corrupt);
    for (const char* word : {"/bin/sh", "-c", script.c_str(), QEL_MINER_SIM, "--no-color"})
        command.push_back(word);
    command.insert(command.end(), args.begin(), args.end());
    return testing::run_process(command);
}

// Mining from a local pool whose one job makes every hash a share.
std::vector<std::string> pool_args(TestPool& pool, const char* hashes) {
    testing::PoolTestJob job;
    job.target.fill(0xFF);
    pool.set_job(job);
    return {"-o", "127.0.0.1:" + std::to_string(pool.port()), "-u", "qel1x", "--hashes", hashes};
}

// SIGINT comes once the first launch's shares are in, so the second is running and its
// shares must still reach the pool; SIGTERM as soon as the miner has logged in. The worker
// name is the process id.
TEST(MinerMining, StopSignalEndsCleanlyOnceTheRunningLaunchHasSentItsShares) {
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        TestPool pool;
        const auto shares = [&pool](size_t n) {
            return pool.wait_until(
                [n](auto& logins, auto& s) { return !logins.empty() && s.size() >= n; }, 180000);
        };
        std::thread signaller([&] {
            if (shares(sig == SIGINT ? 64 : 0))
                kill(std::stoi(pool.logins()[0].worker), sig);
        });
        const auto r = miner("exec \"$0\" \"$@\" -w $$", pool_args(pool, "8"));
        signaller.join();
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), kNotice.size())), kNotice);
        // The last lines may still be on their way to the pool when the miner has exited.
        const size_t least = sig == SIGINT ? 128 : 0;
        EXPECT_TRUE(pool.wait_until(
            [least](auto&, auto& s) { return s.size() >= least && s.size() % 64 == 0; }, 30000))
            << pool.submits().size() << " shares";
        for (const auto& s : pool.submits())
            EXPECT_TRUE(s.hash_ok && s.meets_target && !s.duplicate);
        EXPECT_EQ(pool.logins()[0].address, "qel1x");
    }
}

TEST(MinerMining, FaultyGpuSendsNoShareAndStopsAfterTenWrongHashes) {
    TestPool pool;
    std::string corrupt;  // every stored hit's hash
    for (int k = 0; k < 64; ++k)
        corrupt += (k ? ",8+" : "8+") + std::to_string(8 + 40 * k);
    const auto r = miner("exec \"$0\" \"$@\"", pool_args(pool, "1"), corrupt);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(pool.submits().empty());
    EXPECT_NE(r.out.find("(10 so far; check the card's clocks)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("(11 so far"), std::string::npos) << r.out;
    const std::string end =
        " gpu   GPU0: 10 wrong hashes in a row, stopping\n gpu   a GPU stopped, exiting\n" +
        kNotice;
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), end.size())), end);
}

TEST(MinerMining, BenchPrintsItsResultAndExitsZero) {
    const auto r = miner("exec \"$0\" \"$@\"", {"--bench", "1", "--hashes", "1"});
    EXPECT_EQ(r.exit_code, 0);
    const std::string end = " over 1 s\n";  // the result, and nothing after it
    EXPECT_NE(r.out.find("dev fee\n bench 1 GPU(s): "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), end.size())), end);
}

}  // namespace
}  // namespace tovren::qel
