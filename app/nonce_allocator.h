// The one nonce range of the current job, handed out to every GPU worker in consecutive,
// disjoint blocks, with the place reached in the ranges of the last few jobs kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "pool/pool_job.h"

namespace tovren::qel {

struct NonceAllocator {
    // How far one job's range has been handed out.
    struct Place {
        PoolJob job;
        uint64_t next = 0;  // offset from nonce_start of the first nonce not handed out
        // The range was handed out up to 2^64 - 1, where next cannot count any further.
        bool spent = false;
        uint64_t last_seq = 0;  // the newest job seq served from this place; 0 while unused
    };
    // A pool that alternates templates, or the dev-fee minute between two of the user's
    // jobs, brings work back after other work; this many places bound the memory.
    static constexpr size_t kKeptJobs = 8;

    std::mutex mutex;  // guards the fields below
    // The job seq whose range is being handed out. Job seqs start at 1, so the first
    // request always starts a new range.
    uint64_t seq = UINT64_MAX;
    Place places[kKeptJobs];
    size_t current = 0;  // the place of seq

    // A block of count nonces of the job, starting at base. A newer job starts its range
    // afresh unless it is the same work as one of the last kKeptJobs jobs served (sent again
    // after a reconnect, a new login or other jobs), which goes on where that range was; an
    // older job is refused, and so is a block that the rest of the range cannot hold whole.
    // Every nonce of a job whose place is kept is granted at most once.
    bool take(const PoolJob& job, uint64_t count, uint64_t& base);

  private:
    // True with the kept place of the same work as job; false with the place to start it
    // in, an unused one or else the least recently served.
    bool find_place(const PoolJob& job, size_t& index) const;
};

}  // namespace tovren::qel
