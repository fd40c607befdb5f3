#include "app/dev_fee.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tovren::qel {
namespace {

using Switch = DevFeeSchedule::Switch;

TEST(DevFeeTest, TheLastMinuteOfEvery6000SecondsSwitchesOnceEachWay) {
    const struct {
        const char* name;
        std::vector<std::pair<int64_t, Switch>> ticks;
    } runs[] = {
        {"every second",
         {{1, Switch::none},
          {5939, Switch::none},
          {5940, Switch::to_fee},
          {5941, Switch::none},
          {5999, Switch::none},
          {6000, Switch::to_user},
          {11939, Switch::none},
          {11940, Switch::to_fee}}},
        {"ticks that skip the boundary seconds",
         {{5938, Switch::none},
          {5941, Switch::to_fee},
          {5998, Switch::none},
          {6002, Switch::to_user},
          // A stall across the whole fee minute lands on the user's side again.
          {11930, Switch::none},
          {12005, Switch::none}}},
    };
    // The minute is due exactly while the switch is on the fee side.
    for (const auto& run : runs) {
        DevFeeSchedule fee;
        for (const auto& [uptime, expected] : run.ticks) {
            EXPECT_EQ(fee.update(uptime), expected) << run.name << " at " << uptime;
            EXPECT_EQ(fee.active(), dev_fee_due(uptime)) << run.name << " at " << uptime;
        }
    }
    EXPECT_EQ(std::strlen(kDevFeeAddress), 63u);  // in the user's address format
    EXPECT_EQ(std::strncmp(kDevFeeAddress, "qel1", 4), 0);
}

}  // namespace
}  // namespace tovren::qel
