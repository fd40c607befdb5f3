#include "pool/pool_lines.h"

#include "pool/json.h"

namespace tovren::qel {

std::string login_line(const std::string& address, const std::string& worker) {
    std::string line = R"({"id":1,"method":"login","params":{"address":")";
    line += json_escape(address);
    line += R"(","worker":")";
    line += json_escape(worker);
    line +=
        R"(","protocol_version":2,"capabilities":["submit_claimed_hash"],"difficulty_hint":null}})";
    return line;
}

std::string submit_line(uint64_t id, const std::string& job_id, uint64_t nonce,
                        const uint8_t* hash) {
    static const char kDigits[] = "0123456789abcdef";
    std::string line = R"({"id":)";
    line += std::to_string(id);
    line += R"(,"method":"submit","params":{"job_id":")";
    line += json_escape(job_id);
    line += R"(","nonce":)";
    line += std::to_string(nonce);
    line += R"(,"claimed_hash":")";
    for (int i = 0; i < 32; ++i) {
        line += kDigits[hash[i] >> 4];
        line += kDigits[hash[i] & 0x0F];
    }
    line += R"("}})";
    return line;
}

}  // namespace tovren::qel
