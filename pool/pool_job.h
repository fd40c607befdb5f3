// The current job as the pool client keeps it for the GPU workers.
#pragma once

#include <cstdint>
#include <string>

namespace tovren::qel {

struct PoolJob {
    uint64_t seq = 0;       // the Pool's job counter after this job was counted; the first is 1
    uint64_t conn_gen = 0;  // the Pool's connection count when the job was stored
    std::string job_id;     // sent back unchanged with every share of this job
    uint8_t header[112] = {};
    uint8_t target[32] = {};          // share target, byte 0 most significant
    uint8_t network_target[32] = {};  // block target, same order; zero when not given
    uint64_t height = 0;
    uint64_t nonce_start = 0;
    uint64_t nonce_end = 0;  // inclusive
    uint64_t difficulty = 0;
    bool valid = false;  // the job has an id and its connection is still up
};

}  // namespace tovren::qel
