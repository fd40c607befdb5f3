#include "app/verify.h"

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "app/gpu_selection.h"
#include "app/self_test_vectors.h"
#include "capture.h"
#include "sim_fixture.h"

namespace tovren::qel {
namespace {

using testing::sim_gpu;
using testing::StdoutCapture;

// The verify file, and verify mode on GPUs that start-up has opened and self-tested.
class VerifyTest : public testing::SimTest {
  protected:
    void TearDown() override {
        std::remove(path_.c_str());
        SimTest::TearDown();
    }

    void write(const std::string& text) { std::ofstream(path_) << text; }

    // Opens the GPUs and writes the embedded vectors, over and over, as the file's records.
    void open(const std::vector<cudasim::DeviceSpec>& specs, size_t records) {
        use_gpus(specs);
        {
            StdoutCapture quiet;
            ASSERT_EQ(open_gpus(settings_, devices_), 0);
        }
        std::ofstream file(path_);
        for (size_t i = 0; i < records; ++i) {
            const SelfTestVector& v = self_test_vectors[i % kSelfTestVectorCount];
            file << v.header_hex << ' ' << v.nonce << ' ' << v.expected_hex << ' ' << i << '\n';
        }
    }

    // Runs verify mode; returns its console output.
    std::string verify(int expected_exit) {
        StdoutCapture out;
        EXPECT_EQ(run_verify_mode(path_, devices_), expected_exit);
        return out.finish();
    }

    const std::string path_ = ::testing::TempDir() + "verify_test_" +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                              ".txt";
};

TEST_F(VerifyTest, RecordsAreKeptSkippedOrEndTheReading) {
    const std::string h = self_test_vectors[0].header_hex;
    const std::string x = self_test_vectors[0].expected_hex;
    const std::string bad_pair = h.substr(0, 100) + "zz" + h.substr(102);
    struct Case {
        const char* what;
        std::string text;
        std::vector<uint64_t> nonces;
    };
    const Case cases[] = {
        {"across lines", h + "\n77492\t" + x + "\n 1\n\n" + h + " 6 " + x + " -4 ", {77492, 6}},
        {"long kept, short and not hex skipped",
         h + "abcdef 1 " + x + "ff 0\n" + h.substr(1) + " 2 " + x + " 0\n" + bad_pair + " 3 " + x +
             " 0\n" + h + " 18446744073709551615 short 0\n",
         {1, 18446744073709551615ULL}},
        {"ends at x", h + " 1 " + x + " 0 " + h + " 2 " + x + " x " + h + " 3 " + x + " 0", {1}},
        {"nonce not a number", h + " nonce " + x + " 0", {}},
        {"number beyond int", h + " 1 " + x + " 99999999999", {}},
        {"no number", h + " 1 " + x, {}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write(c.text);
        const VerifyRecords r = read_verify_file(path_);
        EXPECT_EQ(r.nonces, c.nonces);
        ASSERT_EQ(r.headers.size(), c.nonces.size());
        ASSERT_EQ(r.expected.size(), c.nonces.size());
        for (const std::vector<uint8_t>& header : r.headers) {
            ASSERT_EQ(header.size(), 112u);
            EXPECT_EQ(header[0], 0x01);
            EXPECT_EQ(header[111], 0x1e);
        }
    }
    // The whole word is kept; only its first 64 digits are compared.
    write(cases[1].text);
    EXPECT_EQ(read_verify_file(path_).expected, (std::vector<std::string>{x + "ff", "short"}));
}

// Lists of 32 at most, and a context with fewer slots is verified in lists of its own size.
TEST_F(VerifyTest, RecordsAreHashedInListsTheContextHolds) {
    struct Case {
        int hashes_option;
        int sm_count;
        int slots;
        size_t records;
        uint64_t launches;
    };
    for (const Case& c : {Case{0, 8, 40, 33, 2}, Case{16, 2, 16, 40, 3}}) {
        SCOPED_TRACE(c.slots);
        settings_.hashes = c.hashes_option;
        devices_.clear();
        cudasim::reset();
        open({sim_gpu("A", c.sm_count, 6000)}, c.records);
        ASSERT_EQ(devices_[0]->ctx->slots, c.slots);
        const uint64_t launches_before = cudasim::launch_count();
        const std::string n = std::to_string(c.records);
        EXPECT_EQ(verify(0), " check GPU0 verify " + n + "/" + n + " OK\n");
        EXPECT_EQ(cudasim::launch_count() - launches_before, c.launches);
    }
}

TEST_F(VerifyTest, ListFailureEndsVerifyWithItsErrorText) {
    open({sim_gpu("A", 2, 800), sim_gpu("B", 2, 800)}, 4);
    cudasim::FailRule rule;
    rule.function = "cudaMalloc";
    rule.device = 0;
    rule.error = cudaErrorMemoryAllocation;
    cudasim::set_fail_rules({rule});
    set_console_colors(true);
    EXPECT_EQ(verify(1), std::string("\033[31m check\033[0m alloc: ") +
                             cudaGetErrorString(cudaErrorMemoryAllocation) + "\n");
}

}  // namespace
}  // namespace tovren::qel
