// Waiting for a run that moves in steps (launches, shares, logins, lines of output): a run
// that can no longer get where the test waits for fails in seconds instead of by ctest's
// timeout, while a slow machine is waited for for as long as the run keeps moving.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

namespace tovren::qel::testing {

// The longest pause between two steps of a healthy run: one of the small launches these tests
// choose, or a reconnect to the local pool, on a loaded machine: a few seconds at most. The
// sanitizers make launches up to ten times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kStallMs = 60000;
#else
constexpr int kStallMs = 15000;
#endif

struct Watch {
    std::function<bool()> done;                         // the state waited for
    std::function<uint64_t()> progress;                 // any change of its value is a step
    std::function<bool()> lost = [] { return false; };  // done can no longer come
    int stall_ms = kStallMs;
};

// True once done holds; false as soon as lost does, or when no step came for stall_ms.
inline bool wait_for(const Watch& w) {
    using Clock = std::chrono::steady_clock;
    uint64_t seen = w.progress();
    Clock::time_point last_step = Clock::now();
    while (!w.done()) {
        if (w.lost())
            return w.done();
        const uint64_t now = w.progress();
        if (now != seen) {
            seen = now;
            last_step = Clock::now();
        } else if (Clock::now() - last_step > std::chrono::milliseconds(w.stall_ms)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace tovren::qel::testing
