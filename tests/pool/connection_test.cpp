#include <gtest/gtest.h>
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
using test::ServerConn;
using test::TestServer;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

const std::string kJob0 = "new job \xE2\x80\x94 height 0, difficulty 0";
// Generous bounds for "promptly": far below the waits they guard against (a 1 s read poll,
// a back-off of seconds, a 5 s send or connect limit), far above scheduling noise.
constexpr int kPromptMs = 500;

std::string endpoint(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string read_login(ServerConn& conn) {
    std::string login;
    conn.read_line(login);
    return login;
}

// Waits for cond in small steps, up to timeout_ms.
template <typename F>
bool eventually(F cond, int timeout_ms = 5000) {
    for (auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms); !cond();) {
        if (Clock::now() > deadline)
            return false;
        sleep_ms(5);
    }
    return true;
}

class PoolConnection : public ::testing::Test {
  protected:
    void SetUp() override { pool.on_log = log.sink(); }

    void start(uint16_t port, const std::string& host = "127.0.0.1",
               const std::string& address = "qel1payout", const std::string& worker = "rig\"7") {
        Pool::Config c;
        c.host = host;
        c.port = port;
        c.address = address;
        c.worker = worker;
        c.agent = "tovren-qel-gpu/v1.0.3";
        pool.start(c);
    }
    int64_t stop_ms() {
        const auto t0 = Clock::now();
        pool.stop();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    }
    PoolJob current_job() {
        std::lock_guard<std::mutex> lock(pool.job_mutex);
        return pool.job;
    }
    // Records share results in the log, as "share accepted OK" or "share rejected <error>".
    void log_results() {
        pool.on_share_result = [sink = log.sink()](bool ok, const std::string& m) {
            sink((ok ? "share accepted " : "share rejected ") + m);
        };
    }
    // Stops promptly and leaves no connection and no minable job behind.
    void expect_prompt_stop() {
        EXPECT_LT(stop_ms(), kPromptMs);
        EXPECT_FALSE(pool.connected.load());
        EXPECT_FALSE(current_job().valid);
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        EXPECT_EQ(pool.fd, -1);
    }

    Pool pool;
    test::LogRecorder log;
};

// A session: login, job, submit and its result; a stop; a submit while stopped (it takes an id
// and sends nothing); a start with another login whose ids and counters go on from before.
TEST_F(PoolConnection, SessionsLoginTakeJobsAndSubmitWithIdsThatGoOn) {
    Lines lines[2];
    std::atomic<int> finished{0};
    TestServer server([&](ServerConn& conn, int index) {
        if (index > 1)
            return;
        std::string line = read_login(conn);
        lines[index].push_back(line);
        conn.send(job_line(index == 0 ? "job \"1\"" : "j", R"(,"height":42,"difficulty":9)") +
                  "\n");
        if (conn.read_line(line)) {
            lines[index].push_back(line);
            conn.send("{\"id\":" + std::to_string(2 + 2 * index) + ",\"status\":\"OK\"}\n");
        }
        conn.wait_closed();
        ++finished;
    });
    log_results();
    const uint8_t hash[32] = {0xff, 0x0e, 0x00, 0x7a};
    const std::string job_log = "new job \xE2\x80\x94 height 42, difficulty 9";
    start(server.port());
    ASSERT_TRUE(log.wait_for(job_log));
    EXPECT_TRUE(pool.connected.load());
    PoolJob job = current_job();
    EXPECT_TRUE(job.valid && job.seq == 1 && job.conn_gen == 1);
    pool.submit(job.job_id, 123456789, hash);
    ASSERT_TRUE(log.wait_for("share accepted OK"));
    expect_prompt_stop();
    pool.submit("lost", 11, hash);
    const std::string connected = "connected to " + endpoint(server.port());
    EXPECT_EQ(log.lines(), (Lines{connected, job_log, "share accepted OK"}));

    start(server.port(), "127.0.0.1", "qel1fee", "tovren");
    ASSERT_TRUE(log.wait_for(job_log, 2));
    pool.submit("j", 0, hash);
    ASSERT_TRUE(log.wait_for("share accepted OK", 2));
    EXPECT_EQ(pool.connections.load(), 2u);
    EXPECT_EQ(pool.job_seq.load(), 2u);
    EXPECT_EQ(current_job().conn_gen, 2u);
    expect_prompt_stop();
    ASSERT_TRUE(eventually([&] { return finished == 2; }));
    EXPECT_EQ(lines[0], (Lines{login_line("qel1payout", "rig\"7"),
                               submit_line(2, "job \"1\"", 123456789, hash)}));
    EXPECT_EQ(lines[1], (Lines{login_line("qel1fee", "tovren"), submit_line(4, "j", 0, hash)}));
}

// Lines split over reads, two in one read, empty lines and CRLF; an unfinished line of 1 MiB
// keeps the connection, one byte more ends it.
TEST_F(PoolConnection, LineFramingAndTheOneMebibyteLimit) {
    TestServer server([&](ServerConn& conn, int index) {
        if (index > 0)
            return;
        read_login(conn);
        const std::string a = R"({"method":"notification","params":{"kind":"a"}})";
        conn.send(a.substr(0, 10));
        sleep_ms(30);
        conn.send(a.substr(10, 20));
        sleep_ms(30);
        conn.send(a.substr(30) + "\n\n" + R"({"method":"notification","params":{"kind":"b"}})" +
                  "\n\r\n" + job_line("c") + "\r\n" + std::string(1048576, 'x'));
        sleep_ms(300);
        conn.send("\n" + job_line("after") + "\n" + std::string(1048577, 'y'));
        conn.wait_closed();
    });
    start(server.port());
    ASSERT_TRUE(log.wait_for("connection lost, reconnecting in 2 s"));
    pool.stop();
    const std::string connected = "connected to " + endpoint(server.port());
    EXPECT_EQ(log.lines(), (Lines{connected, "pool notice: a", "pool notice: b", kJob0, kJob0,
                                  "connection lost, reconnecting in 2 s"}));
}

// Connections that bring nothing, or only a rejected job, back off 2, 4, ... s; one that
// stored a job starts again at 2 s. A stop during the back-off is prompt.
TEST_F(PoolConnection, OnlyAStoredJobResetsTheBackOff) {
    TestServer server([&](ServerConn& conn, int index) {
        EXPECT_EQ(read_login(conn), login_line("qel1payout", "rig\"7"));
        if (index == 1)
            conn.send(job_line("j") + "\n");
        if (index == 2)
            conn.send(test::job_json("\"bad\"", test::header_hex().substr(1), test::target_hex()) +
                      "\n");
        sleep_ms(50);  // lets the client read what was sent before the close
    });
    start(server.port());
    ASSERT_TRUE(log.wait_for("connection lost, reconnecting in 4 s"));
    expect_prompt_stop();
    const std::string connected = "connected to " + endpoint(server.port());
    EXPECT_EQ(log.lines(), (Lines{connected, "connection lost, reconnecting in 2 s", connected,
                                  kJob0, "connection lost, reconnecting in 2 s", connected,
                                  "job rejected: bad header_base/target",
                                  "connection lost, reconnecting in 4 s"}));
}

TEST_F(PoolConnection, RefusedConnectionsBackOffAndStopIsPrompt) {
    int fd;
    const uint16_t port = test::bind_loopback(-1, fd);
    start(port);
    ASSERT_TRUE(log.wait_for("cannot reach " + endpoint(port) + ", retry in 4 s"));
    expect_prompt_stop();
    close(fd);
    EXPECT_EQ(log.lines(), (Lines{"cannot reach " + endpoint(port) + ", retry in 2 s",
                                  "cannot reach " + endpoint(port) + ", retry in 4 s"}));
    EXPECT_EQ(pool.connections.load(), 0u);
}

TEST_F(PoolConnection, UnresolvableHostCannotBeReached) {
    start(3333, "qel-pool.invalid");
    EXPECT_TRUE(log.wait_for("cannot reach qel-pool.invalid:3333, retry in 2 s", 1, 30000));
    EXPECT_LT(stop_ms(), kPromptMs);
    EXPECT_EQ(log.lines().size(), 1u);
}

// Against a listener whose accept queue is full, so that connects hang: a stop during a connect
// is prompt, and a connect gives up after its bound as a failed address.
TEST_F(PoolConnection, HangingConnectTimesOutAndStopsPromptly) {
    int listen_fd;
    const uint16_t port = test::bind_loopback(0, listen_fd);
    const sockaddr_in a = test::loopback(port);
    std::vector<int> fillers;
    for (bool hangs = false; !hangs && fillers.size() < 8;) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        pollfd p{fillers.back(), POLLOUT, 0};
        hangs = connect(p.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 &&
                poll(&p, 1, 200) == 0;
    }
    start(port);
    sleep_ms(300);
    expect_prompt_stop();
    EXPECT_TRUE(log.lines().empty());

    const auto t0 = Clock::now();
    start(port);
    ASSERT_TRUE(log.wait_for("cannot reach " + endpoint(port) + ", retry in 2 s", 1, 15000));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(4500));
    pool.stop();
    EXPECT_EQ(pool.connections.load(), 0u);
    for (int fd : fillers)
        close(fd);
    close(listen_fd);
}

// Against a server that reads the login and then nothing, so that sends back up: a stop during
// a blocked send is prompt, and a send that cannot finish within its bound fails and ends the
// connection.
TEST_F(PoolConnection, BlockedSendTimesOutAndStopsPromptly) {
    std::atomic<bool> release{false};
    TestServer server([&](ServerConn& conn, int) {
        read_login(conn);
        int small = 4096;
        setsockopt(conn.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        for (int i = 0; i < 500 && !release; ++i)
            sleep_ms(20);
    });
    start(server.port());
    ASSERT_TRUE(eventually([&] { return pool.connected.load(); }));
    std::atomic<bool> sent{true};
    std::thread sender([&] { sent = pool.send_line(std::string(16 << 20, 'z')); });
    sleep_ms(300);
    expect_prompt_stop();
    sender.join();
    EXPECT_FALSE(sent.load());

    // The stalled script still holds the server, so nobody reads the new connection either.
    start(server.port());
    ASSERT_TRUE(eventually([&] { return pool.connected.load(); }));
    const auto t0 = Clock::now();
    EXPECT_FALSE(pool.send_line(std::string(16 << 20, 'z')));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(4500));
    EXPECT_TRUE(log.wait_for("connection lost, reconnecting in 2 s"));
    pool.stop();
    release = true;
}

// A callback that stops the Pool must not join its own thread (that would deadlock or end the
// process): the thread winds down by itself, the owner's stop joins it, and a start works.
TEST_F(PoolConnection, StopFromACallbackEndsTheThreadWithoutJoiningItself) {
    TestServer server([&](ServerConn& conn, int) {
        read_login(conn);
        conn.send(job_line("j") + "\n");
        conn.wait_closed();
    });
    std::atomic<bool> returned{false};
    pool.on_log = [&, record = log.sink()](const std::string& line) {
        record(line);
        if (line == kJob0 && !returned) {
            pool.stop();
            returned = true;
        }
    };
    start(server.port());
    ASSERT_TRUE(eventually([&] { return returned.load(); }));
    ASSERT_TRUE(eventually([&] { return !pool.connected.load(); }));
    expect_prompt_stop();
    EXPECT_EQ(log.lines(), (Lines{"connected to " + endpoint(server.port()), kJob0}));

    start(server.port());
    ASSERT_TRUE(log.wait_for("connected to " + endpoint(server.port()), 2));
    expect_prompt_stop();
}

TEST_F(PoolConnection, ConcurrentSubmitsNeverInterleave) {
    constexpr int kThreads = 8;
    constexpr int kEach = 40;
    Lines received;
    std::atomic<bool> finished{false};
    TestServer server([&](ServerConn& conn, int index) {
        if (index > 0)
            return;
        std::string line = read_login(conn);
        conn.send(job_line("j") + "\n");
        while (received.size() < kThreads * kEach && conn.read_line(line))
            received.push_back(line);
        finished = true;
    });
    start(server.port());
    ASSERT_TRUE(log.wait_for(kJob0));
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
        const uint64_t id = std::stoull(line.substr(6));
        const size_t at = line.find("\"nonce\":");
        ASSERT_NE(at, std::string::npos);
        const uint64_t nonce = std::stoull(line.substr(at + 8));
        ASSERT_EQ(line, submit_line(id, std::string(5000, 'a' + nonce / 1000), nonce, hash));
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), received.size());
    EXPECT_EQ(*ids.begin(), 2u);
    EXPECT_EQ(*ids.rbegin(), 1u + kThreads * kEach);
}

}  // namespace
}  // namespace tovren::qel
