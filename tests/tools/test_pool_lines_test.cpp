// The test pool reads what a client sends over a socket: the lines a miner writes are read to
// the last byte, and any other line gets an error reply (too long to be a request, the end of
// its connection too) while another client goes on being served.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "../app/progress.h"
#include "pool_client.h"
#include "tools/test-pool/test_pool.h"

namespace tovren::qel {
namespace {

using nlohmann::json;
using test::PoolClient;
using testing::kStallMs;
using testing::TestPool;

const std::string kLogin =
    R"({"id":1,"method":"login","params":{"address":"qel1x","worker":"rig-1",)"
    R"("protocol_version":2,"capabilities":["submit_claimed_hash"],"difficulty_hint":null}})";
const std::string kHash(64, 'a');

std::string submit(const std::string& id, const std::string& nonce) {
    return R"({"id":)" + id + R"(,"method":"submit","params":{"job_id":"job-1","nonce":)" + nonce +
           R"(,"claimed_hash":")" + kHash + R"("}})";
}

// The pool's reply to the line, read as JSON; without an id when none came or it is not JSON.
json reply(PoolClient& client, const std::string& line) {
    const auto text = client.send_all(line + "\n") ? client.read_line(kStallMs) : std::nullopt;
    const json answer = text ? json::parse(*text, nullptr, false) : json();
    return answer.is_object() ? answer : json{{"no reply", text.value_or("")}};
}

json id_of(const json& answer) {
    return answer.value("id", json("no id"));
}

struct Outcome {
    json answer;
    std::string recorded;  // a line for each login or share the pool recorded meanwhile
};

Outcome exchange(const TestPool& pool, PoolClient& client, const std::string& line) {
    const size_t logins_before = pool.logins().size();
    const size_t submits_before = pool.submits().size();
    Outcome out{reply(client, line), ""};
    const auto logins = pool.logins();
    for (size_t i = logins_before; i < logins.size(); ++i)
        out.recorded += "login " + logins[i].address + "|" + logins[i].worker + "\n";
    const auto submits = pool.submits();
    for (size_t i = submits_before; i < submits.size(); ++i) {
        out.recorded += "submit " + submits[i].job_id + "|" + std::to_string(submits[i].nonce) +
                        "|" + submits[i].claimed_hash + "\n";
    }
    return out;
}

class TestPoolLines : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pool_.listening());
        pool_.set_job(testing::PoolTestJob{});
        ASSERT_TRUE(other_.connected());
        ASSERT_EQ(id_of(reply(other_, kLogin)), 1);
    }

    // The other client, logged in before, still gets its reply.
    void ExpectOtherServed(uint64_t id) {
        EXPECT_EQ(id_of(reply(other_, submit(std::to_string(id), "5"))), id)
            << "the other client was not served";
    }

    TestPool pool_;
    PoolClient other_{pool_.port()};
};

TEST_F(TestPoolLines, LinesAsTheMinerWritesThemAreReadWhole) {
    const struct {
        std::string line;
        uint64_t id;
        std::string recorded;
    } cases[] = {
        {kLogin, 1, "login qel1x|rig-1"},
        // Escapes as the miner writes them, and UTF-8 as it is.
        {R"({"id":1,"method":"login","params":{"address":"q\"\\\r\t\u001f)"
         "\xC3\xA9"
         R"(","worker":"w\n"}})",
         1, "login q\"\\\r\t\x1f\xC3\xA9|w\n"},
        {submit("18446744073709551615", "18446744073709551615"), UINT64_MAX,
         "submit job-1|18446744073709551615|" + kHash},
        // A line feed after a carriage return, and a field this pool does not know.
        {R"({"id":7,"method":"submit","params":{"job_id":"j\"1","nonce":0,"claimed_hash":"",)"
         R"("extra":[1]}})"
         "\r",
         7, "submit j\"1|0|"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        PoolClient client(pool_.port());
        const Outcome out = exchange(pool_, client, c.line);
        EXPECT_EQ(id_of(out.answer), c.id);
        EXPECT_EQ(out.recorded, c.recorded + "\n");
    }
}

// Each line is refused with the id it carries (null when it has none that can be read) and a
// reason, records nothing, and leaves its client connected.
TEST_F(TestPoolLines, AnyOtherLineGetsAnErrorReplyAndTheOtherClientIsServedOn) {
    const struct {
        std::string line;
        json id;
        std::string reason;
    } cases[] = {
        {R"({"id":1,"method":"login","params":{"address":"\uZZZZ","worker":"w"}})", nullptr,
         "not JSON"},
        {R"({"id":1,"method":"login","params":{"address":")"
         "\xFF"
         R"(","worker":"w"}})",
         nullptr, "not JSON"},
        {R"({"id":1,"method":"login")", nullptr, "not JSON"},
        {"", nullptr, "not JSON"},
        {"[1]", nullptr, "not a JSON object"},
        {R"({"id":"3","method":"submit","params":{}})", nullptr, "id must be"},
        {R"({"id":-3,"method":"submit","params":{}})", nullptr, "id must be"},
        {R"({"method":"submit","params":{}})", nullptr, "id must be"},
        {R"({"id":3,"params":{}})", 3, "method must be"},
        {R"({"id":3,"method":"logout","params":{}})", 3, "method must be"},
        {R"({"id":3,"method":"login","params":[]})", 3, "params must be an object"},
        {R"({"id":1,"method":"login","params":{"address":7,"worker":"w"}})", 1,
         "params.address must be a string"},
        {R"({"id":1,"method":"login","params":{"address":"a"}})", 1, "params.worker is missing"},
        {R"({"id":1,"method":"login","params":{"address":"a","worker":"w","protocol_version":"2"}})",
         1, "params.protocol_version must be an unsigned"},
        {R"({"id":1,"method":"login","params":{"address":"a","worker":"w","capabilities":[1]}})", 1,
         "params.capabilities must be an array of strings"},
        {R"({"id":1,"method":"login","params":{"address":"a","worker":"w","difficulty_hint":"8"}})",
         1, "params.difficulty_hint must be a number or null"},
        {submit("4", "\"5\""), 4, "params.nonce must be an unsigned"},
        {submit("4", "-1"), 4, "params.nonce must be an unsigned"},
        {submit("4", "1.0"), 4, "params.nonce must be an unsigned"},
        {submit("4", "18446744073709551616"), 4, "params.nonce must be an unsigned"},
        {R"({"id":4,"method":"submit","params":{"job_id":1,"nonce":1,"claimed_hash":""}})", 4,
         "params.job_id must be a string"},
        {R"({"id":4,"method":"submit","params":{"job_id":"j","nonce":1}})", 4,
         "params.claimed_hash is missing"},
        // Numbers no double holds, where the id is and inside the params.
        {R"({"id":1e400,"method":"login","params":{"address":"a","worker":"w"}})", nullptr,
         "JSON this pool cannot read: number overflow"},
        {R"({"id":1,"method":"login","params":{"address":"a","worker":"w","difficulty_hint":-1e400}})",
         nullptr, "JSON this pool cannot read: number overflow"},
        // The JSON reader would stop at the NUL and take the login before it.
        {kLogin + std::string("\0garbage", 8), nullptr, "a NUL byte"},
        {std::string("\0", 1) + kLogin, nullptr, "a NUL byte"},
        // Nested as deep as a line allows, closed and not.
        {std::string(32000, '[') + std::string(32000, ']'), nullptr, "not a JSON object"},
        {std::string(64000, '{'), nullptr, "not JSON"},
    };
    uint64_t id = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        PoolClient client(pool_.port());
        const Outcome out = exchange(pool_, client, c.line);
        EXPECT_EQ(id_of(out.answer), c.id);
        EXPECT_NE(out.answer.value("error", "").find(c.reason), std::string::npos)
            << out.answer.dump();
        EXPECT_EQ(out.recorded, "");
        EXPECT_EQ(id_of(reply(client, kLogin)), 1) << "the client was not served after";
        ExpectOtherServed(++id);
    }
}

// A login padded with spaces to length bytes, line feed not counted.
std::string login_of_length(size_t length) {
    return kLogin.substr(0, kLogin.size() - 1) + std::string(length - kLogin.size(), ' ') + "}";
}

// A line of the longest length is served like any other, whether its line feed comes with it
// or only once the pool has read the rest. One byte more is refused with a reply that says so,
// and its connection ends, whether its line feed comes or not.
TEST_F(TestPoolLines, TheLongestLineIsServedAndOneByteMoreEndsItsConnection) {
    constexpr size_t kLongest = 64 * 1024;
    const struct {
        size_t length;
        std::string line_feed;  // with the line, later, or never
        bool served;
    } cases[] = {
        {kLongest, "with", true},
        {kLongest, "later", true},
        {kLongest + 1, "with", false},
        {kLongest + 1, "never", false},
    };
    uint64_t id = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + " bytes, line feed " + c.line_feed);
        PoolClient client(pool_.port());
        const size_t logins = pool_.logins().size();
        const std::string line = login_of_length(c.length);
        ASSERT_EQ(line.size(), c.length);
        ASSERT_TRUE(client.send_all(line + (c.line_feed == "with" ? "\n" : "")));
        if (c.line_feed == "later") {
            // The pool reads a connection a part at a time, one part in each of its rounds;
            // each reply to the other client takes at least one.
            for (int round = 0; round < 32; ++round)
                ExpectOtherServed(++id);
            ASSERT_TRUE(client.send_all("\n"));
        }
        const json answer = [&] {
            const auto text = client.read_line(kStallMs);
            return json::parse(text.value_or("no reply"), nullptr, false);
        }();
        if (c.served) {
            EXPECT_EQ(id_of(answer), 1) << answer.dump();
            EXPECT_TRUE(answer.contains("result")) << answer.dump();
            EXPECT_EQ(pool_.logins().size(), logins + 1);
        } else {
            EXPECT_EQ(answer, json::parse(R"({"id":null,"error":"line longer than 65536 bytes"})"));
            EXPECT_TRUE(client.wait_closed(kStallMs));
            EXPECT_EQ(pool_.logins().size(), logins);
        }
        ExpectOtherServed(++id);
    }
}

}  // namespace
}  // namespace tovren::qel
