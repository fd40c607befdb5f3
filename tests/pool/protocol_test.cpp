#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "job_lines.h"
#include "pool/pool.h"
#include "pool/pool_lines.h"

namespace tovren::qel {
namespace {

using test::header_hex;
using test::job_json;
using test::job_line;
using test::target_hex;
using Logs = std::vector<std::string>;

const std::string kDash = "\xE2\x80\x94";
const std::string kRejected = "job rejected: bad header_base/target";

TEST(PoolLines, LoginLineBytes) {
    const std::string rest = R"("protocol_version":2,"capabilities":["submit_claimed_hash"],)"
                             R"("difficulty_hint":null}})";
    EXPECT_EQ(login_line("qel1abc", "rig-1"),
              R"({"id":1,"method":"login","params":{"address":"qel1abc","worker":"rig-1",)" + rest);
    EXPECT_EQ(login_line("a\"b", "w\\\n"),
              R"({"id":1,"method":"login","params":{"address":"a\"b","worker":"w\\\n",)" + rest);
}

TEST(PoolLines, SubmitLineBytes) {
    const uint8_t hash[32] = {0x00, 0xff, 0x0a};
    const std::string hex = "00ff0a" + std::string(58, '0');
    EXPECT_EQ(submit_line(2, "j1", 0, hash),
              R"({"id":2,"method":"submit","params":{"job_id":"j1","nonce":0,"claimed_hash":")" +
                  hex + "\"}}");
    EXPECT_EQ(submit_line(UINT64_MAX, "a\"b", UINT64_MAX, hash),
              R"({"id":18446744073709551615,"method":"submit","params":{"job_id":"a\"b",)"
              R"("nonce":18446744073709551615,"claimed_hash":")" +
                  hex + "\"}}");
}

TEST(ParseHexBytes, TakesEitherCaseAndStopsAtTheFirstBadPair) {
    uint8_t out[2] = {0x55, 0x55};
    EXPECT_FALSE(parse_hex_bytes("a1bx", out, 2));
    EXPECT_TRUE(out[0] == 0xa1 && out[1] == 0x55);
    EXPECT_TRUE(parse_hex_bytes("aBcDzz", out, 2));
    EXPECT_TRUE(out[0] == 0xab && out[1] == 0xcd);
    EXPECT_FALSE(parse_hex_bytes("12", out, 2));
}

class PoolMessages : public ::testing::Test {
  protected:
    void SetUp() override {
        pool.on_log = [this](const std::string& m) { logs.push_back(m); };
        pool.on_share_result = [this](bool ok, const std::string& m) {
            results.emplace_back(ok, m);
        };
    }
    PoolJob current_job() {
        std::lock_guard<std::mutex> lock(pool.job_mutex);
        return pool.job;
    }
    Logs take_logs() { return std::exchange(logs, {}); }

    Pool pool;
    Logs logs;
    std::vector<std::pair<bool, std::string>> results;
};

TEST_F(PoolMessages, LineKindsAndTheirLogs) {
    const std::pair<std::string, Logs> cases[] = {
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
        {R"({"method":"job","params":null})", {kRejected}},
        {"{\"id\":1}\r", {"logged in"}},
    };
    for (const auto& c : cases) {
        pool.handle_message(c.first);
        EXPECT_EQ(take_logs(), c.second) << c.first;
    }
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(pool.job_seq.load(), 0u);
}

TEST_F(PoolMessages, ShareResultClassification) {
    const struct {
        const char* line;
        bool accepted;
        const char* message;
    } cases[] = {
        {R"({"id":2,"status":"OK"})", true, "OK"},
        {R"({"id":3,"status":"ok"})", true, "ok"},
        {R"({"id":3,"status":"accepted"})", true, "accepted"},
        {R"({"id":3})", true, ""},
        {R"({"id":3,"result":{"status":"rejected"}})", true, ""},
        {R"({"id":3,"status":"accepted","error":"low difficulty"})", false, "low difficulty"},
        {R"({"id":3,"status":"Accepted"})", false, ""},
        {R"({"id":3,"status":"stale"})", false, ""},
        {R"({"id":null,"status":"OK"})", true, "OK"},
        {R"({"id":"1","error":"dup"})", false, "dup"},
        {R"({"id":1.0,"status":"OK"})", true, "OK"},
        {R"({"id":-1,"error":"e"})", false, "e"},
    };
    for (const auto& c : cases) {
        results.clear();
        pool.handle_message(c.line);
        ASSERT_EQ(results.size(), 1u) << c.line;
        EXPECT_EQ(results[0], std::make_pair(c.accepted, std::string(c.message))) << c.line;
    }
    EXPECT_TRUE(logs.empty());
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
    for (const auto& c : cases) {
        const bool none = c.second == nullptr;
        pool.handle_message(R"({"id":1,"error":)" + c.first + "}");
        EXPECT_EQ(take_logs(), Logs{none ? "logged in" : "login refused: " + std::string(c.second)})
            << c.first;
        results.clear();
        pool.handle_message(R"({"id":7,"status":"OK","error":)" + c.first + "}");
        ASSERT_EQ(results.size(), 1u) << c.first;
        EXPECT_EQ(results[0], std::make_pair(none, std::string(none ? "OK" : c.second))) << c.first;
    }
}

TEST_F(PoolMessages, ValidJobIsStoredWithCounterAndConnection) {
    pool.connections = 3;
    pool.handle_message(
        job_line("j7", R"(,"height":7,"difficulty":100,"nonce_start":5,"nonce_end":900,)"
                       R"("network_target":")" +
                           std::string(62, '0') + "ff\""));
    EXPECT_EQ(take_logs(), Logs{"new job " + kDash + " height 7, difficulty 100"});
    PoolJob job = current_job();
    EXPECT_EQ(pool.job_seq.load(), 1u);
    EXPECT_TRUE(job.valid && job.seq == 1 && job.conn_gen == 3 && job.job_id == "j7");
    for (int i = 0; i < 112; ++i)
        ASSERT_EQ(job.header[i], i);
    EXPECT_TRUE(job.target[2] == 0xff && job.target[4] == 0 && job.network_target[31] == 0xff);
    EXPECT_TRUE(job.height == 7 && job.difficulty == 100);
    EXPECT_TRUE(job.nonce_start == 5 && job.nonce_end == 900);

    // Defaults, upper-case hex, and a job id that is empty or not a string: stored and
    // counted, not minable.
    std::string upper = header_hex();
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    pool.handle_message(job_json("\"\"", upper, target_hex()));
    EXPECT_EQ(take_logs(), Logs{"new job " + kDash + " height 0, difficulty 0"});
    job = current_job();
    EXPECT_TRUE(!job.valid && job.seq == 2 && job.header[111] == 111);
    EXPECT_TRUE(job.height == 0 && job.nonce_start == 0 && job.nonce_end == UINT64_MAX);
    EXPECT_EQ(job.network_target[31], 0);

    pool.handle_message(job_json("12", header_hex(), target_hex()));
    EXPECT_EQ(current_job().seq, 3u);
    EXPECT_FALSE(current_job().valid);
}

TEST_F(PoolMessages, BadJobsAreRejectedAndLeaveTheJobAlone) {
    pool.handle_message(job_line("keep"));
    take_logs();
    std::string bad_char = header_hex();
    bad_char[100] = 'g';
    const std::pair<std::string, std::string> cases[] = {{header_hex().substr(1), target_hex()},
                                                         {header_hex() + "0", target_hex()},
                                                         {bad_char, target_hex()},
                                                         {"", target_hex()},
                                                         {header_hex(), "0x" + target_hex()},
                                                         {header_hex(), target_hex().substr(2)},
                                                         {header_hex(), ""}};
    for (const auto& c : cases) {
        pool.handle_message(job_json("\"x\"", c.first, c.second));
        EXPECT_EQ(take_logs(), Logs{kRejected}) << c.first << " / " << c.second;
    }
    EXPECT_EQ(pool.job_seq.load(), 1u);
    EXPECT_EQ(current_job().job_id, "keep");
    EXPECT_TRUE(current_job().valid);
}

// A malformed optional field is read as absent; a block target that fails to decode is all
// zero, never half decoded.
TEST_F(PoolMessages, OptionalFieldsFallBackToDefaults) {
    const std::string cases[] = {
        R"(,"nonce_end":"5","network_target":")" + std::string(62, 'f') + "\"",
        R"(,"nonce_end":1e3,"network_target":")" + std::string(63, 'f') + "g\"",
        R"(,"nonce_end":1.0,"network_target":5)",
        R"(,"nonce_end":-1,"height":"9")",
    };
    for (const std::string& extra : cases) {
        pool.handle_message(job_line("j", extra));
        PoolJob job = current_job();
        EXPECT_TRUE(job.valid && job.nonce_end == UINT64_MAX && job.height == 0) << extra;
        for (uint8_t b : job.network_target)
            ASSERT_EQ(b, 0) << extra;
    }
}

TEST_F(PoolMessages, LoginReplyCarryingAJob) {
    const std::string job = job_line("login-job", R"(,"height":3)");
    // The job's params, then the brace that closes the reply.
    const std::string params = job.substr(job.find("{\"job_id\""));
    pool.handle_message(R"({"id":1,"error":null,"result":)" + params);
    EXPECT_EQ(take_logs(), (Logs{"new job " + kDash + " height 3, difficulty 0", "logged in"}));
    EXPECT_EQ(current_job().job_id, "login-job");

    // A refused login takes no job even when the reply carries one.
    pool.handle_message(R"({"id":1,"error":{"message":"no"},"result":)" + params);
    EXPECT_EQ(take_logs(), Logs{"login refused: no"});
    EXPECT_EQ(pool.job_seq.load(), 1u);
}

}  // namespace
}  // namespace tovren::qel
