#include "pow/blake2b.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "blake2b_vectors.h"
#include "tests/pow/test_util.h"

namespace tovren::qel {
namespace {

using test::to_hex;

// The message bytes that gen_vectors.py hashes: byte i is (131 i + 17) mod 256.
std::vector<uint8_t> pattern_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 131 + 17);
    return v;
}

// The digest of msg fed in pieces ending at the given cuts.
std::string digest_hex(const std::vector<uint8_t>& msg, size_t outlen,
                       std::vector<size_t> cuts = {}) {
    Blake2bState s;
    blake2b_init(s, outlen);
    size_t done = 0;
    cuts.push_back(msg.size());
    for (size_t cut : cuts) {
        blake2b_update(s, msg.data() + done, cut - done);
        done = cut;
    }
    uint8_t out[64];
    blake2b_final(s, out);
    return to_hex(out, outlen);
}

TEST(Blake2b, Rfc7693AppendixA) {
    EXPECT_EQ(digest_hex({'a', 'b', 'c'}, 64),
              "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
              "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923");
}

// A full buffer is compressed only when more input follows, so a message that ends on a
// block boundary keeps its last block for final and its last-block flag.
TEST(Blake2b, FullBufferWaitsForMoreInput) {
    struct Case {
        size_t len;
        uint64_t t0, buflen;  // after the update
    } cases[] = {{1, 0, 1},     {127, 0, 127},   {128, 0, 128},
                 {129, 128, 1}, {256, 128, 128}, {257, 256, 1}};
    const std::vector<uint8_t> msg = pattern_bytes(257);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.len);
        Blake2bState s;
        blake2b_init(s, 64);
        blake2b_update(s, msg.data(), c.len);
        EXPECT_EQ(s.t0, c.t0);
        EXPECT_EQ(s.buflen, c.buflen);
        uint8_t out[64];
        blake2b_final(s, out);
        EXPECT_EQ(s.t0, c.len);
    }
}

// Every digest length against hashlib, over messages around the 128-byte block boundary.
TEST(Blake2b, EveryDigestLengthMatchesHashlib) {
    ASSERT_EQ(std::size(kDigestVectors), 64u * 10u);
    for (const DigestVector& v : kDigestVectors) {
        EXPECT_EQ(digest_hex(pattern_bytes(v.msglen), v.outlen), v.hex)
            << "outlen " << v.outlen << ", message of " << v.msglen << " bytes";
    }
}

// Two and three pieces, with every first cut and the second crossing or touching block
// boundaries; an empty piece changes nothing either.
TEST(Blake2b, SplittingOverUpdatesChangesNothing) {
    const std::vector<uint8_t> msg = pattern_bytes(300);
    const std::string whole = digest_hex(msg, 64);
    for (size_t a = 0; a <= msg.size(); ++a) {
        for (size_t b = a; b <= msg.size(); b += 13)
            ASSERT_EQ(digest_hex(msg, 64, {a, b}), whole) << "cuts at " << a << " and " << b;
    }
}

// H' against an implementation built on hashlib (short, middle-less 65..96, chained and
// 1024-byte outputs), into a buffer with guard bytes: nothing is written outside the T bytes.
TEST(Blake2bLong, MatchesHashlibAndWritesExactlyT) {
    constexpr size_t kGuard = 64;
    std::string guard;
    for (size_t i = 0; i < kGuard; ++i)
        guard += "a5";
    ASSERT_GE(std::size(kLongVectors), 130u);
    for (const LongVector& v : kLongVectors) {
        const std::vector<uint8_t> in = pattern_bytes(v.inlen);
        std::vector<uint8_t> buf(kGuard + v.outlen + kGuard, 0xa5);
        blake2b_long(buf.data() + kGuard, v.outlen, in.data(), in.size());
        EXPECT_EQ(to_hex(buf.data(), buf.size()), guard + v.hex + guard)
            << "T " << v.outlen << ", input of " << v.inlen;
    }
}

}  // namespace
}  // namespace tovren::qel
