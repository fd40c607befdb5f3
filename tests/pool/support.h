// Helpers of the pool tests: the lines a pool sends, and a recorder of what the client reports.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../app/progress.h"
#include "pool/json.h"
#include "pool/pool.h"

namespace tovren::qel::test {

using Lines = std::vector<std::string>;

// 224 hex digits: byte i of the header is i.
inline std::string header_hex() {
    std::string s;
    for (int i = 0; i < 112; ++i)
        s += {"0123456789abcdef"[i >> 4], "0123456789abcdef"[i & 15]};
    return s;
}

inline const std::string kTarget = "0000ffff" + std::string(54, '0') + "7f";
// What a job without height and difficulty logs.
inline const std::string kJob0 = "new job \xE2\x80\x94 height 0, difficulty 0";

// A "job" message; id is the job id's JSON text, extra is appended to the params.
inline std::string job_json(const std::string& id, const std::string& header,
                            const std::string& target = kTarget, const std::string& extra = "") {
    return R"({"method":"job","params":{"job_id":)" + id + R"(,"header_base":")" + header +
           R"(","target":")" + target + "\"" + extra + "}}";
}

inline std::string job_line(const std::string& job_id, const std::string& extra = "") {
    return job_json("\"" + json_escape(job_id) + "\"", header_hex(), kTarget, extra);
}

// The pool's log lines and share results ("share accepted OK", "share rejected dup") in order,
// from any thread.
class Events {
  public:
    void attach(Pool& pool) {
        pool.on_log = [this](const std::string& line) { add(line); };
        pool.on_share_result = [this](bool ok, const std::string& m) {
            add((ok ? "share accepted " : "share rejected ") + m);
        };
    }
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        ++added_;
        cv_.notify_all();
    }
    // Everything so far, which is then forgotten.
    Lines take() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(lines_, {});
    }
    // Waits until text has come count times since the last take, while the client goes on
    // reporting: false once no line came for stall_ms, or once kLostAfter other lines came
    // during the wait (a client that goes round in a loop, reconnecting say, never gets there).
    bool wait_for(const std::string& text, int count = 1, int stall_ms = testing::kStallMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        const uint64_t from = added_;
        for (uint64_t seen = added_;; seen = added_) {
            if (std::count(lines_.begin(), lines_.end(), text) >= count)
                return true;
            if (seen - from > kLostAfter)
                return false;
            if (!cv_.wait_for(lock, std::chrono::milliseconds(stall_ms),
                              [&] { return added_ != seen; }))
                return false;
        }
    }

  private:
    // More lines than any wait of these tests sees before the one it waits for.
    static constexpr uint64_t kLostAfter = 64;

    std::mutex mutex_;
    std::condition_variable cv_;
    Lines lines_;
    uint64_t added_ = 0;  // lines ever added, taken or not
};

}  // namespace tovren::qel::test
