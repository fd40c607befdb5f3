// What the pool has still to send to one client. Sends never block, so that a client that does
// not read holds up no other: what its socket does not take waits here, and how long it has
// waited without a byte being taken tells when to give up on that client.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tovren::qel::testing {

// A client with this much of its replies waiting has its requests left unread until it takes
// them, so that one that never reads cannot make the pool keep an ever growing backlog.
constexpr size_t kPauseReadingAt = 256 * 1024;

// Whether a client's requests stay unread, given whether they were and how many bytes of its
// replies wait. Reading resumes only once the replies are down to half the pause mark, so that
// a client that reads slowly is not paused and resumed again at every reply it takes.
bool reading_paused(bool paused, size_t pending);

class Outbox {
  public:
    using Clock = std::chrono::steady_clock;

    // Queues the bytes, then sends what the socket takes now.
    void send(int fd, const std::string& bytes, Clock::time_point now);
    // Sends what the socket takes now of what waits.
    void flush(int fd, Clock::time_point now);

    // Once a send has failed nothing more is sent, and nothing waits: the connection is gone,
    // which its reader is left to find.
    bool failed() const { return failed_; }
    size_t pending() const { return bytes_.size(); }
    // How long the bytes that wait have done so without any being taken; zero when none wait.
    Clock::duration stalled(Clock::time_point now) const;

  private:
    std::string bytes_;
    Clock::time_point moved_{};  // when bytes last began to wait or were last taken
    bool failed_ = false;
};

}  // namespace tovren::qel::testing
