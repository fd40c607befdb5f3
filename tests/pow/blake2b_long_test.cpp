#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "blake2b_vectors.h"
#include "pow/blake2b.h"
#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

using test::pattern_bytes;
using test::to_hex;

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xa5;

// H' into a buffer with guard bytes on both sides; fails the test if any guard changed.
std::string long_hex(unsigned outlen, const std::vector<uint8_t>& in) {
    std::vector<uint8_t> buf(kGuard + outlen + kGuard, kGuardByte);
    blake2b_long(buf.data() + kGuard, outlen, in.data(), in.size());
    for (size_t i = 0; i < kGuard; ++i) {
        EXPECT_EQ(buf[i], kGuardByte) << "T " << outlen << ": written before the output";
        EXPECT_EQ(buf[kGuard + outlen + i], kGuardByte)
            << "T " << outlen << ": written " << i << " bytes past the output";
    }
    return to_hex(buf.data() + kGuard, outlen);
}

// Short, middle-less (65..96), chained and 1024-byte outputs against H' built on hashlib.
TEST(Blake2bLong, MatchesIndependentImplementation) {
    size_t checked = 0;
    for (const LongVector& v : kLongVectors) {
        EXPECT_EQ(long_hex(v.outlen, pattern_bytes(v.inlen)), v.hex)
            << "T " << v.outlen << ", input of " << v.inlen << " bytes";
        ++checked;
    }
    EXPECT_GE(checked, 130u);
}

TEST(Blake2bLong, ShortOutputIsOnePrefixedBlake2b) {
    const std::vector<uint8_t> in = pattern_bytes(1024);
    for (unsigned t : {1u, 32u, 64u}) {
        Blake2bState s;
        blake2b_init(s, t);
        const uint8_t prefix[4] = {static_cast<uint8_t>(t), 0, 0, 0};
        blake2b_update(s, prefix, 4);
        blake2b_update(s, in.data(), in.size());
        uint8_t out[64];
        blake2b_final(s, out);
        // 4 + 1024 bytes: eight full blocks and a last one holding four bytes.
        EXPECT_EQ(s.t0, 1028u);
        EXPECT_EQ(long_hex(t, in), to_hex(out, t)) << "T " << t;
    }
}

}  // namespace
}  // namespace tovren::qel
