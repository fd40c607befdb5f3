#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "app/self_test_vectors.h"
#include "app/verify.h"

namespace tovren::qel {
namespace {

class VerifyFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "verify_file_test_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    }
    void TearDown() override { std::remove(path_.c_str()); }

    VerifyRecords read(const std::string& text) {
        std::ofstream(path_) << text;
        return read_verify_file(path_);
    }

    std::string path_;
};

const std::string kHeader = self_test_vectors[0].header_hex;
const std::string kHash = self_test_vectors[0].expected_hex;

TEST_F(VerifyFileTest, RecordsNeedNotSitOnOneLine) {
    const VerifyRecords r =
        read(kHeader + "\n77492\t" + kHash + "\n 1\n\n" + kHeader + " 6 " + kHash + " -4 ");
    ASSERT_EQ(r.headers.size(), 2u);
    EXPECT_EQ(r.nonces, (std::vector<uint64_t>{77492, 6}));
    EXPECT_EQ(r.headers[0].size(), 112u);
    EXPECT_EQ(r.headers[0][0], 0x01);
    EXPECT_EQ(r.headers[0][111], 0x1e);
    EXPECT_EQ(r.expected[1], kHash);
}

TEST_F(VerifyFileTest, LongWordsAreCutAndShortHeadersSkipped) {
    const std::string bad_pair = kHeader.substr(0, 100) + "zz" + kHeader.substr(102);
    const VerifyRecords r = read(kHeader + "abcdef 1 " + kHash + "ff 0\n" +    // 230 digits
                                 kHeader.substr(1) + " 2 " + kHash + " 0\n" +  // 223 digits
                                 bad_pair + " 3 " + kHash + " 0\n" +           // not hex
                                 kHeader + " 18446744073709551615 short 0\n");
    ASSERT_EQ(r.nonces, (std::vector<uint64_t>{1, 18446744073709551615ULL}));
    EXPECT_EQ(r.headers[0], r.headers[1]);
    EXPECT_EQ(r.expected[0], kHash + "ff");  // the whole word; only 64 digits are compared
    EXPECT_EQ(r.expected[1], "short");
}

TEST_F(VerifyFileTest, ReadingEndsAtTheFirstIncompleteRecord) {
    EXPECT_EQ(read(kHeader + " 1 " + kHash + " 0 " + kHeader + " 2 " + kHash + " x " + kHeader +
                   " 3 " + kHash + " 0")
                  .nonces,
              (std::vector<uint64_t>{1}));
    EXPECT_EQ(read(kHeader + " nonce " + kHash + " 0").nonces.size(), 0u);
    EXPECT_EQ(read(kHeader + " 1 " + kHash + " 99999999999").nonces.size(), 0u);  // not an int
    EXPECT_EQ(read(kHeader + " 1 " + kHash).nonces.size(), 0u);
    EXPECT_EQ(read("").nonces.size(), 0u);
}

}  // namespace
}  // namespace tovren::qel
