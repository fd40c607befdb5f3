#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "pool/pool_lines.h"
#include "support.h"

namespace tovren::qel {
namespace {

using test::job_line;
using test::kJob0;
using test::Lines;
using Clock = std::chrono::steady_clock;

// A generous bound for "promptly": below the waits it guards against (a back-off of seconds,
// a 5 s send or connect limit, and the reader's 1 s poll, which the stops while connected here
// interrupt soon after a line came, so that most of it is left), and well above what joining
// the pool thread takes on a loaded machine (half a second seen with the machine overloaded).
constexpr int kPromptMs = 800;

void sleep_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The pool's end: a socket on an ephemeral port of 127.0.0.1, listening unless backlog is
// negative (then connects are refused), and the last connection it took. Every wait gives up
// after 5 s, so a misbehaving client fails the test instead of hanging it.
struct PoolSide {
    explicit PoolSide(int backlog = 8) : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_TRUE(bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                    (backlog < 0 || listen(fd, backlog) == 0) &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kLimit, sizeof kLimit);
        port = ntohs(addr.sin_port);
        endpoint = "127.0.0.1:" + std::to_string(port);
    }
    ~PoolSide() { close(conn), close(fd); }
    // Hangs up the last connection, takes the next and returns its first line.
    std::string accept() {
        hang_up();
        conn = ::accept(fd, nullptr, nullptr);
        // Small writes leave at once, so a line split over several sends arrives split.
        const int one = 1;
        setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &kLimit, sizeof kLimit);
        return line();
    }
    void hang_up() { close(std::exchange(conn, -1)), buffer.clear(); }
    void send(const std::string& bytes) { ::send(conn, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // The next line without its line feed; empty on end of stream, error or time-out. Only
    // the bytes each read adds are searched: a line of megabytes comes in hundreds of reads.
    std::string line() {
        char chunk[65536];
        size_t end = buffer.find('\n');
        for (ssize_t n; end == std::string::npos;) {
            if ((n = recv(conn, chunk, sizeof chunk, 0)) <= 0)
                return "";
            buffer.append(chunk, n);
            end = buffer.find('\n', buffer.size() - n);
        }
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return line;
    }

    static constexpr timeval kLimit{5, 0};
    int fd, conn = -1;
    sockaddr_in addr{};
    uint16_t port;
    std::string endpoint, buffer;
};

class PoolConnection : public ::testing::Test {
  protected:
    void SetUp() override { events.attach(pool); }
    void start(uint16_t port, const std::string& address = "qel1payout",
               const std::string& worker = "rig\"7", const std::string& host = "127.0.0.1") {
        pool.start({host, port, address, worker, "tovren-qel-gpu/v1.0.3"});
    }
    // Stops promptly and leaves no connection and no minable job behind.
    void expect_prompt_stop() {
        const auto t0 = Clock::now();
        pool.stop();
        EXPECT_LT(ms_since(t0), kPromptMs);
        // The pool thread has ended: its fields can be read without a lock.
        EXPECT_FALSE(pool.connected.load() || pool.job.valid);
        EXPECT_EQ(pool.fd, -1);
    }
    PoolJob current_job() {
        std::lock_guard<std::mutex> lock(pool.job_mutex);
        return pool.job;
    }

    Pool pool;
    test::Events events;
};

// A Pool never started stops at once and sends nothing. The first session: login, lines split over
// reads, two in one read, empty lines and CRLF, a job, a share and its result; a stop, and a submit
// while stopped (it takes an id, sends nothing). A second start logs in anew, its ids and counters
// go on from before, and its connections end: with nothing (back-off 2 s); after a job, shares from
// many threads, and an unfinished line of 1 MiB, which is kept, then one of 1 MiB + 1, which ends
// it (the stored job resets the back-off to 2 s); with a rejected job only (4 s). A callback stops
// the pool then, without joining its own thread; the owner's stop joins it promptly. Each job
// carries its number and the connection it came on. Back-offs pass in 1 ms steps.
TEST_F(PoolConnection, SessionsFramingConcurrentSubmitsBackOffAndStopFromACallback) {
    PoolSide side;
    const std::string connected = "connected to " + side.endpoint;
    const std::string job42 = "new job \xE2\x80\x94 height 42, difficulty 9";
    const uint8_t hash[32] = {0xff, 0x0e, 0x00, 0x7a};
    pool.wait_step_ms = 1;
    // Never started: stops at once, also twice, and sends nothing.
    expect_prompt_stop();
    expect_prompt_stop();
    EXPECT_FALSE(pool.send_line("early"));
    start(side.port);
    EXPECT_EQ(side.accept(), R"({"id":1,"method":"login","params":{"address":"qel1payout",)"
                             R"("worker":"rig\"7","protocol_version":2,)"
                             R"("capabilities":["submit_claimed_hash"],"difficulty_hint":null}})");
    const std::string a = R"({"method":"notification","params":{"kind":"a"}})";
    side.send(a.substr(0, 10));
    sleep_ms(30);
    side.send(a.substr(10, 20));
    sleep_ms(30);
    side.send(a.substr(30) + "\n\n" + R"({"method":"notification","params":{"kind":"b"}})" +
              "\n\r\n" + job_line("job \"1\"", R"(,"height":42,"difficulty":9)") + "\r\n");
    ASSERT_TRUE(events.wait_for(job42));
    EXPECT_TRUE(pool.connected.load());
    PoolJob job = current_job();
    EXPECT_TRUE(job.valid && job.seq == 1 && job.conn_gen == 1 && job.job_id == "job \"1\"");
    pool.submit(job, 123456789, hash);
    EXPECT_EQ(side.line(), submit_line(2, "job \"1\"", 123456789, hash));
    side.send("{\"id\":2,\"status\":\"OK\"}\n");
    ASSERT_TRUE(events.wait_for("share accepted OK"));
    expect_prompt_stop();
    job.job_id = "lost";
    pool.submit(job, 11, hash);
    EXPECT_FALSE(pool.send_line("lost"));
    EXPECT_EQ(events.take(),
              (Lines{connected, "pool notice: a", "pool notice: b", job42, "share accepted OK"}));

    const std::string lost2 = "connection lost, reconnecting in 2 s";
    const std::string lost4 = "connection lost, reconnecting in 4 s";
    pool.on_log = [&](const std::string& line) {
        events.add(line);
        if (line == lost4)
            pool.stop();
    };
    const std::string fee = login_line("qel1fee", "tovren");
    start(side.port, "qel1fee", "tovren");
    EXPECT_EQ(side.accept(), fee);
    EXPECT_EQ(side.accept(), fee);
    side.send(job_line("j") + "\n");
    ASSERT_TRUE(events.wait_for(kJob0));
    job = current_job();
    EXPECT_TRUE(job.valid && job.seq == 2 && job.conn_gen == 3 && job.job_id == "j");
    // Shares from 8 threads at once, with job ids of 5000 bytes so that sends can come out in
    // parts: every line arrives whole, with its own id from 4 on.
    std::vector<PoolJob> big_ids(8, job);
    for (size_t t = 0; t < 8; ++t)
        big_ids[t].job_id = std::string(5000, 'a' + t);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < 40; ++i)
                pool.submit(big_ids[t], t * 1000 + i, hash);
        });
    }
    Lines received(320);
    for (size_t n = 0; n < received.size() && !(received[n] = side.line()).empty(); ++n) {
    }
    for (auto& th : threads)
        th.join();
    std::set<uint64_t> ids;
    for (const std::string& line : received) {
        // Rebuild the line from its id, job id and nonce: any mixing of two lines breaks it.
        const size_t at = line.find("\"nonce\":");
        ASSERT_NE(at, std::string::npos);
        const uint64_t id = std::stoull(line.substr(6)), nonce = std::stoull(line.substr(at + 8));
        ASSERT_EQ(line, submit_line(id, std::string(5000, 'a' + nonce / 1000), nonce, hash));
        ids.insert(id);
    }
    EXPECT_TRUE(ids.size() == 320 && *ids.begin() == 4 && *ids.rbegin() == 323);
    side.send("{\"id\":4,\"status\":\"OK\"}\n" + std::string(1048576, 'x'));
    sleep_ms(300);
    side.send("\n" + job_line("after") + "\n" + std::string(1048577, 'y'));
    ASSERT_TRUE(events.wait_for(lost2, 2));
    EXPECT_EQ(side.accept(), fee);
    side.send(test::job_json("\"bad\"", test::header_hex().substr(1)) + "\n");
    side.hang_up();
    ASSERT_TRUE(events.wait_for(lost4));
    expect_prompt_stop();
    EXPECT_EQ(events.take(),
              (Lines{connected, lost2, connected, kJob0, "share accepted OK", kJob0, lost2,
                     connected, "job rejected: bad header_base/target", lost4}));
    EXPECT_EQ(pool.connections.load(), 4u);
    EXPECT_EQ(pool.job_seq.load(), 3u);
}

// The dev-fee switch: a share whose job came before a stop and start (re-checked while the
// pool reconnected) is not sent on the next login's connection, though that one is up and
// logged in; it uses up its id. The new connection's first line is its login, and a share of
// its own job is the next.
TEST_F(PoolConnection, ShareGoesOutOnlyOnTheConnectionItsJobCameOn) {
    PoolSide side;
    const uint8_t hash[32] = {0x5a};
    start(side.port, "qel1user", "rig");
    ASSERT_EQ(side.accept(), login_line("qel1user", "rig"));
    side.send(job_line("user-job") + "\n");
    ASSERT_TRUE(events.wait_for(kJob0));
    const PoolJob user_job = current_job();
    pool.stop();
    start(side.port, "qel1fee", "tovren");
    ASSERT_EQ(side.accept(), login_line("qel1fee", "tovren"));
    pool.submit(user_job, 7, hash);
    side.send(job_line("fee-job") + "\n");
    ASSERT_TRUE(events.wait_for(kJob0, 2));
    pool.submit(current_job(), 8, hash);
    EXPECT_EQ(side.line(), submit_line(3, "fee-job", 8, hash));
    expect_prompt_stop();
}

// A refused connection and a host that does not resolve cannot be reached; a stop during the
// back-off that follows is prompt. Against a listener whose accept queue is full, so that
// connects hang, a stop during a connect is prompt, and a connect gives up after its bound.
TEST_F(PoolConnection, UnreachablePoolsBackOffAndHangingConnectsTimeOut) {
    const PoolSide refused(-1);
    const std::string cannot = "cannot reach " + refused.endpoint + ", retry in ";
    start(refused.port);
    ASSERT_TRUE(events.wait_for(cannot + "2 s"));
    expect_prompt_stop();
    start(3333, "a", "w", "qel-pool.invalid");
    ASSERT_TRUE(events.wait_for("cannot reach qel-pool.invalid:3333, retry in 2 s", 1, 30000));
    expect_prompt_stop();

    const PoolSide full(0);
    // Connects until one hangs: the last filler's handshake does not complete.
    std::vector<int> fillers;
    for (pollfd p{-1, POLLOUT, 0}; fillers.size() < 8 && (p.fd < 0 || poll(&p, 1, 200) > 0);) {
        fillers.push_back(p.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(p.fd, reinterpret_cast<const sockaddr*>(&full.addr), sizeof full.addr);
    }
    start(full.port);
    sleep_ms(300);
    expect_prompt_stop();
    const auto t0 = Clock::now();
    start(full.port);
    ASSERT_TRUE(events.wait_for("cannot reach " + full.endpoint + ", retry in 2 s"));
    EXPECT_GE(ms_since(t0), 4500);
    pool.stop();
    EXPECT_EQ(events.take(),
              (Lines{cannot + "2 s", "cannot reach qel-pool.invalid:3333, retry in 2 s",
                     "cannot reach " + full.endpoint + ", retry in 2 s"}));
    EXPECT_EQ(pool.connections.load(), 0u);
    for (int filler : fillers)
        close(filler);
}

// The back-off goes on from "cannot reach" into "connection lost": after 2 and 4 s unreachable,
// connections that bring nothing are lost with 8, 15, 15 s; one that stored a job starts again
// at 2 s; a start begins at 2 s. Every delay shown is waited before the next attempt (in 1 ms
// steps here); with the usual steps a stop during it is prompt.
TEST_F(PoolConnection, BackOffGoesOnFromUnreachableIntoLostUntilAJobOrAStart) {
    PoolSide side(-1);
    const std::string cannot = "cannot reach " + side.endpoint + ", retry in ";
    const std::string connected = "connected to " + side.endpoint;
    const std::string lost = "connection lost, reconnecting in ";
    std::mutex mutex;
    std::vector<std::pair<std::string, Clock::time_point>> stamped;
    pool.on_log = [&](const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stamped.emplace_back(line, Clock::now());
        }
        if (line == cannot + "4 s")
            listen(side.fd, 8);  // the third attempt connects
        events.add(line);
    };
    const std::string login = login_line("qel1payout", "rig\"7");
    pool.wait_step_ms = 1;
    start(side.port);
    ASSERT_TRUE(events.wait_for(cannot + "4 s"));
    // Each accept hangs up the connection before it.
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(side.accept(), login);
    side.send(job_line("j") + "\n");
    ASSERT_TRUE(events.wait_for(kJob0));
    EXPECT_EQ(side.accept(), login);
    EXPECT_EQ(side.accept(), login);
    expect_prompt_stop();
    // Each line and the least time, in ms, until the next one.
    const std::pair<std::string, int> expected[] = {
        {cannot + "2 s", 20}, {cannot + "4 s", 40}, {connected, 0},     {lost + "8 s", 80},
        {connected, 0},       {lost + "15 s", 150}, {connected, 0},     {lost + "15 s", 150},
        {connected, 0},       {kJob0, 0},           {lost + "2 s", 20}, {connected, 0},
        {lost + "4 s", 40},   {connected, 0}};
    ASSERT_EQ(stamped.size(), std::size(expected));
    for (size_t i = 0; i < stamped.size(); ++i)
        EXPECT_EQ(stamped[i].first, expected[i].first) << i;
    for (size_t i = 0; i + 1 < stamped.size(); ++i) {
        EXPECT_GE(stamped[i + 1].second - stamped[i].second,
                  std::chrono::milliseconds(expected[i].second))
            << i;
    }

    // The last delay was 8 s; a new start shows 2 s again.
    pool.wait_step_ms = 100;
    start(side.port);
    EXPECT_EQ(side.accept(), login);
    side.hang_up();
    ASSERT_TRUE(events.wait_for(lost + "2 s", 2));
    expect_prompt_stop();
    ASSERT_EQ(stamped.size(), std::size(expected) + 2);
    EXPECT_EQ(stamped.back().first, lost + "2 s");
}

// Signals that interrupt the back-off's sleeps do not shorten it: a step sleeps on for what is
// left of it.
TEST_F(PoolConnection, SignalsDoNotShortenTheBackOff) {
    struct sigaction ignore = {}, before = {};
    ignore.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &ignore, &before), 0);  // without SA_RESTART
    const PoolSide refused(-1);
    const std::string cannot = "cannot reach " + refused.endpoint + ", retry in ";
    std::mutex mutex;
    std::vector<Clock::time_point> attempts;
    pool.on_log = [&](const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            attempts.push_back(Clock::now());
        }
        events.add(line);
    };
    pool.wait_step_ms = 20;
    start(refused.port);
    ASSERT_TRUE(events.wait_for(cannot + "2 s"));
    // A signal about every millisecond until the next attempt, for at most 5 s.
    for (const auto t0 = Clock::now();
         !events.wait_for(cannot + "4 s", 1, 1) && ms_since(t0) < 5000;)
        pthread_kill(pool.conn_thread.native_handle(), SIGUSR1);
    expect_prompt_stop();
    sigaction(SIGUSR1, &before, nullptr);
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_GE(attempts[1] - attempts[0], std::chrono::milliseconds(400));
}

// A callback that stops the Pool while it is connected cannot join the pool thread: the thread
// closes the connection and ends by itself, and a start then joins it before starting anew.
TEST_F(PoolConnection, StopFromACallbackWhileConnected) {
    PoolSide side;
    const std::string connected = "connected to " + side.endpoint;
    pool.on_log = [&](const std::string& line) {
        events.add(line);
        if (line == "pool notice: stop")
            pool.stop();
    };
    start(side.port);
    side.accept();
    side.send(R"({"method":"notification","params":{"kind":"stop"}})"
              "\n");
    // Connected is still false until the pool thread has logged the connection: it alone
    // cannot tell that the stop has come.
    ASSERT_TRUE(events.wait_for("pool notice: stop"));
    EXPECT_TRUE(testing::wait_for({[&] { return !pool.connected.load(); }, [] { return 0; }}));
    start(side.port);
    EXPECT_EQ(side.accept(), login_line("qel1payout", "rig\"7"));
    expect_prompt_stop();
    EXPECT_EQ(events.take(), (Lines{connected, "pool notice: stop", connected}));
}

// A line far larger than the socket buffers goes out in many parts while the pool reads them,
// and arrives whole and in order.
TEST_F(PoolConnection, LineLargerThanTheSocketBuffersArrivesWhole) {
    PoolSide side;
    start(side.port);
    side.accept();
    std::string big(16 << 20, ' ');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 23);
    std::atomic<bool> sent{false};
    std::thread sender([&] { sent = pool.send_line(big); });
    const std::string received = side.line();
    sender.join();
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(received.size(), big.size());
    EXPECT_TRUE(received == big);
    expect_prompt_stop();
}

// Against a pool that never reads, so that sends back up: a stop during a blocked send is
// prompt, and a send that cannot finish within its bound fails and ends the connection.
TEST_F(PoolConnection, BlockedSendTimesOutAndStopsPromptly) {
    const PoolSide side;
    const std::string big(16 << 20, 'z');
    const std::string connected = "connected to " + side.endpoint;
    start(side.port);
    ASSERT_TRUE(events.wait_for(connected));
    std::atomic<bool> sent{true};
    std::thread sender([&] { sent = pool.send_line(big); });
    sleep_ms(300);
    expect_prompt_stop();
    sender.join();
    EXPECT_FALSE(sent.load());

    start(side.port);
    ASSERT_TRUE(events.wait_for(connected, 2));
    const auto t0 = Clock::now();
    EXPECT_FALSE(pool.send_line(big));
    EXPECT_GE(ms_since(t0), 4500);
    EXPECT_TRUE(events.wait_for("connection lost, reconnecting in 2 s"));
    pool.stop();
}

}  // namespace
}  // namespace tovren::qel
