#include "outbox.h"

#include <errno.h>
#include <sys/socket.h>

namespace tovren::qel::testing {

bool reading_paused(bool paused, size_t pending) {
    return pending >= (paused ? kPauseReadingAt / 2 : kPauseReadingAt);
}

void Outbox::send(int fd, const std::string& bytes, Clock::time_point now) {
    if (failed_)
        return;
    if (bytes_.empty())
        moved_ = now;
    bytes_ += bytes;
    flush(fd, now);
}

void Outbox::flush(int fd, Clock::time_point now) {
    size_t done = 0;
    while (!failed_ && done < bytes_.size()) {
        const ssize_t n =
            ::send(fd, bytes_.data() + done, bytes_.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else if (n == 0 || errno != EINTR) {
            failed_ = true;
        }
    }
    if (failed_) {
        bytes_.clear();
    } else if (done > 0) {
        bytes_.erase(0, done);
        moved_ = now;
    }
}

Outbox::Clock::duration Outbox::stalled(Clock::time_point now) const {
    return bytes_.empty() ? Clock::duration::zero() : now - moved_;
}

}  // namespace tovren::qel::testing
