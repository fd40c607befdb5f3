// When the pool leaves a client's requests unread: from the pause mark of waiting replies on,
// until they are down to half of it.
#include "tools/test-pool/outbox.h"

#include <gtest/gtest.h>

namespace tovren::qel {
namespace {

using testing::kPauseReadingAt;

TEST(ReadingPaused, FromTheMarkUntilTheRepliesAreDownToHalfOfIt) {
    const struct {
        bool paused;
        size_t pending;
        bool want;
    } rows[] = {
        {false, 0, false},
        {false, kPauseReadingAt / 2, false},
        {false, kPauseReadingAt - 1, false},
        {false, kPauseReadingAt, true},
        {true, kPauseReadingAt * 4, true},
        {true, kPauseReadingAt - 1, true},
        {true, kPauseReadingAt / 2, true},
        {true, kPauseReadingAt / 2 - 1, false},
        {true, 0, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(testing::reading_paused(r.paused, r.pending), r.want)
            << "paused " << r.paused << ", " << r.pending << " bytes waiting";
    }
}

}  // namespace
}  // namespace tovren::qel
