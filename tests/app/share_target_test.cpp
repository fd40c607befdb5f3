#include "app/share_target.h"

#include <gtest/gtest.h>

#include <array>

namespace tovren::qel {
namespace {

using Bytes = std::array<uint8_t, 32>;

// 32 bytes of `fill` with some bytes set.
Bytes bytes(uint8_t fill, std::initializer_list<std::pair<int, uint8_t>> set = {}) {
    Bytes b;
    b.fill(fill);
    for (const auto& [i, v] : set)
        b[i] = v;
    return b;
}

TEST(HashMeetsTargetTest, HashIsLittleEndianTargetBigEndian) {
    Bytes target;  // an uneven number, and the hash of the same number
    Bytes same;
    for (int i = 0; i < 32; ++i) {
        target[i] = static_cast<uint8_t>(17 * i + 3);
        same[31 - i] = target[i];
    }
    Bytes above = same, below = same;  // hash byte 0 is the least significant
    ++above[0];
    --below[0];
    const struct {
        const char* name;
        Bytes hash, target;
        bool meets;
    } cases[] = {
        {"equal numbers", same, target, true},
        {"one above", above, target, false},
        {"one below", below, target, true},
        {"zero hash, zero target", bytes(0), bytes(0), true},
        {"zero hash, full target", bytes(0), bytes(0xFF), true},
        {"smallest non-zero hash, zero target", bytes(0, {{0, 1}}), bytes(0), false},
        {"full hash, full target", bytes(0xFF), bytes(0xFF), true},
        {"full hash, zero target", bytes(0xFF), bytes(0), false},
        // Hash byte 31 weighs against target byte 0; the lower bytes then do not matter.
        {"top byte smaller", bytes(0xFF, {{31, 0x7F}}), bytes(0, {{0, 0x80}}), true},
        {"top byte larger", bytes(0, {{31, 0x81}}), bytes(0, {{0, 0x80}}), false},
        {"255 against 256", bytes(0, {{0, 0xFF}}), bytes(0, {{30, 1}}), true},
        {"511 against 256", bytes(0, {{0, 0xFF}, {1, 1}}), bytes(0, {{30, 1}}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(hash_meets_target(c.hash.data(), c.target.data()), c.meets) << c.name;
    }
}

}  // namespace
}  // namespace tovren::qel
