// Test helpers for the pool client: a scripted TCP server on 127.0.0.1 with an ephemeral port,
// and a thread-safe recorder for the client's log lines.
#pragma once

#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovren::qel::test {

sockaddr_in loopback(uint16_t port);

// One accepted connection, driven by the test's script on the server thread. Every wait is
// bounded, so a misbehaving client fails the test instead of hanging it.
class ServerConn {
  public:
    ServerConn(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
    int fd() const { return fd_; }
    bool send(const std::string& bytes);
    // The next line without its line feed; false on end of stream, error or time-out.
    bool read_line(std::string& line, int timeout_ms = 5000);
    // True once the client has closed its side (everything it sent before is discarded).
    bool wait_closed(int timeout_ms = 5000);

  private:
    int fd_;
    const std::atomic<bool>& stopping_;
    std::string buffer_;
};

class TestServer {
  public:
    // script runs for each accepted connection in turn, with its index from 0; the connection
    // is closed when it returns.
    using Script = std::function<void(ServerConn& conn, int index)>;
    explicit TestServer(Script script);
    ~TestServer();
    uint16_t port() const { return port_; }
    int accepted() const { return accepted_; }

  private:
    Script script_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Binds fd to an ephemeral port of 127.0.0.1 and listens on it unless backlog is negative
// (then connects are refused); returns the port, 0 on failure.
uint16_t bind_loopback(int backlog, int& fd);

class LogRecorder {
  public:
    std::function<void(const std::string&)> sink() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back(line);
            cv_.notify_all();
        };
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    // Waits until the log holds text count times; false after timeout_ms.
    bool wait_for(const std::string& text, int count = 1, int timeout_ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            return std::count(lines_.begin(), lines_.end(), text) >= count;
        });
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

}  // namespace tovren::qel::test
