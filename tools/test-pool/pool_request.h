// One line that a miner sends the test pool, read with a JSON library of the pool's own rather
// than the miner's reader, so that the pool stays an independent check of what the miner
// writes: a line that is not a login or a submit with every field of the right type is refused
// with the reason, never read as far as it goes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tovren::qel::testing {

struct PoolRequest {
    enum class Method { Login, Submit };
    Method method = Method::Login;
    uint64_t id = 0;
    std::string address;       // login
    std::string worker;        // login
    std::string job_id;        // submit
    uint64_t nonce = 0;        // submit
    std::string claimed_hash;  // submit, as sent: whether it is a hash is the share check's call
};

struct PoolRefusal {
    std::optional<uint64_t> id;  // the line's id, when it could be read
    std::string reason;
};

// False, with the reason in refusal, when the line is not a request written as a miner must.
bool read_request(const std::string& line, PoolRequest& request, PoolRefusal& refusal);

}  // namespace tovren::qel::testing
