#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "job_lines.h"
#include "pool/pool.h"
#include "pool/pool_lines.h"
#include "test_server.h"

namespace tovren::qel {
namespace {

using test::job_line;
using test::LogRecorder;
using test::rejected_job_line;
using test::ServerConn;
using test::TestServer;
using Clock = std::chrono::steady_clock;

const std::string kDash = "\xE2\x80\x94";

// Generous bounds for "promptly": far below the waits they guard against (a 1 s read poll,
// a back-off of seconds, a 5 s send or connect limit), far above scheduling noise.
constexpr int kPromptMs = 500;

Pool::Config config(uint16_t port, const std::string& host = "127.0.0.1") {
    Pool::Config c;
    c.host = host;
    c.port = port;
    c.address = "qel1payout";
    c.worker = "rig\"7";
    c.agent = "tovren-qel-gpu/v1.0.3";
    return c;
}

std::string endpoint(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

int64_t stop_ms(Pool& pool) {
    auto t0 = Clock::now();
    pool.stop();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

PoolJob current_job(Pool& pool) {
    std::lock_guard<std::mutex> lock(pool.job_mutex);
    return pool.job;
}

void expect_stopped(Pool& pool) {
    EXPECT_FALSE(pool.connected.load());
    EXPECT_FALSE(current_job(pool).valid);
    std::lock_guard<std::mutex> lock(pool.send_mutex);
    EXPECT_EQ(pool.fd, -1);
}

// Waits for cond in small steps, up to timeout_ms.
template <typename F>
bool eventually(F cond, int timeout_ms = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(PoolConnection, LoginJobSubmitRoundTripAndStop) {
    std::string login, submit;
    std::atomic<bool> got_submit{false}, done{false};
    uint8_t hash[32];
    for (int i = 0; i < 32; ++i)
        hash[i] = static_cast<uint8_t>(255 - i);
    TestServer server([&](ServerConn& conn, int) {
        if (!conn.read_line(login))
            return;
        conn.send(job_line("job \"1\"", R"(,"height":42,"difficulty":9)") + "\n");
        if (!conn.read_line(submit))
            return;
        got_submit = true;
        conn.send(R"({"id":2,"status":"OK"})"
                  "\n");
        while (!done && !conn.wait_closed(50)) {
        }
    });
    Pool pool;
    LogRecorder log;
    std::vector<std::pair<bool, std::string>> results;
    std::mutex results_mutex;
    pool.on_log = log.sink();
    pool.on_share_result = [&](bool ok, const std::string& m) {
        std::lock_guard<std::mutex> lock(results_mutex);
        results.emplace_back(ok, m);
    };
    pool.start(config(server.port()));

    ASSERT_TRUE(log.wait_for("new job " + kDash + " height 42, difficulty 9"));
    EXPECT_TRUE(pool.connected.load());
    EXPECT_EQ(pool.connections.load(), 1u);
    PoolJob job = current_job(pool);
    EXPECT_TRUE(job.valid);
    EXPECT_EQ(job.seq, 1u);
    EXPECT_EQ(job.conn_gen, 1u);
    pool.submit(job.job_id, 123456789, hash);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(results_mutex);
        return !results.empty();
    }));
    ASSERT_TRUE(got_submit.load());
    EXPECT_EQ(login, login_line("qel1payout", "rig\"7"));
    EXPECT_EQ(submit, submit_line(2, "job \"1\"", 123456789, hash));
    EXPECT_EQ(results[0], std::make_pair(true, std::string("OK")));

    EXPECT_LT(stop_ms(pool), kPromptMs);
    done = true;
    expect_stopped(pool);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"connected to " + endpoint(server.port()),
                                        "new job " + kDash + " height 42, difficulty 9"}));
}

TEST(PoolConnection, LineFraming) {
    TestServer server([&](ServerConn& conn, int) {
        std::string login;
        conn.read_line(login);
        const std::string a = R"({"method":"notification","params":{"kind":"a"}})";
        conn.send(a.substr(0, 10));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        conn.send(a.substr(10, 20));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        conn.send(a.substr(30) + "\n\n" + R"({"method":"notification","params":{"kind":"b"}})" +
                  "\n\r\n" + R"({"method":"notification","params":{"kind":"c"}})" + "\r\n");
        conn.wait_closed();
    });
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(server.port()));
    ASSERT_TRUE(log.wait_for("pool notice: c"));
    pool.stop();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"connected to " + endpoint(server.port()), "pool notice: a",
                                        "pool notice: b", "pool notice: c"}));
}

TEST(PoolConnection, UnfinishedLineLimitIsOneMebibyte) {
    TestServer server([&](ServerConn& conn, int index) {
        if (index > 0)
            return;
        std::string login;
        conn.read_line(login);
        conn.send(std::string(1048576, 'x'));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // Still connected: the line can end, and the next one is read.
        conn.send("\n" + job_line("after") + "\n");
        conn.send(std::string(1048577, 'y'));
        conn.wait_closed();
    });
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(server.port()));
    ASSERT_TRUE(log.wait_for("new job " + kDash + " height 0, difficulty 0"));
    EXPECT_EQ(current_job(pool).job_id, "after");
    ASSERT_TRUE(log.wait_for("connection lost, reconnecting in 2 s"));
    EXPECT_EQ(log.count("connected to " + endpoint(server.port())), 1);
    pool.stop();
}

TEST(PoolConnection, EmptyConnectionsBackOff) {
    TestServer server([&](ServerConn& conn, int) {
        std::string login;
        EXPECT_TRUE(conn.read_line(login));
        EXPECT_EQ(login, login_line("qel1payout", "rig\"7"));
    });
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(server.port()));
    ASSERT_TRUE(log.wait_for("connection lost, reconnecting in 4 s"));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    const std::string connected = "connected to " + endpoint(server.port());
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{connected, "connection lost, reconnecting in 2 s",
                                        connected, "connection lost, reconnecting in 4 s"}));
    expect_stopped(pool);
}

TEST(PoolConnection, OnlyAStoredJobResetsTheDelay) {
    TestServer server([&](ServerConn& conn, int index) {
        std::string login;
        conn.read_line(login);
        if (index == 1)
            conn.send(job_line("j") + "\n");
        if (index == 2)
            conn.send(rejected_job_line() + "\n");
        // Let the client read what was sent before the close.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(server.port()));
    ASSERT_TRUE(log.wait_for("connection lost, reconnecting in 4 s"));
    pool.stop();
    std::vector<std::string> losses;
    for (const std::string& line : log.lines()) {
        if (line.rfind("connection lost", 0) == 0)
            losses.push_back(line);
    }
    EXPECT_EQ(losses, (std::vector<std::string>{"connection lost, reconnecting in 2 s",
                                                "connection lost, reconnecting in 2 s",
                                                "connection lost, reconnecting in 4 s"}));
    EXPECT_EQ(log.count("job rejected: bad header_base/target"), 1);
}

TEST(PoolConnection, RefusedConnectionsBackOffAndStopIsPrompt) {
    const uint16_t port = test::closed_port();
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(port));
    ASSERT_TRUE(log.wait_for("cannot reach " + endpoint(port) + ", retry in 4 s"));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"cannot reach " + endpoint(port) + ", retry in 2 s",
                                        "cannot reach " + endpoint(port) + ", retry in 4 s"}));
    EXPECT_EQ(pool.connections.load(), 0u);
}

TEST(PoolConnection, UnresolvableHostCannotBeReached) {
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(3333, "qel-pool.invalid"));
    EXPECT_TRUE(log.wait_for("cannot reach qel-pool.invalid:3333, retry in 2 s", 1, 30000));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    EXPECT_EQ(log.lines().size(), 1u);
}

// A listener whose accept queue is full: further connects get no answer and hang.
class FullListener {
  public:
    FullListener() : server_([](ServerConn&, int) {}, 0, false) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(server_.port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 8; ++i) {
            int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            fillers_.push_back(fd);
            if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                continue;
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 200) == 0)
                return;  // this one hangs: the queue is full
        }
    }
    ~FullListener() {
        for (int fd : fillers_)
            close(fd);
    }
    uint16_t port() const { return server_.port(); }

  private:
    TestServer server_;
    std::vector<int> fillers_;
};

TEST(PoolConnection, StopDuringAHangingConnectIsPrompt) {
    FullListener listener;
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(listener.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(pool.connections.load(), 0u);
}

TEST(PoolConnection, ConnectTimesOutAsAFailedAddress) {
    FullListener listener;
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    auto t0 = Clock::now();
    pool.start(config(listener.port()));
    ASSERT_TRUE(
        log.wait_for("cannot reach " + endpoint(listener.port()) + ", retry in 2 s", 1, 15000));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(4500));
    pool.stop();
}

// A server that reads the login and then nothing more, so the client's sends back up.
class StalledServer {
  public:
    StalledServer()
        : server_([this](ServerConn& conn, int) {
              std::string login;
              conn.read_line(login);
              int small = 4096;
              setsockopt(conn.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
              while (!release_) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          }) {}
    ~StalledServer() { release_ = true; }
    uint16_t port() const { return server_.port(); }

  private:
    std::atomic<bool> release_{false};
    TestServer server_;
};

TEST(PoolConnection, SendThatTimesOutFailsAndEndsTheConnection) {
    StalledServer server;
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(server.port()));
    ASSERT_TRUE(eventually([&] { return pool.connected.load(); }));
    auto t0 = Clock::now();
    EXPECT_FALSE(pool.send_line(std::string(16 << 20, 'z')));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(4500));
    EXPECT_TRUE(log.wait_for("connection lost, reconnecting in 2 s"));
    pool.stop();
}

TEST(PoolConnection, StopDuringABlockedSendIsPrompt) {
    StalledServer server;
    Pool pool;
    pool.start(config(server.port()));
    ASSERT_TRUE(eventually([&] { return pool.connected.load(); }));
    std::atomic<bool> sent{true};
    std::thread sender([&] { sent = pool.send_line(std::string(16 << 20, 'z')); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    sender.join();
    EXPECT_FALSE(sent.load());
    expect_stopped(pool);
}

// A callback that stops the Pool must not join its own thread (that would deadlock or end the
// process): the thread winds down by itself, the owner's stop joins it, and a start works.
TEST(PoolConnection, StopFromACallbackEndsTheThreadWithoutJoiningItself) {
    TestServer server([&](ServerConn& conn, int) {
        std::string login;
        conn.read_line(login);
        conn.send(job_line("j") + "\n");
        conn.wait_closed();
    });
    Pool pool;
    LogRecorder log;
    std::atomic<bool> returned{false};
    auto record = log.sink();
    pool.on_log = [&](const std::string& line) {
        record(line);
        if (line.rfind("new job", 0) == 0 && !returned) {
            pool.stop();
            returned = true;
        }
    };
    pool.start(config(server.port()));
    ASSERT_TRUE(eventually([&] { return returned.load(); }));
    ASSERT_TRUE(eventually([&] { return !pool.connected.load(); }));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    expect_stopped(pool);
    EXPECT_EQ(log.count("connection lost, reconnecting in 2 s"), 0);

    pool.start(config(server.port()));
    ASSERT_TRUE(log.wait_for("connected to " + endpoint(server.port()), 2));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    expect_stopped(pool);
}

TEST(PoolConnection, RestartKeepsCountersAndLogsInAgain) {
    std::vector<std::string> lines[2];
    std::atomic<int> conn_count{0}, finished{0};
    TestServer server([&](ServerConn& conn, int index) {
        if (index > 1)
            return;
        std::string line;
        conn.read_line(line);
        lines[index].push_back(line);
        conn.send(job_line("j" + std::to_string(index)) + "\n");
        ++conn_count;
        if (conn.read_line(line))
            lines[index].push_back(line);
        conn.wait_closed();
        ++finished;
    });
    uint8_t hash[32] = {1};
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(server.port()));
    ASSERT_TRUE(log.wait_for("new job " + kDash + " height 0, difficulty 0"));
    pool.submit("j0", 10, hash);
    ASSERT_TRUE(eventually([&] { return server.accepted() == 1 && conn_count == 1; }));
    EXPECT_LT(stop_ms(pool), kPromptMs);
    expect_stopped(pool);
    pool.submit("lost", 11, hash);  // disconnected: uses id 3, sends nothing

    Pool::Config fee = config(server.port());
    fee.address = "qel1fee";
    fee.worker = "tovren";
    pool.start(fee);
    ASSERT_TRUE(log.wait_for("new job " + kDash + " height 0, difficulty 0", 2));
    pool.submit("j1", 12, hash);
    ASSERT_TRUE(eventually([&] { return server.accepted() == 2 && conn_count == 2; }));
    EXPECT_EQ(pool.connections.load(), 2u);
    EXPECT_EQ(pool.job_seq.load(), 2u);
    EXPECT_EQ(current_job(pool).conn_gen, 2u);
    pool.stop();
    ASSERT_TRUE(eventually([&] { return finished == 2; }));
    EXPECT_EQ(lines[0], (std::vector<std::string>{login_line("qel1payout", "rig\"7"),
                                                  submit_line(2, "j0", 10, hash)}));
    EXPECT_EQ(lines[1], (std::vector<std::string>{login_line("qel1fee", "tovren"),
                                                  submit_line(4, "j1", 12, hash)}));
}

TEST(PoolConnection, ConcurrentSubmitsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kEach = 40;
    std::vector<std::string> received;
    std::atomic<bool> finished{false};
    TestServer server([&](ServerConn& conn, int index) {
        if (index > 0)
            return;
        std::string line;
        conn.read_line(line);
        conn.send(job_line("j") + "\n");
        while (received.size() < kThreads * kEach && conn.read_line(line)) {
            received.push_back(line);
        }
        finished = true;
    });
    Pool pool;
    LogRecorder log;
    pool.on_log = log.sink();
    pool.start(config(server.port()));
    ASSERT_TRUE(log.wait_for("new job " + kDash + " height 0, difficulty 0"));
    uint8_t hash[32] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Long job ids make each line several kilobytes, so sends can come out in parts.
            const std::string job_id(5000, static_cast<char>('a' + t));
            for (int i = 0; i < kEach; ++i)
                pool.submit(job_id, t * 1000 + i, hash);
        });
    }
    for (auto& th : threads)
        th.join();
    ASSERT_TRUE(eventually([&] { return finished.load(); }));
    pool.stop();
    ASSERT_EQ(received.size(), static_cast<size_t>(kThreads * kEach));
    std::set<uint64_t> ids;
    for (const std::string& line : received) {
        // Rebuild the line from its id, job id and nonce: any mixing of two lines breaks it.
        uint64_t id = std::stoull(line.substr(6));
        const size_t at = line.find("\"nonce\":");
        ASSERT_NE(at, std::string::npos);
        uint64_t nonce = std::stoull(line.substr(at + 8));
        const std::string job_id(5000, static_cast<char>('a' + nonce / 1000));
        ASSERT_EQ(line, submit_line(id, job_id, nonce, hash));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), received.size());
    EXPECT_EQ(*ids.begin(), 2u);
    EXPECT_EQ(*ids.rbegin(), 1u + kThreads * kEach);
}

}  // namespace
}  // namespace tovren::qel
