// The test pool's events about its connections, as a test reads them. Made before the pool,
// which calls it until its end.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace tovren::qel::test {

class PoolEvents {
  public:
    // A flood of logins would keep a line for each; they are left out.
    void add(const std::string& text) {
        if (text.rfind("login ", 0) == 0)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(text);
    }
    bool seen(const std::string& start) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& line : lines_) {
            if (line.rfind(start, 0) == 0)
                return true;
        }
        return false;
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tovren::qel::test
