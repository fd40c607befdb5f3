// The one nonce range of the current job, handed out to every GPU worker in consecutive,
// disjoint blocks.
#pragma once

#include <cstdint>
#include <mutex>

#include "pool/pool_job.h"

namespace tovren::qel {

struct NonceAllocator {
    std::mutex mutex;  // guards the fields below
    // The job seq whose range is being handed out. Job seqs start at 1, so the first
    // request always starts a new range.
    uint64_t seq = UINT64_MAX;
    uint64_t next = 0;  // offset from that job's nonce_start of the first nonce not handed out
    // The range was handed out up to 2^64 - 1, where next cannot count any further.
    bool spent = false;
    PoolJob served;  // the job of seq, for telling a job sent again from new work

    // A block of count nonces of the job, starting at base. A newer job starts its range
    // afresh unless it is the same work sent again (after a reconnect or a new login), which
    // goes on where the range was; an older job is refused, and so is a block that the rest
    // of the range cannot hold whole. Every nonce of a job is granted at most once.
    bool take(const PoolJob& job, uint64_t count, uint64_t& base);
};

}  // namespace tovren::qel
