// The verify file, and verify mode on GPUs that start-up has opened.
#include "app/verify.h"

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/gpu_selection.h"
#include "capture.h"
#include "sim_fixture.h"
#include "temp_dir.h"

namespace tovren::qel {
namespace {

using VerifyTest = testing::SimTest;

TEST_F(VerifyTest, RecordsAreKeptSkippedOrEndTheReading) {
    const std::string h = self_test_vectors[0].header_hex;
    const std::string x = self_test_vectors[0].expected_hex;
    const std::pair<std::string, std::vector<uint64_t>> cases[] = {
        // text, nonces read
        {h + "\n77492\t" + x + "\n 1\n\n" + h + " 6 " + x + " -4 ", {77492, 6}},
        // Longer headers are kept; a short one or one that does not decode is skipped.
        {h + "abcdef 1 " + x + "ff 0\n" + h.substr(1) + " 2 " + x + " 0\n" + h.substr(0, 100) +
             "zz" + h.substr(102) + " 3 " + x + " 0\n" + h + " 18446744073709551615 short 0\n",
         {1, 18446744073709551615ULL}},
        {h + " 1 " + x + " 0 " + h + " 2 " + x + " 99999999999 " + h + " 3 " + x + " 0", {1}},
        // A field that is not a number, or a record cut short, ends the reading.
        {h + " 1 " + x + " 0 " + h + " 2 " + x + " x " + h + " 3 " + x + " 0", {1}},
        {h + " nonce " + x + " 0 " + h + " 2 " + x + " 0", {}},
        {h + " 1 " + x + " 0\n" + h + " 2 " + x, {1}},
        {"", {}},
    };
    const testing::TempDir dir;
    const std::string file = dir.file("records");
    for (const auto& [text, nonces] : cases) {
        std::ofstream(file) << text;
        const VerifyRecords r = read_verify_file(file);
        EXPECT_EQ(r.nonces, nonces) << text;
        ASSERT_EQ(r.headers.size(), nonces.size());
        ASSERT_EQ(r.expected.size(), nonces.size());
        for (const std::vector<uint8_t>& header : r.headers)
            EXPECT_TRUE(header.size() == 112 && header[0] == 0x01 && header[111] == 0x1e);
    }
    // The whole word is kept; only its first 64 digits are compared.
    std::ofstream(file) << cases[1].first;
    EXPECT_EQ(read_verify_file(file).expected, (std::vector<std::string>{x + "ff", "short"}));
}

// Lists of 32 at most (a context with fewer slots gets lists of its own size); a wrong hash
// or a failing CUDA call fails verify.
TEST_F(VerifyTest, ListsOfThirtyTwoAndFaultsOfTheGpu) {
    use_gpus({{8, 6000}});
    testing::StdoutCapture quiet;
    ASSERT_EQ(open_gpus(settings_, devices_), 0);
    quiet.finish();
    ASSERT_EQ(devices_[0]->ctx->slots, 40);
    const testing::TempDir dir;
    const auto verify = [&](size_t records, int exit_code) {
        std::ofstream(dir.file("records")) << testing::verify_records(records);
        testing::StdoutCapture out;
        EXPECT_EQ(run_verify_mode(dir.file("records"), devices_), exit_code);
        return out.finish();
    };
    const uint64_t launches = cudasim::launch_count();
    EXPECT_EQ(verify(33, 0), " check GPU0 verify 33/33 OK\n");
    EXPECT_EQ(cudasim::launch_count() - launches, 2u);
    EXPECT_EQ(verify(1, 0), " check GPU0 verify 1/1 OK\n");
    cudasim::set_corrupt_rules({{10, 70, 0}});  // one byte of the third hash
    EXPECT_EQ(verify(4, 1), " check GPU0 verify 3/4 FAILED\n");
    cudasim::set_fail_rules({{"cudaMalloc", -1, 1, false, cudaErrorMemoryAllocation}});
    set_console_colors(true);
    EXPECT_EQ(verify(4, 1), std::string("\033[31m check\033[0m alloc: ") +
                                cudaGetErrorString(cudaErrorMemoryAllocation) + "\n");
}

// A context of 16 slots, as --hashes 16 makes it, verifies 40 records in lists of 16.
TEST_F(VerifyTest, SmallContextIsVerifiedInListsOfItsSize) {
    use_gpus({{2, 6000}});
    settings_.hashes = 16;
    set_console_colors(false);
    testing::StdoutCapture out;
    ASSERT_EQ(open_gpus(settings_, devices_), 0);
    out.finish();
    ASSERT_EQ(devices_[0]->ctx->slots, 16);
    const testing::TempDir dir;
    std::ofstream(dir.file("records")) << testing::verify_records(40);
    const uint64_t launches = cudasim::launch_count();
    testing::StdoutCapture lines;
    EXPECT_EQ(run_verify_mode(dir.file("records"), devices_), 0);
    EXPECT_EQ(lines.finish(), " check GPU0 verify 40/40 OK\n");
    EXPECT_EQ(cudasim::launch_count() - launches, 3u);
}

// Each GPU is judged alone, green or red, and one that fails fails the run; a failing list
// ends verify mode at once, so the GPUs after it get no line.
TEST_F(VerifyTest, TwoGpusWhereOnlyTheFirstFails) {
    use_gpus({{2, 800}, {2, 800}});
    testing::StdoutCapture quiet;
    ASSERT_EQ(open_gpus(settings_, devices_), 0);
    quiet.finish();
    const testing::TempDir dir;
    std::ofstream(dir.file("records")) << testing::verify_records(4);
    set_console_colors(true);
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[] {
             cudasim::set_corrupt_rules({{10, 70, 0}});
         },
         "\033[31m check\033[0m GPU0 verify 3/4 FAILED\n"
         "\033[32m check\033[0m GPU1 verify 4/4 OK\n"},
        {[] {
             cudasim::set_fail_rules({{"cudaMalloc", 0, 1, true, cudaErrorMemoryAllocation}});
         },
         std::string("\033[31m check\033[0m alloc: ") +
             cudaGetErrorString(cudaErrorMemoryAllocation) + "\n"},
    };
    for (const auto& [fault, lines] : cases) {
        fault();
        testing::StdoutCapture out;
        EXPECT_EQ(run_verify_mode(dir.file("records"), devices_), 1);
        EXPECT_EQ(out.finish(), lines);
        cudasim::set_corrupt_rules({});
        cudasim::set_fail_rules({});
    }
    set_console_colors(false);
}

}  // namespace
}  // namespace tovren::qel
