#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pool/pool.h"
#include "pool/pool_lines.h"
#include "support.h"

namespace tovren::qel {
namespace {

using test::header_hex;
using test::job_json;
using test::job_line;
using test::kTarget;
using test::Lines;

const std::string kRejected = "job rejected: bad header_base/target";

TEST(PoolLines, SubmitLineBytes) {
    uint8_t hash[32] = {0x00, 0xff, 0x0a};
    hash[31] = 0x9c;
    EXPECT_EQ(submit_line(UINT64_MAX, "a\"b", UINT64_MAX - 1, hash),
              R"({"id":18446744073709551615,"method":"submit","params":{"job_id":"a\"b",)"
              R"("nonce":18446744073709551614,"claimed_hash":"00ff0a)" +
                  std::string(56, '0') + "9c\"}}");
    EXPECT_EQ(submit_line(2, "j1", 0, hash),
              R"({"id":2,"method":"submit","params":{"job_id":"j1","nonce":0,"claimed_hash":")"
              R"(00ff0a)" +
                  std::string(56, '0') + "9c\"}}");
    // Hex is read in whole pairs only.
    EXPECT_FALSE(parse_hex_bytes("a1b", hash, 2));
}

TEST(PoolLines, LoginLineEscapesAddressAndWorker) {
    const std::string rest = R"("protocol_version":2,"capabilities":["submit_claimed_hash"],)"
                             R"("difficulty_hint":null}})";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"qel1abc", "rig-1", R"("address":"qel1abc","worker":"rig-1",)"},
        {"a\"b", "w\\\n", R"("address":"a\"b","worker":"w\\\n",)"},
        {"", "", R"("address":"","worker":"",)"},
    };
    for (const auto& [address, worker, params] : cases)
        EXPECT_EQ(login_line(address, worker),
                  R"({"id":1,"method":"login","params":{)" + params + rest)
            << address;
}

// Pairs of either case are decoded in order; the first bad pair, or the end of a short text,
// ends the decoding with the bytes before it written and the rest untouched; characters after
// the last pair are not read.
TEST(ParseHexBytes, DecodesPairsUpToTheFirstBadOne) {
    const std::tuple<std::string, size_t, bool, std::vector<uint8_t>> cases[] = {
        {"aBcD", 2, true, {0xab, 0xcd, 0x55}},   {"09Fazz", 2, true, {0x09, 0xfa, 0x55}},
        {"a1bx", 2, false, {0xa1, 0x55, 0x55}},  {"a1xb", 2, false, {0xa1, 0x55, 0x55}},
        {"g1", 1, false, {0x55, 0x55, 0x55}},    {"12", 2, false, {0x12, 0x55, 0x55}},
        {"000fF0", 3, true, {0x00, 0x0f, 0xf0}},
    };
    for (const auto& [text, n, ok, bytes] : cases) {
        std::vector<uint8_t> out(3, 0x55);
        EXPECT_EQ(parse_hex_bytes(text, out.data(), n), ok) << text;
        EXPECT_EQ(out, bytes) << text;
    }
}

class PoolMessages : public ::testing::Test {
  protected:
    void SetUp() override { events.attach(pool); }
    // The logs and share results that line gives.
    Lines handle(const std::string& line) {
        pool.handle_message(line);
        return events.take();
    }

    Pool pool;
    test::Events events;
};

// Lines that are not understood give nothing; replies are told apart by id alone (1 is the
// login, anything else a share); only "OK", "ok", "accepted" or no status accept a share.
TEST_F(PoolMessages, EachLineGivesItsLogOrShareResult) {
    const std::pair<std::string, Lines> cases[] = {
        {"not json", {}},
        {"[1,2]", {}},
        {R"({"method":"job"})", {}},
        {R"({"method":"Job","params":{}})", {}},
        {R"({"method":"notification"})", {}},
        {R"({"method":"job","id":1})", {"logged in"}},
        {R"({"method":"notification","params":{"kind":"maintenance","type":"t"}})",
         {"pool notice: maintenance"}},
        {R"({"method":"notification","params":{"type":"t"}})", {"pool notice: t"}},
        {R"({"method":"notification","params":{}})", {"pool notice: notification"}},
        {R"({"method":"notification","params":5,"id":1})", {"pool notice: notification"}},
        {R"({"id":1,"error":null,"result":{"status":"OK"}})", {"logged in"}},
        {R"({"id":+1,"result":"x"})", {"logged in"}},
        {"{\"id\":1}\r", {"logged in"}},
        {R"({"id":2,"status":"OK"})", {"share accepted OK"}},
        {R"({"id":3,"status":"ok"})", {"share accepted ok"}},
        {R"({"id":3,"status":"accepted"})", {"share accepted accepted"}},
        {R"({"id":3})", {"share accepted "}},
        {R"({"id":3,"result":{"status":"rejected"}})", {"share accepted "}},
        {R"({"id":3,"status":"Accepted"})", {"share rejected "}},
        {R"({"id":3,"status":"stale"})", {"share rejected "}},
        {R"({"id":3,"status":"accepted","error":"low difficulty"})",
         {"share rejected low difficulty"}},
        // an id that is not a whole decimal number reads as 0: a share result, never the login
        {R"({"id":"1","error":"dup"})", {"share rejected dup"}},
        {R"({"id":1.0,"status":"OK"})", {"share accepted OK"}},
        {R"({"id":null,"status":"OK"})", {"share accepted OK"}},
        {R"({"id":-1,"error":"e"})", {"share rejected e"}},
        {R"({"id":1e0})", {"share accepted "}},
        {R"({"method":"job","params":null})", {kRejected}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(handle(c.first), c.second) << c.first;
    EXPECT_EQ(pool.job_seq.load(), 0u);
    EXPECT_FALSE(pool.job.valid);
}

// A job with a bad header_base or target is neither stored nor counted: before the first job,
// and after one, which stays current with its id, counter, fields and valid flag.
TEST_F(PoolMessages, RejectedJobsLeaveTheCurrentJobAlone) {
    std::string bad_char = header_hex();
    bad_char[100] = 'g';
    // header_base, target
    const std::pair<std::string, std::string> cases[] = {{header_hex().substr(1), kTarget},
                                                         {header_hex() + "0", kTarget},
                                                         {bad_char, kTarget},
                                                         {"", kTarget},
                                                         {header_hex(), "0x" + kTarget},
                                                         {header_hex(), kTarget + "0"},
                                                         {header_hex(), kTarget.substr(2)},
                                                         {header_hex(), ""},
                                                         {header_hex(), "0g" + kTarget.substr(2)}};
    for (const bool stored : {false, true}) {
        if (stored) {
            ASSERT_EQ(handle(job_line("keep", R"(,"height":5)")),
                      Lines{"new job \xE2\x80\x94 height 5, difficulty 0"});
        }
        for (const auto& [header, target] : cases) {
            EXPECT_EQ(handle(job_json("\"x\"", header, target)), Lines{kRejected})
                << header << " / " << target;
            const PoolJob& j = pool.job;
            EXPECT_EQ(pool.job_seq.load(), stored ? 1u : 0u);
            EXPECT_TRUE(j.valid == stored && j.seq == pool.job_seq && j.height == (stored ? 5 : 0));
            EXPECT_EQ(j.job_id, stored ? "keep" : "");
            EXPECT_TRUE(j.header[1] == (stored ? 1 : 0) && j.header[111] == (stored ? 111 : 0) &&
                        j.target[2] == (stored ? 0xff : 0));
        }
    }
}

// An "error" that carries something refuses the login and rejects the share whatever its
// status: an object shows its string "message", any other value its compact text. null, false,
// zero and empty values are no error.
TEST_F(PoolMessages, ErrorValuesOfLoginAndShareReplies) {
    const std::pair<std::string, const char*> cases[] = {
        {"null", nullptr},
        {R"("")", nullptr},
        {R"("bad address")", "bad address"},
        {R"({"code":23,"message":"Low difficulty share"})", "Low difficulty share"},
        {R"({"message":""})", ""},
        {R"({ "code" : -1.50, "message":null, "e":{} })",
         R"({"code":-1.50,"message":null,"e":{}})"},
        {R"([ 7, "a\"\n\u007f", true, [ ] ])", "[7,\"a\\\"\\n\x7f\",true,[]]"},
        {"false", nullptr},
        {"0", nullptr},
        {"-0.0", nullptr},
        {"[]", nullptr},
        {"{ }", nullptr},
        {"true", "true"},
        {"-32", "-32"},
        {"0.5", "0.5"},
        {R"([21, "Job not found", null])", R"([21,"Job not found",null])"},
    };
    for (const auto& [error, shown] : cases) {
        const std::string text = shown ? shown : "";
        EXPECT_EQ(handle(R"({"id":1,"error":)" + error + "}"),
                  Lines{shown ? "login refused: " + text : "logged in"})
            << error;
        EXPECT_EQ(handle(R"({"id":7,"status":"OK","error":)" + error + "}"),
                  Lines{shown ? "share rejected " + text : "share accepted OK"})
            << error;
    }
}

// Each job is stored and counted, with the connection it came on; an id that is empty or not
// a string makes it not minable; a malformed optional field reads as absent; a block target
// that fails to decode is all zero, never half decoded.
TEST_F(PoolMessages, JobsAreStoredWithTheirFields) {
    std::string upper = header_hex();
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const std::string f62 = std::string(62, 'f');
    // valid, height, difficulty, nonce range, block target's first and last bytes
    const std::vector<uint64_t> valid = {1, 0, 0, 0, UINT64_MAX, 0, 0};
    const std::vector<uint64_t> invalid = {0, 0, 0, 0, UINT64_MAX, 0, 0};
    const std::pair<std::string, std::vector<uint64_t>> cases[] = {
        {job_line("j7", R"(,"height":7,"difficulty":100,"nonce_start":5,"nonce_end":900,)"
                        R"("network_target":"00)" +
                            f62 + "\""),
         {1, 7, 100, 5, 900, 0, 0xff}},
        {job_json("\"\"", upper), invalid},
        {job_json("12", header_hex()), invalid},
        {job_line("j", R"(,"nonce_end":"5","network_target":")" + f62 + "\""), valid},
        {job_line("j", R"(,"nonce_end":1e3,"network_target":")" + f62 + "fg\""), valid},
        {job_line("j", R"(,"nonce_end":1.0,"network_target":5)"), valid},
        {job_line("j", R"(,"nonce_end":-1,"height":"9","difficulty":-2)"), valid},
    };
    pool.connections = 3;
    uint64_t seq = 0;
    for (const auto& [line, fields] : cases) {
        EXPECT_EQ(handle(line), Lines{"new job \xE2\x80\x94 height " + std::to_string(fields[1]) +
                                      ", difficulty " + std::to_string(fields[2])});
        const PoolJob& j = pool.job;
        EXPECT_EQ(std::vector<uint64_t>({j.valid, j.height, j.difficulty, j.nonce_start,
                                         j.nonce_end, j.network_target[0], j.network_target[31]}),
                  fields)
            << line;
        EXPECT_TRUE(j.seq == ++seq && j.conn_gen == 3 && j.target[2] == 0xff &&
                    j.target[31] == 0x7f);
        EXPECT_EQ(j.job_id, seq == 1 ? "j7" : seq < 4 ? "" : "j") << line;
        for (int i = 0; i < 112; ++i)
            ASSERT_EQ(j.header[i], i) << line;
    }
    // A login reply may carry a job; a refused one takes none.
    const std::string job = job_line("login-job", R"(,"height":3)");
    const std::string params = job.substr(job.find("{\"job_id\""));
    EXPECT_EQ(handle(R"({"id":1,"error":{"message":"no"},"result":)" + params),
              Lines{"login refused: no"});
    EXPECT_EQ(handle(R"({"id":1,"error":null,"result":)" + params),
              (Lines{"new job \xE2\x80\x94 height 3, difficulty 0", "logged in"}));
    EXPECT_EQ(pool.job.job_id, "login-job");
    EXPECT_EQ(pool.job_seq.load(), 8u);
}

}  // namespace
}  // namespace tovren::qel
