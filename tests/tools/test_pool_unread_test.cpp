// A client that sends and never reads: the pool stops reading it once its replies pile up,
// serves another client meanwhile, and drops it when its replies have gone unread for the
// limit.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../app/progress.h"
#include "pool_client.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using test::PoolClient;
using testing::kStallMs;
using testing::TestPool;
using testing::Watch;

const char kLogin[] = R"({"id":1,"method":"login","params":{"address":"a","worker":"w"}})";

// The pool's events about its connections. Made before the pool, which calls it until its end.
class PoolEvents {
  public:
    void add(const std::string& text) {
        if (text.find("connection ") == std::string::npos)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(text);
    }
    bool seen(const std::string& start) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& line : lines_) {
            if (line.rfind(start, 0) == 0)
                return true;
        }
        return false;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Sends logins until the connection fails: the pool answers each with the job, its longest
// reply, so that the fewest lines fill the socket buffers with replies.
class Flood {
  public:
    explicit Flood(PoolClient& client) : client_(client), thread_([this] { run(); }) {}
    // However the test ends, a send blocked on a stuck pool is woken first.
    ~Flood() {
        shutdown(client_.fd(), SHUT_RDWR);
        thread_.join();
    }
    uint64_t sent() const { return sent_; }
    bool ended() const { return ended_; }

  private:
    void run() {
        std::string batch;
        for (int i = 0; i < 100; ++i)
            batch += std::string(kLogin) + "\n";
        while (client_.send_all(batch))
            sent_ += batch.size();
        ended_ = true;
    }

    PoolClient& client_;
    std::atomic<uint64_t> sent_{0};
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

TEST(TestPoolUnread, AClientThatNeverReadsIsDroppedAndTheOthersAreServedMeanwhile) {
    PoolEvents events;
    TestPool pool;
    ASSERT_TRUE(pool.listening());
    pool.set_event_printer([&](const std::string& text) { events.add(text); });
    pool.set_job(testing::PoolTestJob{});
    // First no limit that a loaded machine could reach before the other client is served.
    pool.set_unread_limit(std::chrono::hours(1));
    PoolClient other(pool.port());
    ASSERT_TRUE(other.send_all(std::string(kLogin) + "\n"));
    ASSERT_TRUE(other.read_line(kStallMs));

    PoolClient stuck(pool.port(), 4096);
    ASSERT_TRUE(stuck.send_all(std::string(kLogin) + "\n"));
    Flood flood(stuck);
    ASSERT_TRUE(wait_for(Watch{[&] { return events.seen("connection 1 leaves its replies"); },
                               [&] { return flood.sent(); }}))
        << "the pool never stopped reading the client that does not read";

    ASSERT_TRUE(other.send_all(std::string(kLogin) + "\n"));
    EXPECT_TRUE(other.read_line(kStallMs)) << "the other client was not served";

    pool.set_unread_limit(std::chrono::milliseconds(50));
    EXPECT_TRUE(
        wait_for(Watch{[&] { return events.seen("dropped connection 1:") && flood.ended(); },
                       [&] { return flood.sent(); }}))
        << "the client that does not read was not dropped";
    EXPECT_FALSE(events.seen("dropped connection 0"));
}

}  // namespace
}  // namespace tovren::qel
