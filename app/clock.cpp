#include "clock.h"

#include <time.h>

#include <cerrno>
#include <chrono>

namespace tovren::qel {

namespace {

class MonotonicClock final : public Clock {
  public:
    int64_t now_ns() override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    void sleep_ns(int64_t ns) override {
        if (ns <= 0) {
            return;
        }
        timespec left{static_cast<time_t>(ns / kNanosPerSecond),
                      static_cast<long>(ns % kNanosPerSecond)};
        // A stop signal must not cut a tick short: the loop looks at the flag once per tick.
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
};

}  // namespace

Clock& monotonic_clock() {
    static MonotonicClock clock;
    return clock;
}

}  // namespace tovren::qel
