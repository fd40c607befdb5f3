#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace tovren::qel::test {

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Polls fd for events in short slices until the deadline or a stop; true when ready.
bool wait_fd(int fd, short events, Clock::time_point deadline, const std::atomic<bool>& stop) {
    while (!stop && Clock::now() < deadline) {
        pollfd p{fd, events, 0};
        if (poll(&p, 1, 50) > 0)
            return true;
    }
    return false;
}

}  // namespace

bool ServerConn::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ServerConn::read_line(std::string& line, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        if (!wait_fd(fd_, POLLIN, deadline, stopping_))
            return false;
        char chunk[65536];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

bool ServerConn::wait_closed(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (wait_fd(fd_, POLLIN, deadline, stopping_)) {
        char chunk[65536];
        if (recv(fd_, chunk, sizeof chunk, 0) <= 0)
            return true;
    }
    return false;
}

TestServer::TestServer(Script script, int backlog, bool accept_connections)
    : script_(std::move(script)) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listen_fd_, backlog) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        return;  // port() stays 0 and the test fails on it
    }
    port_ = ntohs(a.sin_port);
    if (accept_connections)
        thread_ = std::thread(&TestServer::serve, this);
}

TestServer::~TestServer() {
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    close(listen_fd_);
}

void TestServer::serve() {
    for (int index = 0; !stopping_; ++index) {
        if (!wait_fd(listen_fd_, POLLIN, Clock::now() + std::chrono::hours(1), stopping_)) {
            return;
        }
        int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            continue;
        ++accepted_;
        // Small writes leave at once, so a line split over several sends arrives split.
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ServerConn conn(fd, stopping_);
        script_(conn, index);
        close(fd);
    }
}

uint16_t closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);  // bound but never listened on: connects are refused
    return ntohs(a.sin_port);
}

std::function<void(const std::string&)> LogRecorder::sink() {
    return [this](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        cv_.notify_all();
    };
}

std::vector<std::string> LogRecorder::lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LogRecorder::wait_for(const std::string& text, int count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [&] { return std::count(lines_.begin(), lines_.end(), text) >= count; });
}

int LogRecorder::count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(lines_.begin(), lines_.end(), text));
}

}  // namespace tovren::qel::test
