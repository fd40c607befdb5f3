// A client of the test pool over a real socket, as a miner or a faulty client would be, with
// every wait bounded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tovren::qel::test {

class PoolClient {
  public:
    // receive_buffer > 0 shrinks the socket's receive buffer before it connects, so that a
    // client that does not read leaves the pool's replies waiting sooner. Without connect_now
    // the socket is only made, and connect() connects it later: a test that leaves the process
    // no descriptor to spare makes its client's first.
    explicit PoolClient(uint16_t port, int receive_buffer = 0, bool connect_now = true)
        : port_(port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        if (connect_now)
            connect();
    }

    // False, with the socket closed, when the connection could not be made.
    bool connect() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
        connected_ = fd_ >= 0;
        return connected_;
    }
    ~PoolClient() {
        if (fd_ >= 0)
            close(fd_);
    }
    PoolClient(const PoolClient&) = delete;
    PoolClient& operator=(const PoolClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    // Blocks until the socket took every byte; false once the connection failed.
    bool send_all(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // The next line from the pool, without its line feed; nothing once the connection ended
    // or no line came within timeout_ms.
    std::optional<std::string> read_line(int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            const size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            if (!receive(deadline))
                return std::nullopt;
        }
    }

    // True once the pool has closed the connection, whatever came before, within timeout_ms.
    bool wait_closed(int timeout_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (receive(deadline)) {
        }
        return ended_;
    }

  private:
    using Clock = std::chrono::steady_clock;

    // Appends what comes next; false at the end of the connection or at the deadline.
    bool receive(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    uint16_t port_;
    int fd_ = -1;
    bool connected_ = false;
    std::string buffer_;
    bool ended_ = false;
};

}  // namespace tovren::qel::test
