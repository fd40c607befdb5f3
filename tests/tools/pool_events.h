// The test pool's events, as a test reads them, and a fixture of a pool that reports them.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/test-pool/test_pool.h"

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

// A listening pool with a job. Its events are made first, since it reports to them until its
// end.
class WatchedPool : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pool_.listening());
        pool_.set_event_printer([this](const std::string& text) { events_.add(text); });
        pool_.set_job(testing::PoolTestJob{});
    }

    PoolEvents events_;
    testing::TestPool pool_;
};

}  // namespace tovren::qel::test
