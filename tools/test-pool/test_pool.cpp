#include "test_pool.h"

#include <argon2.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

namespace tovren::qel::testing {

namespace {

constexpr char kSalt[] = "Skelvarin/pow/v1";

// Longer than any request a miner writes: the rest of such a line is not waited for.
constexpr size_t kMaxLine = 64 * 1024;
// After an accept fails, mostly for want of a descriptor, the listening socket stays readable
// and would wake every poll at once; the connection waits in the listen queue meanwhile.
constexpr std::chrono::milliseconds kAcceptRetry{100};

using Clock = Outbox::Clock;

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool unhex(const std::string& text, uint8_t* out, size_t n) {
    if (text.size() != 2 * n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        const int hi = hex_digit(text[2 * i]);
        const int lo = hex_digit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

// The text as a JSON string; bytes that are not UTF-8 (a refused line may quote some) are
// replaced rather than sent.
std::string json_text(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The hash read little-endian against the target read big-endian.
bool meets(const uint8_t* hash, const uint8_t* target) {
    for (int i = 0; i < 32; ++i) {
        if (hash[31 - i] != target[i])
            return hash[31 - i] < target[i];
    }
    return true;
}

}  // namespace

std::string TestPool::default_judge(const PoolSubmit& s) {
    if (!s.known_job)
        return "unknown job";
    if (!s.in_range)
        return "nonce out of range";
    if (!s.hash_ok)
        return "wrong hash";
    if (!s.meets_target)
        return "low difficulty share";
    if (s.duplicate)
        return "duplicate share";
    return "";
}

std::array<uint8_t, 32> TestPool::target_one_in(uint32_t n) {
    // (2^256 - 1) / n by long division, most significant byte first.
    std::array<uint8_t, 32> t{};
    uint64_t rest = 0;
    for (uint8_t& byte : t) {
        rest = rest * 256 + 255;
        byte = static_cast<uint8_t>(rest / std::max<uint32_t>(n, 1));
        rest %= std::max<uint32_t>(n, 1);
    }
    return t;
}

std::string TestPool::job_line(const PoolTestJob& job) {
    return "\"job_id\":" + json_text(job.job_id) + ",\"header_base\":\"" +
           hex(job.header.data(), 112) + "\",\"target\":\"" + hex(job.target.data(), 32) +
           "\",\"network_target\":\"" + hex(job.network_target.data(), 32) +
           "\",\"height\":" + std::to_string(job.height) +
           ",\"nonce_start\":" + std::to_string(job.nonce_start) +
           ",\"nonce_end\":" + std::to_string(job.nonce_end) +
           ",\"difficulty\":" + std::to_string(job.difficulty);
}

TestPool::TestPool(uint16_t port) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return;
    }
    listen_fd_ = fd;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread(&TestPool::serve, this);
}

TestPool::~TestPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (wake_[1] >= 0)
        (void)!write(wake_[1], "x", 1);
    if (thread_.joinable())
        thread_.join();
    for (Conn& c : conns_)
        close(c.fd);
    if (listen_fd_ >= 0)
        close(listen_fd_);
    for (int fd : wake_) {
        if (fd >= 0)
            close(fd);
    }
}

void TestPool::set_job(const PoolTestJob& job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = job;
        have_job_ = true;
        job_pending_ = true;
        sent_jobs_.push_back(job);
    }
    (void)!write(wake_[1], "j", 1);
}

void TestPool::set_judge(Judge judge) {
    std::lock_guard<std::mutex> lock(mutex_);
    judge_ = std::move(judge);
}

void TestPool::close_connections() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        close_requested_ = true;
    }
    (void)!write(wake_[1], "c", 1);
}

void TestPool::set_event_printer(std::function<void(const std::string&)> printer) {
    std::lock_guard<std::mutex> lock(mutex_);
    printer_ = std::move(printer);
}

void TestPool::set_unread_limit(std::chrono::milliseconds limit) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unread_limit_ = limit;
    }
    (void)!write(wake_[1], "l", 1);
}

std::vector<PoolLogin> TestPool::logins() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logins_;
}

std::vector<PoolSubmit> TestPool::submits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return submits_;
}

int TestPool::connections_accepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

uint64_t TestPool::rounds() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_;
}

bool TestPool::wait_until(
    const std::function<bool(const std::vector<PoolLogin>&, const std::vector<PoolSubmit>&)>& pred,
    int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return pred(logins_, submits_); });
}

void TestPool::event(const std::string& text) {
    std::function<void(const std::string&)> printer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        printer = printer_;
    }
    if (printer)
        printer(text);
}

void TestPool::send_to(Conn& conn, const std::string& line) {
    conn.out.send(conn.fd, line + "\n", Clock::now());
}

PoolSubmit TestPool::check_submit(int connection, const PoolRequest& request) {
    PoolSubmit s{};
    s.connection = connection;
    s.id = request.id;
    s.job_id = request.job_id;
    s.nonce = request.nonce;
    s.claimed_hash = request.claimed_hash;
    PoolTestJob job;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = sent_jobs_.rbegin(); it != sent_jobs_.rend(); ++it) {
            if (it->job_id == s.job_id) {
                job = *it;
                s.known_job = true;
                break;
            }
        }
        s.duplicate = !shares_.emplace(s.job_id, s.nonce).second;
    }
    if (!s.known_job)
        return s;
    s.in_range = s.nonce >= job.nonce_start && s.nonce <= job.nonce_end;
    uint8_t claimed[32];
    if (!unhex(s.claimed_hash, claimed, 32))
        return s;
    uint8_t pwd[120];
    std::memcpy(pwd, job.header.data(), 112);
    for (int i = 0; i < 8; ++i)
        pwd[112 + i] = static_cast<uint8_t>(s.nonce >> (8 * i));
    uint8_t real[32];
    s.hash_ok = argon2id_hash_raw(1, 8192, 1, pwd, sizeof pwd, kSalt, sizeof kSalt - 1, real,
                                  sizeof real) == ARGON2_OK &&
                std::memcmp(real, claimed, 32) == 0;
    s.meets_target = meets(real, job.target.data());
    return s;
}

void TestPool::refuse(Conn& conn, const std::string& id, const std::string& reason) {
    send_to(conn, "{\"id\":" + id + ",\"error\":" + json_text(reason) + "}");
    event("refused a line from connection " + std::to_string(conn.index) + ": " + reason);
}

void TestPool::handle_line(Conn& conn, const std::string& line) {
    PoolRequest request;
    PoolRefusal refusal;
    if (!read_request(line, request, refusal)) {
        refuse(conn, refusal.id ? std::to_string(*refusal.id) : "null", refusal.reason);
        return;
    }
    const std::string id = std::to_string(request.id);
    if (request.method == PoolRequest::Method::Login) {
        PoolLogin login{conn.index, request.address, request.worker};
        std::string result = "\"status\":\"OK\"";
        {
            std::lock_guard<std::mutex> lock(mutex_);
            logins_.push_back(login);
            if (have_job_)
                result = job_line(job_) + "," + result;
        }
        changed_.notify_all();
        conn.logged_in = true;
        send_to(conn, "{\"id\":" + id + ",\"result\":{" + result + "},\"error\":null}");
        event("login " + login.address + " worker " + login.worker);
        return;
    }
    PoolSubmit s = check_submit(conn.index, request);
    Judge judge;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        judge = judge_;
    }
    s.error = judge(s);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        submits_.push_back(s);
    }
    changed_.notify_all();
    if (s.error.empty()) {
        send_to(conn, "{\"id\":" + id + ",\"status\":\"OK\"}");
    } else {
        send_to(conn, "{\"id\":" + id + ",\"error\":" + json_text(s.error) + "}");
    }
    event("share nonce " + std::to_string(s.nonce) + ": " +
          (s.error.empty() ? "accepted" : "rejected (" + s.error + ")"));
}

void TestPool::read_from(Conn& conn) {
    char chunk[8192];
    const ssize_t n = recv(conn.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    // Only the reader closes a connection that has gone: whatever came before the end is still
    // read, though the replies to it can no longer be sent.
    if (n <= 0) {
        conn.closing = true;
        return;
    }
    conn.buffer.append(chunk, static_cast<size_t>(n));
    size_t from = 0;
    size_t nl;
    while ((nl = conn.buffer.find('\n', from)) != std::string::npos && nl - from <= kMaxLine) {
        handle_line(conn, conn.buffer.substr(from, nl - from));
        from = nl + 1;
    }
    conn.buffer.erase(0, from);
    // What is left is the start of a line, whole or not; one this long is no request.
    if (std::min(conn.buffer.find('\n'), conn.buffer.size()) > kMaxLine) {
        refuse(conn, "null", "line longer than " + std::to_string(kMaxLine) + " bytes");
        conn.closing = true;
    }
}

// Pauses the reading of a client with too much of its output waiting, and drops one whose
// output has waited for the limit with none of it taken.
void TestPool::watch_output(Conn& conn, Clock::duration limit) {
    if (conn.closing)
        return;
    const std::string who = "connection " + std::to_string(conn.index);
    if (conn.out.stalled(Clock::now()) >= limit) {
        conn.closing = true;
        event("dropped " + who + ": " + std::to_string(conn.out.pending()) +
              " bytes of replies went unread for " +
              std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count()) +
              " ms");
        return;
    }
    const bool paused = reading_paused(conn.paused, conn.out.pending());
    if (paused != conn.paused) {
        conn.paused = paused;
        // A failed send leaves nothing waiting: the reader, read again, finds the end.
        if (!conn.out.failed()) {
            event(paused ? who + " leaves its replies unread: its requests wait"
                         : who + " reads its replies again");
        }
    }
}

int TestPool::poll_timeout_ms(Clock::duration limit) const {
    Clock::duration wait = std::chrono::seconds(1);
    const Clock::time_point now = Clock::now();
    for (const Conn& c : conns_) {
        if (c.out.pending() > 0)
            wait = std::min(wait, limit - c.out.stalled(now));
    }
    if (accept_again_ > now)
        wait = std::min(wait, accept_again_ - now);
    // Rounded up, so that the poll does not end just before the limit and spin.
    return static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(wait).count() + 1));
}

void TestPool::accept_client() {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        // Whatever the cause, the next try waits: a failure that lasts, such as EMFILE, must
        // not keep the thread busy, and one that does not (a client gone before it was
        // accepted) costs at most that wait.
        accept_again_ = Clock::now() + kAcceptRetry;
        if (!accept_failing_) {
            event(std::string("cannot accept a connection (") + std::strerror(error) +
                  "): trying again every " + std::to_string(kAcceptRetry.count()) + " ms");
        }
        accept_failing_ = true;
        return;
    }
    if (accept_failing_)
        event("accepting connections again");
    accept_failing_ = false;
    int index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index = accepted_++;
    }
    conns_.emplace_back(fd, index);
}

void TestPool::serve() {
    for (;;) {
        Clock::duration limit;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            limit = unread_limit_;
        }
        const short accepting = Clock::now() >= accept_again_ ? POLLIN : 0;
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {listen_fd_, accepting, 0}};
        for (const Conn& c : conns_) {
            const short out = c.out.pending() > 0 ? POLLOUT : 0;
            fds.push_back({c.fd, static_cast<short>((c.paused ? 0 : POLLIN) | out), 0});
        }
        if (poll(fds.data(), fds.size(), poll_timeout_ms(limit)) < 0)
            continue;

        bool stop = false;
        bool drop = false;
        bool broadcast = false;
        PoolTestJob job;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++rounds_;
            stop = stopping_;
            drop = close_requested_;
            broadcast = job_pending_;
            job = job_;
            close_requested_ = false;
            job_pending_ = false;
        }
        if (stop)
            return;
        char drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
        if (drop) {
            for (Conn& c : conns_)
                close(c.fd);
            conns_.clear();
            continue;
        }
        if (broadcast) {
            for (Conn& c : conns_) {
                if (c.logged_in)
                    send_to(c, "{\"method\":\"job\",\"params\":{" + job_line(job) + "}}");
            }
            event("new job " + job.job_id + " at height " + std::to_string(job.height));
        }
        if (fds[1].revents & POLLIN)
            accept_client();
        // Connections that were polled, by position; those accepted just now wait a round.
        for (size_t k = 2; k < fds.size(); ++k) {
            Conn& c = conns_[k - 2];
            if (fds[k].revents & (POLLOUT | POLLERR | POLLHUP))
                c.out.flush(c.fd, Clock::now());
            if ((fds[k].events & POLLIN) && (fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                read_from(c);
        }
        for (Conn& c : conns_) {
            watch_output(c, limit);
            if (c.closing)
                close(c.fd);
        }
        conns_.erase(
            std::remove_if(conns_.begin(), conns_.end(), [](const Conn& c) { return c.closing; }),
            conns_.end());
    }
}

}  // namespace tovren::qel::testing
