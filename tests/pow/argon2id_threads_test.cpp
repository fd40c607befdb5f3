#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pow/argon2id.h"
#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

using Bytes = std::vector<uint8_t>;

// Hashes on many threads at once, each with its own arena, are the reference library's: the
// hash keeps no state outside the arena it is given. Shared storage corrupts a hash only while
// another hash overlaps it, some of it (the prehash's) only for microseconds, so every round
// starts its threads together: they spin without yielding, since on a loaded machine a thread
// that gives up its core sees the start only a time slice later. Each round has its own
// counter, so nothing orders two hashes of one round, and ThreadSanitizer reports such storage
// whatever the timing.
TEST(Argon2idThreads, OwnArenasGiveTheReferenceHashes) {
    constexpr int kThreads = 8, kRounds = 4;
    std::mt19937_64 rng(0x7417);
    std::vector<Bytes> headers(kThreads * kRounds, Bytes(kHeaderBytes));
    std::vector<uint64_t> nonces;
    std::vector<std::string> expected, got(headers.size());
    for (Bytes& h : headers) {
        for (uint8_t& b : h)
            b = static_cast<uint8_t>(rng());
        nonces.push_back(rng());
        expected.push_back(test::libargon2_hex(h.data(), nonces.back()));
    }
    std::atomic<int> arrived[kRounds] = {};
    auto work = [&](int thread) {
        BlockArena own;
        for (int round = 0; round < kRounds; ++round) {
            arrived[round].fetch_add(1);
            while (arrived[round].load() < kThreads) {
            }
            const int i = round * kThreads + thread;
            got[i] = test::pow_hex(own, headers[i].data(), nonces[i]);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, t);
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace tovren::qel
