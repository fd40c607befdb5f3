#include "pool/pool.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "pool/host_lookup.h"
#include "pool/pool_lines.h"
#include "pool/tcp.h"

namespace tovren::qel {

namespace {

constexpr int kFirstDelayS = 2;
constexpr int kMaxDelayS = 15;
// Each address gets this long to accept a connection before the next one is tried.
constexpr int kConnectTimeoutMs = 5000;
// A line that cannot go out whole in this time counts as a failed send.
constexpr int kSendTimeoutMs = 5000;
// How often the reader, and a name lookup in progress, look at the running flag.
constexpr int kReadPollMs = 1000;
constexpr int kLookupSliceMs = 100;
constexpr size_t kChunkBytes = 8192;
// An unfinished line may grow to this size; one byte more ends the connection.
constexpr size_t kMaxLineBytes = 1048576;

// The Pool whose thread this is, if any: a callback that stops its own Pool must not join
// itself, and must not read conn_thread, which the owner's thread writes.
thread_local const Pool* t_own_pool = nullptr;

void sleep_ms(int ms) {
    timespec left{ms / 1000, ms % 1000 * 1000L * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

Pool::~Pool() {
    stop();
}

void Pool::start(const Config& config) {
    if (conn_thread.joinable())
        stop();
    cfg = config;
    running.exchange(true);
    conn_thread = std::thread(&Pool::run, this);
}

void Pool::stop() {
    running.exchange(false);
    {
        std::lock_guard<std::mutex> lock(send_mutex);
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
    }
    // From the pool thread itself (a callback) the flag and the shutdown are all it can do.
    if (t_own_pool != this && conn_thread.joinable())
        conn_thread.join();
}

bool Pool::send_line(const std::string& line) {
    std::lock_guard<std::mutex> lock(send_mutex);
    return send_locked(line);
}

bool Pool::send_locked(const std::string& line) {
    std::string data;
    data.reserve(line.size() + 1);
    data = line;
    data += '\n';
    if (fd < 0)
        return false;
    if (tcp_send_all(fd, data.data(), data.size(), kSendTimeoutMs, running))
        return true;
    // Part of the line may be out: the next line would arrive glued to it, so this connection
    // is finished. The reader sees the shutdown and reconnects.
    shutdown(fd, SHUT_RDWR);
    return false;
}

void Pool::log(const std::string& message) {
    if (on_log)
        on_log(message);
}

void Pool::wait_seconds(int seconds) {
    for (int step = 0; step < seconds * 10 && running; ++step) {
        sleep_ms(wait_step_ms);
    }
}

int Pool::open_connection(bool& abandoned) {
    abandoned = false;
    HostLookup lookup(cfg.host, cfg.port);
    while (!lookup.wait_for(kLookupSliceMs)) {
        if (!running) {
            abandoned = true;
            return -1;
        }
    }
    for (const addrinfo* ai = lookup.addresses(); ai != nullptr; ai = ai->ai_next) {
        int sock = -1;
        ConnectResult r = tcp_connect(*ai, kConnectTimeoutMs, running, sock);
        if (r == ConnectResult::Connected)
            return sock;
        if (r == ConnectResult::Abandoned) {
            abandoned = true;
            return -1;
        }
    }
    return -1;
}

void Pool::read_lines(int sock) {
    std::string buffer;
    char chunk[kChunkBytes];
    while (running) {
        pollfd p{sock, POLLIN, 0};
        int r = poll(&p, 1, kReadPollMs);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (r == 0)
            continue;
        ssize_t n = recv(sock, chunk, sizeof chunk, 0);
        if (n <= 0)
            return;
        // What was buffered before holds no line feed, so only the new bytes need a search.
        size_t scan = buffer.size();
        buffer.append(chunk, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = buffer.find('\n', scan)) != std::string::npos; scan = start) {
            if (nl > start)
                handle_message(buffer.substr(start, nl - start));
            start = nl + 1;
        }
        buffer.erase(0, start);
        if (buffer.size() > kMaxLineBytes)
            return;
    }
}

void Pool::run() {
    t_own_pool = this;
    const std::string endpoint = cfg.host + ":" + std::to_string(cfg.port);
    int delay = kFirstDelayS;
    while (running) {
        bool abandoned = false;
        int sock = open_connection(abandoned);
        if (abandoned)
            continue;
        if (sock < 0) {
            log("cannot reach " + endpoint + ", retry in " + std::to_string(delay) + " s");
            wait_seconds(delay);
            delay = std::min(delay * 2, kMaxDelayS);
            continue;
        }

        tcp_tune(sock);
        {
            // A submit checks its job's connection under this lock, so the new socket and its
            // count appear together, and the login is out before any share can take the lock.
            std::lock_guard<std::mutex> lock(send_mutex);
            fd = sock;
            connections.fetch_add(1);
            send_locked(login_line(cfg.address, cfg.worker));
        }
        connected = true;
        const uint64_t seq_at_connect = job_seq.load();
        log("connected to " + endpoint);

        read_lines(sock);

        connected = false;
        {
            std::lock_guard<std::mutex> lock(send_mutex);
            close(fd);
            fd = -1;
        }
        {
            std::lock_guard<std::mutex> lock(job_mutex);
            job.valid = false;
        }
        // Only a connection that brought a job shows the pool is serving: back to the shortest
        // delay. A pool that accepts and drops us keeps backing off.
        if (job_seq.load() != seq_at_connect)
            delay = kFirstDelayS;
        if (running) {
            log("connection lost, reconnecting in " + std::to_string(delay) + " s");
        }
        wait_seconds(delay);
        delay = std::min(delay * 2, kMaxDelayS);
    }
    t_own_pool = nullptr;
}

}  // namespace tovren::qel
