#include "app/gpu_selection.h"

#include <gtest/gtest.h>

#include <vector>

namespace tovren::qel {
namespace {

constexpr uint64_t kMiB = 1ULL << 20;

std::vector<GpuInfo> gpus_with_ordinals(std::initializer_list<int> ordinals) {
    std::vector<GpuInfo> gpus;
    for (int ordinal : ordinals) {
        GpuInfo info{};
        info.ordinal = ordinal;
        gpus.push_back(info);
    }
    return gpus;
}

TEST(DeviceIdsTest, EmptyListTakesEveryGpu) {
    EXPECT_EQ(select_device_ids("", gpus_with_ordinals({0, 1, 2})), (std::vector<int>{0, 1, 2}));
}

TEST(DeviceIdsTest, ListKeepsOrderAndDuplicates) {
    const std::vector<GpuInfo> two = gpus_with_ordinals({0, 1});
    EXPECT_EQ(select_device_ids("1,0,1", two), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(select_device_ids("0,,1", two), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(select_device_ids(",1", two), (std::vector<int>{0, 1}));
    EXPECT_EQ(select_device_ids("1,", two), (std::vector<int>{1}));
    EXPECT_EQ(select_device_ids(",", two), (std::vector<int>{0}));
    EXPECT_EQ(select_device_ids("gpu", two), (std::vector<int>{0}));
    EXPECT_EQ(select_device_ids(" 1x", two), (std::vector<int>{1}));
}

TEST(DeviceIdsTest, IdsWithoutAGpuAreDropped) {
    const std::vector<GpuInfo> two = gpus_with_ordinals({0, 1});
    EXPECT_TRUE(select_device_ids("7", two).empty());
    EXPECT_TRUE(select_device_ids("-1,2", two).empty());
    EXPECT_EQ(select_device_ids("2,1,-1", two), (std::vector<int>{1}));
    // Far beyond the int range: not wrapped round to a small id.
    EXPECT_TRUE(select_device_ids("4294967296", two).empty());
}

TEST(DeviceIdsTest, IdsAreOrdinalsWhenEnumerationSkippedADevice) {
    // Device 1 could not be read: ids name CUDA ordinals, as nvidia-smi shows them.
    const std::vector<GpuInfo> gpus = gpus_with_ordinals({0, 2});
    EXPECT_EQ(select_device_ids("", gpus), (std::vector<int>{0, 2}));
    EXPECT_EQ(select_device_ids("2,1,0", gpus), (std::vector<int>{2, 0}));
}

TEST(MemorySizingTest, CapacityLeavesTheReserveFree) {
    EXPECT_EQ(slot_capacity(8192 * kMiB), 928u);
    EXPECT_EQ(slot_capacity(800 * kMiB), 4u);
    EXPECT_EQ(slot_capacity(780 * kMiB), 1u);
    EXPECT_EQ(slot_capacity(776 * kMiB - 1), 0u);
    EXPECT_EQ(slot_capacity(768 * kMiB), 0u);
    EXPECT_EQ(slot_capacity(100 * kMiB), 0u);
    EXPECT_EQ(slot_capacity(0), 0u);
}

TEST(MemorySizingTest, DefaultIsFivePerMultiprocessorWithinCapacity) {
    int n = -1;
    EXPECT_TRUE(sizing_hashes(8192 * kMiB, 40, 0, n));
    EXPECT_EQ(n, 200);
    EXPECT_TRUE(sizing_hashes(800 * kMiB, 40, 0, n));
    EXPECT_EQ(n, 4);
    EXPECT_TRUE(sizing_hashes(780 * kMiB, 40, -5, n));
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(sizing_hashes(768 * kMiB, 40, 0, n));
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(sizing_hashes(8192 * kMiB, 0, 0, n));
    EXPECT_EQ(n, 0);
}

TEST(MemorySizingTest, HashesOptionMustFit) {
    const uint64_t cap499 = 768 * kMiB + 499 * 8 * kMiB;
    int n = -1;
    EXPECT_FALSE(sizing_hashes(cap499, 40, 500, n));
    EXPECT_TRUE(sizing_hashes(cap499 + 8 * kMiB, 40, 500, n));
    EXPECT_EQ(n, 500);
    EXPECT_TRUE(sizing_hashes(cap499, 40, 2, n));
    EXPECT_EQ(n, 2);
    EXPECT_FALSE(sizing_hashes(768 * kMiB, 40, 1, n));
    EXPECT_FALSE(sizing_hashes(0, 40, 1, n));
}

}  // namespace
}  // namespace tovren::qel
