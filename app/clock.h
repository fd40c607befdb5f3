// The monotonic clock and the sleeps of the one-second loop and the GPU workers, behind one
// interface so that tests can run the loop's hours in seconds.
#pragma once

#include <cstdint>

namespace tovren::qel {

class Clock {
  public:
    virtual ~Clock() = default;
    // Nanoseconds on a monotonic clock; only differences mean anything.
    virtual int64_t now_ns() = 0;
    // Sleeps for ns, going on with the remaining time after a signal interrupts it; any
    // other failure of the sleep ends it early.
    virtual void sleep_ns(int64_t ns) = 0;
};

// std::chrono::steady_clock and nanosleep.
Clock& monotonic_clock();

constexpr int64_t kNanosPerSecond = 1000000000;

}  // namespace tovren::qel
