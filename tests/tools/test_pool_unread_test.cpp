// Clients that send and do not read: the pool stops reading one once its replies pile up and
// serves the others meanwhile. It drops one whose replies go unread for the limit, and sends
// one that reads again every reply it is owed, then reads its requests again.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "../app/progress.h"
#include "pool_client.h"
#include "pool_events.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using test::PoolClient;
using testing::kStallMs;
using testing::TestPool;
using testing::Watch;
using TestPoolUnread = test::WatchedPool;

const char kLogin[] = R"({"id":1,"method":"login","params":{"address":"a","worker":"w"}})";

// Sends logins until the connection fails or done holds: the pool answers each with the job,
// its longest reply, so that the fewest lines fill the socket buffers with replies. Paced by
// a pool, each batch waits until that pool has read the one before, so that when it pauses
// few lines wait unread in the sockets, each owed a reply that the test must then read.
class Flood {
  public:
    explicit Flood(PoolClient& client, std::function<bool()> done = nullptr,
                   const TestPool* paced_by = nullptr)
        : client_(client), done_(std::move(done)), pool_(paced_by), thread_([this] { run(); }) {}
    // However the test ends, a send blocked on a stuck pool is woken first.
    ~Flood() {
        stop_ = true;
        shutdown(client_.fd(), SHUT_RDWR);
        thread_.join();
    }
    // Every line sent, once ended() holds.
    uint64_t lines() const { return lines_; }
    bool ended() const { return ended_; }

  private:
    static constexpr int kBatch = 100;

    bool go_on() const { return !stop_ && !(done_ && done_()); }

    void run() {
        std::string batch;
        for (int i = 0; i < kBatch; ++i)
            batch += std::string(kLogin) + "\n";
        const auto all_read = [this](const auto& logins, const auto&) {
            return logins.size() >= lines_;
        };
        while (go_on() && client_.send_all(batch)) {
            lines_ += kBatch;
            while (pool_ != nullptr && go_on() && !pool_->wait_until(all_read, 10)) {
            }
        }
        ended_ = true;
    }

    PoolClient& client_;
    std::function<bool()> done_;
    const TestPool* pool_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> lines_{0};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

TEST_F(TestPoolUnread, AClientThatNeverReadsIsDroppedAndTheOthersAreServedMeanwhile) {
    // First no limit that a loaded machine could reach before the other client is served.
    pool_.set_unread_limit(std::chrono::hours(1));
    PoolClient other(pool_.port());
    ASSERT_TRUE(other.send_all(std::string(kLogin) + "\n"));
    ASSERT_TRUE(other.read_line(kStallMs));

    PoolClient stuck(pool_.port(), 4096);
    ASSERT_TRUE(stuck.send_all(std::string(kLogin) + "\n"));
    Flood flood(stuck);
    ASSERT_TRUE(wait_for(Watch{[&] { return events_.seen("connection 1 leaves its replies"); },
                               [&] { return flood.lines(); }}))
        << "the pool never stopped reading the client that does not read";

    ASSERT_TRUE(other.send_all(std::string(kLogin) + "\n"));
    EXPECT_TRUE(other.read_line(kStallMs)) << "the other client was not served";

    pool_.set_unread_limit(std::chrono::milliseconds(50));
    EXPECT_TRUE(
        wait_for(Watch{[&] { return events_.seen("dropped connection 1:") && flood.ended(); },
                       [&] { return flood.lines(); }}))
        << "the client that does not read was not dropped";
    EXPECT_FALSE(events_.seen("dropped connection 0"));
}

TEST_F(TestPoolUnread, AClientThatPausesAndThenReadsGetsEveryReplyAndStaysConnected) {
    // A client that reads is never kept waiting longer than a healthy run pauses.
    pool_.set_unread_limit(std::chrono::milliseconds(kStallMs));
    PoolClient client(pool_.port());
    const auto paused = [&] { return events_.seen("connection 0 leaves its replies"); };

    Flood flood(client, paused, &pool_);
    ASSERT_TRUE(wait_for(Watch{paused, [&] { return flood.lines(); }}))
        << "the pool never stopped reading the client";
    // Read at last: every reply comes, and the pool reads the requests that waited.
    uint64_t replies = 0;
    EXPECT_TRUE(wait_for(Watch{[&] {
                                   while (client.read_line(20))
                                       ++replies;
                                   return flood.ended() && replies == flood.lines();
                               },
                               [&] { return replies; },
                               [&] { return events_.seen("dropped connection 0"); }}))
        << replies << " replies to " << flood.lines() << " lines";
    EXPECT_TRUE(events_.seen("connection 0 reads its replies again"));
    EXPECT_FALSE(events_.seen("dropped connection 0"));
    ASSERT_TRUE(client.send_all(std::string(kLogin) + "\n"));
    EXPECT_TRUE(client.read_line(kStallMs)) << "the client was not served after";
}

}  // namespace
}  // namespace tovren::qel
