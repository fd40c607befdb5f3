#include "app/gpu_selection.h"

#include <gtest/gtest.h>

#include <vector>

namespace tovren::qel {
namespace {

constexpr uint64_t kMiB = 1ULL << 20;

TEST(DeviceIdsTest, ListRules) {
    struct Case {
        const char* list;
        std::vector<int> ordinals;  // what enumeration found
        std::vector<int> ids;
    };
    const Case cases[] = {
        {"", {0, 1, 2}, {0, 1, 2}},
        {"1,0,1", {0, 1}, {1, 0, 1}},  // order and duplicates stay
        {"0,,1", {0, 1}, {0, 0, 1}},   // an empty item is 0
        {",", {0, 1}, {0}},
        {"1,", {0, 1}, {1}},
        {"gpu", {0, 1}, {0}},  // no digits: 0
        {" 1x", {0, 1}, {1}},
        {"7", {0, 1}, {}},
        {"2,1,-1", {0, 1}, {1}},
        {"4294967296", {0, 1}, {}},  // not wrapped round to a small id
        // Device 1 could not be read: ids name CUDA ordinals, as nvidia-smi shows them.
        {"", {0, 2}, {0, 2}},
        {"2,1,0", {0, 2}, {2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        std::vector<GpuInfo> gpus;
        for (int ordinal : c.ordinals) {
            gpus.push_back(GpuInfo{});
            gpus.back().ordinal = ordinal;
        }
        EXPECT_EQ(select_device_ids(c.list, gpus), c.ids);
    }
}

TEST(MemorySizingTest, CapacityAndHashes) {
    const uint64_t cap499 = 768 * kMiB + 499 * 8 * kMiB;
    struct Case {
        uint64_t free_mem;
        int sm_count;
        int hashes_option;
        uint64_t cap;
        bool ok;
        int n;
    };
    const Case cases[] = {
        {8192 * kMiB, 40, 0, 928, true, 200},  // five per multiprocessor
        {800 * kMiB, 40, 0, 4, true, 4},       // held to the capacity
        {780 * kMiB, 40, -5, 1, true, 1},
        {776 * kMiB - 1, 40, 0, 0, true, 0},
        {768 * kMiB, 40, 0, 0, true, 0},
        {0, 40, 0, 0, true, 0},
        {8192 * kMiB, 0, 0, 928, true, 0},
        {cap499, 40, 500, 499, false, -1},
        {cap499 + 8 * kMiB, 40, 500, 500, true, 500},
        {cap499, 40, 2, 499, true, 2},
        {768 * kMiB, 40, 1, 0, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.free_mem / kMiB << " MiB, " << c.sm_count
                                          << " SM, --hashes " << c.hashes_option);
        EXPECT_EQ(slot_capacity(c.free_mem), c.cap);
        int n = -1;
        EXPECT_EQ(sizing_hashes(c.free_mem, c.sm_count, c.hashes_option, n), c.ok);
        EXPECT_EQ(n, c.n);
    }
}

}  // namespace
}  // namespace tovren::qel
