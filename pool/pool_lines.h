// The two requests the pool client writes, each one JSON object without the final line feed.
#pragma once

#include <cstdint>
#include <string>

namespace tovren::qel {

// Sent with id 1 after every connect.
std::string login_line(const std::string& address, const std::string& worker);

// One share: the nonce and the 32-byte hash that the miner claims for it.
std::string submit_line(uint64_t id, const std::string& job_id, uint64_t nonce,
                        const uint8_t* hash);

}  // namespace tovren::qel
