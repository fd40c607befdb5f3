#include "pow/blake2b.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "blake2b_vectors.h"
#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

using test::pattern_bytes;
using test::to_hex;

std::string digest_hex(const std::vector<uint8_t>& msg, size_t outlen) {
    Blake2bState s;
    blake2b_init(s, outlen);
    if (!msg.empty())
        blake2b_update(s, msg.data(), msg.size());
    uint8_t out[64];
    blake2b_final(s, out);
    return to_hex(out, outlen);
}

TEST(Blake2b, Rfc7693AppendixA) {
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    EXPECT_EQ(digest_hex(abc, 64),
              "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
              "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
}

// Every digest length against hashlib, over messages around the 128-byte block boundary.
TEST(Blake2b, EveryDigestLengthMatchesHashlib) {
    size_t checked = 0;
    for (const DigestVector& v : kDigestVectors) {
        EXPECT_EQ(digest_hex(pattern_bytes(v.msglen), v.outlen), v.hex)
            << "outlen " << v.outlen << ", message of " << v.msglen << " bytes";
        ++checked;
    }
    EXPECT_EQ(checked, 64u * 10u);
}

// A message that ends on a block boundary keeps its last block for final, with the last flag.
TEST(Blake2b, ExactBlockIsCompressedOnceAsLast) {
    const std::vector<uint8_t> msg = pattern_bytes(128);
    Blake2bState s;
    blake2b_init(s, 64);
    blake2b_update(s, msg.data(), msg.size());
    EXPECT_EQ(s.t0, 0u);
    EXPECT_EQ(s.buflen, 128u);

    Blake2bState manual;
    blake2b_init(manual, 64);
    manual.t0 = 128;
    blake2b_compress(manual, msg.data(), true);

    uint8_t out[64];
    blake2b_final(s, out);
    EXPECT_EQ(s.t0, 128u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(s.h[i], manual.h[i]) << "word " << i;
}

TEST(Blake2b, OneByteOverABlockIsCompressedTwice) {
    const std::vector<uint8_t> msg = pattern_bytes(129);
    Blake2bState s;
    blake2b_init(s, 64);
    blake2b_update(s, msg.data(), msg.size());
    EXPECT_EQ(s.t0, 128u);
    EXPECT_EQ(s.buflen, 1u);

    Blake2bState manual;
    blake2b_init(manual, 64);
    manual.t0 = 128;
    blake2b_compress(manual, msg.data(), false);
    uint8_t tail[128] = {msg[128]};
    manual.t0 = 129;
    blake2b_compress(manual, tail, true);

    uint8_t out[64];
    blake2b_final(s, out);
    EXPECT_EQ(s.t0, 129u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(s.h[i], manual.h[i]) << "word " << i;
}

TEST(Blake2b, SplittingOverUpdatesChangesNothing) {
    const std::vector<uint8_t> msg = pattern_bytes(300);
    const std::string whole = digest_hex(msg, 64);
    uint8_t out[64];
    for (size_t cut = 1; cut < msg.size(); ++cut) {
        Blake2bState s;
        blake2b_init(s, 64);
        blake2b_update(s, msg.data(), cut);
        blake2b_update(s, msg.data() + cut, msg.size() - cut);
        blake2b_final(s, out);
        EXPECT_EQ(to_hex(out, 64), whole) << "cut at " << cut;
    }
    // Three pieces, the middle one crossing or touching block boundaries.
    for (size_t a = 1; a < msg.size(); a += 7) {
        for (size_t b = a + 1; b < msg.size(); b += 11) {
            Blake2bState s;
            blake2b_init(s, 64);
            blake2b_update(s, msg.data(), a);
            blake2b_update(s, msg.data() + a, b - a);
            blake2b_update(s, msg.data() + b, msg.size() - b);
            blake2b_final(s, out);
            ASSERT_EQ(to_hex(out, 64), whole) << "cuts at " << a << " and " << b;
        }
    }
}

}  // namespace
}  // namespace tovren::qel
