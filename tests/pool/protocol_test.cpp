#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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
    // Hex is read in whole pairs only.
    EXPECT_FALSE(parse_hex_bytes("a1b", hash, 2));
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
    std::string bad_char = header_hex();
    bad_char[100] = 'g';
    const std::pair<std::string, Lines> cases[] = {
        {"not json", {}},
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
        {R"({"id":2,"status":"OK"})", {"share accepted OK"}},
        {R"({"id":3,"status":"ok"})", {"share accepted ok"}},
        {R"({"id":3,"status":"accepted"})", {"share accepted accepted"}},
        {R"({"id":3})", {"share accepted "}},
        {R"({"id":3,"result":{"status":"rejected"}})", {"share accepted "}},
        {R"({"id":3,"status":"Accepted"})", {"share rejected "}},
        {R"({"id":"1","error":"dup"})", {"share rejected dup"}},
        // jobs with a bad header_base or target are neither stored nor counted
        {R"({"method":"job","params":null})", {kRejected}},
        {job_json("\"x\"", header_hex().substr(1)), {kRejected}},
        {job_json("\"x\"", header_hex() + "0"), {kRejected}},
        {job_json("\"x\"", bad_char), {kRejected}},
        {job_json("\"x\"", header_hex(), "0x" + kTarget), {kRejected}},
        {job_json("\"x\"", header_hex(), kTarget + "0"), {kRejected}},
        {job_json("\"x\"", header_hex(), ""), {kRejected}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(handle(c.first), c.second) << c.first;
    EXPECT_EQ(pool.job_seq.load(), 0u);
    EXPECT_FALSE(pool.job.valid);
}

// Any "error" but null or an empty string refuses the login and rejects the share whatever
// its status: an object shows its string "message", any other value its compact text.
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
        {"false", "false"},
        {"0", "0"},
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
