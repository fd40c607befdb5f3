#include "app/dev_fee.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tovren::qel {
namespace {

using Switch = DevFeeSchedule::Switch;

TEST(DevFeeTest, TheLastMinuteOfEvery6000Seconds) {
    EXPECT_FALSE(dev_fee_due(0));
    EXPECT_FALSE(dev_fee_due(5939));
    EXPECT_TRUE(dev_fee_due(5940));
    EXPECT_TRUE(dev_fee_due(5999));
    EXPECT_FALSE(dev_fee_due(6000));
    EXPECT_FALSE(dev_fee_due(11939));
    EXPECT_TRUE(dev_fee_due(11940));
    EXPECT_EQ(std::strlen(kDevFeeAddress), 63u);
    EXPECT_EQ(std::strncmp(kDevFeeAddress, "qel1", 4), 0);
}

TEST(DevFeeTest, OneSwitchAtEachBoundary) {
    DevFeeSchedule fee;
    EXPECT_EQ(fee.update(1), Switch::none);
    EXPECT_EQ(fee.update(5939), Switch::none);
    EXPECT_EQ(fee.update(5940), Switch::to_fee);
    EXPECT_TRUE(fee.active());
    EXPECT_EQ(fee.update(5941), Switch::none);
    EXPECT_EQ(fee.update(5999), Switch::none);
    EXPECT_EQ(fee.update(6000), Switch::to_user);
    EXPECT_FALSE(fee.active());
    EXPECT_EQ(fee.update(11939), Switch::none);
    EXPECT_EQ(fee.update(11940), Switch::to_fee);  // 6000 s after the first
}

TEST(DevFeeTest, TicksThatSkipASecondStillSwitch) {
    DevFeeSchedule fee;
    EXPECT_EQ(fee.update(5938), Switch::none);
    EXPECT_EQ(fee.update(5941), Switch::to_fee);  // 5939 and 5940 never seen
    EXPECT_EQ(fee.update(5998), Switch::none);
    EXPECT_EQ(fee.update(6002), Switch::to_user);
    // A stall across the whole fee minute lands on the user's side again: no switch.
    EXPECT_EQ(fee.update(11930), Switch::none);
    EXPECT_EQ(fee.update(12005), Switch::none);
}

}  // namespace
}  // namespace tovren::qel
