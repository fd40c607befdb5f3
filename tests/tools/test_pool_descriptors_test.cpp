// A pool that cannot accept a connection, the process being out of descriptors: it serves the
// clients it has, sleeps between its tries instead of spinning, and accepts the client that
// waited once a descriptor is free.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../app/progress.h"
#include "pool_client.h"
#include "pool_events.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using test::PoolClient;
using testing::kStallMs;
using testing::Watch;
using TestPoolDescriptors = test::WatchedPool;

const std::string kLogin =
    std::string(R"({"id":1,"method":"login","params":{"address":"a","worker":"w"}})") + "\n";

// While it lives, the process can open no descriptor: the limit is lowered and every free
// number below it is held.
class NoFreeDescriptors {
  public:
    NoFreeDescriptors() {
        EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &previous_), 0);
        rlimit low = previous_;
        low.rlim_cur = std::min<rlim_t>(previous_.rlim_cur, 256);
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            held_.push_back(fd);
        EXPECT_EQ(errno, EMFILE);
    }
    ~NoFreeDescriptors() {
        for (int fd : held_)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &previous_);
    }

  private:
    rlimit previous_{};
    std::vector<int> held_;
};

TEST_F(TestPoolDescriptors, WithNoneFreeThePoolServesItsClientsAsleepAndAcceptsOnceItCan) {
    PoolClient other(pool_.port());
    ASSERT_TRUE(other.send_all(kLogin));
    ASSERT_TRUE(other.read_line(kStallMs));
    PoolClient waiting(pool_.port(), 0, false);
    {
        const NoFreeDescriptors none;
        // The kernel completes the connection; only the pool's accept lacks a descriptor.
        const uint64_t before = pool_.rounds();
        ASSERT_TRUE(waiting.connect());
        ASSERT_TRUE(wait_for(Watch{[&] { return events_.seen("cannot accept a connection ("); },
                                   [&] { return pool_.rounds(); },
                                   [&] { return pool_.rounds() - before > 1000; }}))
            << "the pool did not say it cannot accept, in " << pool_.rounds() - before << " rounds";
        const uint64_t start = pool_.rounds();
        ASSERT_TRUE(other.send_all(kLogin));
        EXPECT_TRUE(other.read_line(kStallMs)) << "the client already connected was not served";
        // A pool that sleeps between its tries wakes a few times here; a spinning one, given
        // any share of a core, thousands.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_LT(pool_.rounds() - start, 100u) << "the pool spins while it cannot accept";
    }
    ASSERT_TRUE(waiting.send_all(kLogin));
    EXPECT_TRUE(waiting.read_line(kStallMs)) << "the client that waited was never accepted";
    EXPECT_TRUE(events_.seen("accepting connections again"));
    EXPECT_EQ(pool_.connections_accepted(), 2);
}

}  // namespace
}  // namespace tovren::qel
