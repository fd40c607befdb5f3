#include "test_server.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <utility>

namespace tovren::qel::test {

namespace {

using Clock = std::chrono::steady_clock;

// Polls fd for input in short slices until the deadline or a stop; true when ready.
bool wait_readable(int fd, int timeout_ms, const std::atomic<bool>& stop) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!stop && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0)
            return true;
    }
    return false;
}

}  // namespace

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool ServerConn::send(const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ServerConn::read_line(std::string& line, int timeout_ms) {
    char chunk[65536];
    for (size_t nl; (nl = buffer_.find('\n')) == std::string::npos;) {
        ssize_t n =
            wait_readable(fd_, timeout_ms, stopping_) ? recv(fd_, chunk, sizeof chunk, 0) : -1;
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
    const size_t nl = buffer_.find('\n');
    line = buffer_.substr(0, nl);
    buffer_.erase(0, nl + 1);
    return true;
}

bool ServerConn::wait_closed(int timeout_ms) {
    char chunk[65536];
    while (wait_readable(fd_, timeout_ms, stopping_)) {
        if (recv(fd_, chunk, sizeof chunk, 0) <= 0)
            return true;
    }
    return false;
}

uint16_t bind_loopback(int backlog, int& fd) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (backlog >= 0 && listen(fd, backlog) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;  // the test fails on port 0
    return ntohs(a.sin_port);
}

TestServer::TestServer(Script script) : script_(std::move(script)) {
    port_ = bind_loopback(8, listen_fd_);
    thread_ = std::thread([this] {
        for (int index = 0; wait_readable(listen_fd_, 3600 * 1000, stopping_); ++index) {
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
    });
}

TestServer::~TestServer() {
    stopping_ = true;
    thread_.join();
    close(listen_fd_);
}

}  // namespace tovren::qel::test
