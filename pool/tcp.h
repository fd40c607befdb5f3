// Bounded TCP operations of the pool client: every call here returns within its time limit,
// and sooner when the caller's keep-going flag turns false.
#pragma once

#include <netdb.h>

#include <atomic>
#include <cstddef>

namespace tovren::qel {

enum class ConnectResult { Connected, Failed, Abandoned };

// Opens a socket for one resolved address and connects it within timeout_ms. Connected leaves
// a blocking socket in fd; otherwise nothing stays open. Abandoned: keep_going turned false.
ConnectResult tcp_connect(const addrinfo& address, int timeout_ms,
                          const std::atomic<bool>& keep_going, int& fd);

// Low latency for small lines, and a dead peer found within minutes rather than hours.
// Failures are ignored: each option only improves on the system's defaults.
void tcp_tune(int fd);

// Sends all len bytes without raising SIGPIPE. False on an error or a zero-byte send, when the
// bytes are not all out within timeout_ms, or when keep_going turns false while the socket is
// full; bytes sent before that stay sent.
bool tcp_send_all(int fd, const char* data, size_t len, int timeout_ms,
                  const std::atomic<bool>& keep_going);

}  // namespace tovren::qel
