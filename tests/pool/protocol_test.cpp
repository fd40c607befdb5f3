#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "job_lines.h"
#include "pool/pool.h"
#include "pool/pool_lines.h"

namespace tovren::qel {
namespace {

using test::header_hex;
using test::job_line;
using test::target_hex;

const std::string kDash = "\xE2\x80\x94";

TEST(PoolLines, LoginLineBytes) {
    EXPECT_EQ(login_line("qel1abc", "rig-1"),
              R"({"id":1,"method":"login","params":{"address":"qel1abc","worker":"rig-1",)"
              R"("protocol_version":2,"capabilities":["submit_claimed_hash"],)"
              R"("difficulty_hint":null}})");
    EXPECT_EQ(login_line("a\"b", "w\\\n"),
              R"({"id":1,"method":"login","params":{"address":"a\"b","worker":"w\\\n",)"
              R"("protocol_version":2,"capabilities":["submit_claimed_hash"],)"
              R"("difficulty_hint":null}})");
}

TEST(PoolLines, SubmitLineBytes) {
    uint8_t hash[32];
    for (int i = 0; i < 32; ++i)
        hash[i] = static_cast<uint8_t>(i * 17 + 3);
    hash[0] = 0x00;
    hash[1] = 0xff;
    hash[2] = 0x0a;
    const std::string hex =
        "00ff0a36475869"
        "7a8b9cadbecfe0f102132435465768798a9bacbdcedff00112";
    ASSERT_EQ(hex.size(), 64u);
    EXPECT_EQ(submit_line(2, "j1", 0, hash),
              R"({"id":2,"method":"submit","params":{"job_id":"j1","nonce":0,"claimed_hash":")" +
                  hex + "\"}}");
    EXPECT_EQ(submit_line(18446744073709551615ull, "a\"b", 18446744073709551615ull, hash),
              R"({"id":18446744073709551615,"method":"submit","params":{"job_id":"a\"b",)"
              R"("nonce":18446744073709551615,"claimed_hash":")" +
                  hex + "\"}}");
}

TEST(ParseHexBytes, StopsAtTheFirstBadPair) {
    uint8_t out[2] = {0x55, 0x55};
    EXPECT_FALSE(parse_hex_bytes("a1bx", out, 2));
    EXPECT_EQ(out[0], 0xa1);
    EXPECT_EQ(out[1], 0x55);
    EXPECT_TRUE(parse_hex_bytes("aBcD", out, 2));
    EXPECT_EQ(out[0], 0xab);
    EXPECT_EQ(out[1], 0xcd);
    EXPECT_TRUE(parse_hex_bytes("0f9Ezz", out, 2));
    EXPECT_EQ(out[1], 0x9e);
    EXPECT_FALSE(parse_hex_bytes("12", out, 2));
    EXPECT_FALSE(parse_hex_bytes("g0", out, 1));
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
    std::vector<std::string> take_logs() { return std::exchange(logs, {}); }

    Pool pool;
    std::vector<std::string> logs;
    std::vector<std::pair<bool, std::string>> results;
};

TEST_F(PoolMessages, LineKindsAndTheirLogs) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
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
        {R"({"id":1,"error":"bad address"})", {"login refused: bad address"}},
        {R"({"id":1,"error":null,"result":{"status":"OK"}})", {"logged in"}},
        {R"({"id":+1,"result":"x"})", {"logged in"}},
        {R"({"method":"job","params":null})", {"job rejected: bad header_base/target"}},
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
        {R"({"id":3,"error":null})", true, ""},
        {R"({"id":3,"error":{"code":-1}})", true, ""},
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
        EXPECT_EQ(results[0].first, c.accepted) << c.line;
        EXPECT_EQ(results[0].second, c.message) << c.line;
    }
    EXPECT_TRUE(logs.empty());
}

TEST_F(PoolMessages, ValidJobIsStoredWithCounterAndConnection) {
    pool.connections = 3;
    pool.handle_message(
        job_line("j7", R"(,"height":7,"difficulty":100,"nonce_start":5,"nonce_end":900,)"
                       R"("network_target":")" +
                           std::string(62, '0') + "ff\""));
    EXPECT_EQ(take_logs(),
              std::vector<std::string>{"new job " + kDash + " height 7, difficulty 100"});
    PoolJob job = current_job();
    EXPECT_EQ(pool.job_seq.load(), 1u);
    EXPECT_EQ(job.seq, 1u);
    EXPECT_EQ(job.conn_gen, 3u);
    EXPECT_EQ(job.job_id, "j7");
    EXPECT_TRUE(job.valid);
    for (int i = 0; i < 112; ++i)
        ASSERT_EQ(job.header[i], i);
    EXPECT_EQ(job.target[2], 0xff);
    EXPECT_EQ(job.target[4], 0x00);
    EXPECT_EQ(job.network_target[31], 0xff);
    EXPECT_EQ(job.height, 7u);
    EXPECT_EQ(job.difficulty, 100u);
    EXPECT_EQ(job.nonce_start, 5u);
    EXPECT_EQ(job.nonce_end, 900u);

    // Defaults, upper-case hex, and a job with an empty id: stored and counted, not minable.
    std::string upper = header_hex();
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    pool.handle_message(R"({"method":"job","params":{"job_id":"","header_base":")" + upper +
                        R"(","target":")" + target_hex() + "\"}}");
    EXPECT_EQ(take_logs(),
              std::vector<std::string>{"new job " + kDash + " height 0, difficulty 0"});
    job = current_job();
    EXPECT_EQ(job.seq, 2u);
    EXPECT_FALSE(job.valid);
    EXPECT_EQ(job.header[111], 111);
    EXPECT_EQ(job.height, 0u);
    EXPECT_EQ(job.nonce_start, 0u);
    EXPECT_EQ(job.nonce_end, UINT64_MAX);
    EXPECT_EQ(job.network_target[31], 0);

    pool.handle_message(R"({"method":"job","params":{"job_id":12,"header_base":")" + header_hex() +
                        R"(","target":")" + target_hex() + "\"}}");
    EXPECT_EQ(current_job().seq, 3u);
    EXPECT_FALSE(current_job().valid);
}

TEST_F(PoolMessages, BadJobsAreRejectedAndLeaveTheJobAlone) {
    pool.handle_message(job_line("keep"));
    take_logs();
    std::string bad_char = header_hex();
    bad_char[100] = 'g';
    const std::string header_cases[] = {header_hex().substr(1), header_hex() + "0", bad_char, ""};
    for (const std::string& header : header_cases) {
        pool.handle_message(R"({"method":"job","params":{"job_id":"x","header_base":")" + header +
                            R"(","target":")" + target_hex() + "\"}}");
    }
    for (const std::string& target : {"0x" + target_hex(), target_hex().substr(2), std::string()}) {
        pool.handle_message(R"({"method":"job","params":{"job_id":"x","header_base":")" +
                            header_hex() + R"(","target":")" + target + "\"}}");
    }
    pool.handle_message(R"({"method":"job","params":{"job_id":"x","header_base":")" + header_hex() +
                        R"(","target":5}})");
    EXPECT_EQ(take_logs(), std::vector<std::string>(8, "job rejected: bad header_base/target"));
    EXPECT_EQ(pool.job_seq.load(), 1u);
    EXPECT_EQ(current_job().job_id, "keep");
    EXPECT_TRUE(current_job().valid);
}

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
        EXPECT_EQ(job.nonce_end, UINT64_MAX) << extra;
        EXPECT_EQ(job.height, 0u) << extra;
        for (uint8_t b : job.network_target)
            ASSERT_EQ(b, 0) << extra;
        EXPECT_TRUE(job.valid);
    }
}

TEST_F(PoolMessages, LoginReplyCarryingAJob) {
    const std::string job = job_line("login-job", R"(,"height":3)");
    const std::string params = job.substr(job.find("{\"job_id\""));
    pool.handle_message(R"({"id":1,"error":null,"result":)" + params.substr(0, params.size() - 1) +
                        "}");
    EXPECT_EQ(take_logs(), (std::vector<std::string>{"new job " + kDash + " height 3, difficulty 0",
                                                     "logged in"}));
    EXPECT_EQ(current_job().job_id, "login-job");

    // A refused login takes no job even when the reply carries one.
    pool.handle_message(R"({"id":1,"error":"no","result":)" + params.substr(0, params.size() - 1) +
                        "}");
    EXPECT_EQ(take_logs(), std::vector<std::string>{"login refused: no"});
    EXPECT_EQ(pool.job_seq.load(), 1u);
}

TEST_F(PoolMessages, SubmitIdsCountUpAndNothingIsSentWhileDisconnected) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    uint8_t hash[32] = {};
    {
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        pool.fd = sv[0];
    }
    pool.submit("a", 1, hash);
    pool.submit("b", 2, hash);
    {
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        pool.fd = -1;
    }
    EXPECT_FALSE(pool.send_line("x"));
    pool.submit("c", 3, hash);
    {
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        pool.fd = sv[0];
    }
    pool.submit("d", 4, hash);
    {
        std::lock_guard<std::mutex> lock(pool.send_mutex);
        pool.fd = -1;
    }
    close(sv[0]);
    std::string wire;
    char buf[4096];
    for (ssize_t n; (n = read(sv[1], buf, sizeof buf)) > 0;)
        wire.append(buf, n);
    close(sv[1]);
    EXPECT_EQ(wire, submit_line(2, "a", 1, hash) + "\n" + submit_line(3, "b", 2, hash) + "\n" +
                        submit_line(5, "d", 4, hash) + "\n");
}

}  // namespace
}  // namespace tovren::qel
