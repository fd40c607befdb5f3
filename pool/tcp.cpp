#include "pool/tcp.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace tovren::qel {

namespace {

// How often a wait looks at the keep-going flag.
constexpr int kSliceMs = 100;

// A connection idle this long is probed, and given up after the probes go unanswered.
constexpr int kKeepIdleS = 60;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 6;
// Data left unacknowledged this long ends the connection.
constexpr unsigned kUserTimeoutMs = 120000;

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

// Waits for events on fd in slices. 1: ready (or an error condition to read), 0: time is up,
// -1: poll failed, -2: keep_going turned false.
int wait_ready(int fd, short events, Clock::time_point deadline,
               const std::atomic<bool>& keep_going) {
    for (;;) {
        if (!keep_going)
            return -2;
        int left = ms_left(deadline);
        if (left == 0)
            return 0;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, std::min(left, kSliceMs));
        if (r > 0)
            return 1;
        if (r < 0 && errno != EINTR)
            return -1;
    }
}

bool set_nonblocking(int fd, bool on) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

ConnectResult tcp_connect(const addrinfo& address, int timeout_ms,
                          const std::atomic<bool>& keep_going, int& fd) {
    fd = -1;
    int s = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
    if (s < 0)
        return ConnectResult::Failed;
    ConnectResult result = ConnectResult::Failed;
    if (set_nonblocking(s, true)) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        int r = connect(s, address.ai_addr, address.ai_addrlen);
        if (r != 0 && (errno == EINPROGRESS || errno == EINTR)) {
            int ready = wait_ready(s, POLLOUT, deadline, keep_going);
            int error = 0;
            socklen_t len = sizeof error;
            if (ready == -2) {
                result = ConnectResult::Abandoned;
            } else if (ready == 1 && getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
                       error == 0) {
                r = 0;
            }
        }
        if (r == 0 && set_nonblocking(s, false))
            result = ConnectResult::Connected;
    }
    if (result == ConnectResult::Connected) {
        fd = s;
    } else {
        close(s);
    }
    return result;
}

void tcp_tune(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

bool tcp_send_all(int fd, const char* data, size_t len, int timeout_ms,
                  const std::atomic<bool>& keep_going) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (len > 0) {
        // Never blocks: a full socket is waited on below, in slices, against the deadline.
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        if (wait_ready(fd, POLLOUT, deadline, keep_going) != 1)
            return false;
    }
    return true;
}

}  // namespace tovren::qel
