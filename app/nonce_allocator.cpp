#include "nonce_allocator.h"

#include <cstring>

namespace tovren::qel {

namespace {

// The same nonces with the same header and share target: the shares found in one are
// duplicates in the other.
bool same_work(const PoolJob& a, const PoolJob& b) {
    return a.job_id == b.job_id && std::memcmp(a.header, b.header, sizeof a.header) == 0 &&
           std::memcmp(a.target, b.target, sizeof a.target) == 0 &&
           a.nonce_start == b.nonce_start && a.nonce_end == b.nonce_end;
}

}  // namespace

bool NonceAllocator::find_place(const PoolJob& job, size_t& index) const {
    index = 0;
    for (size_t i = 0; i < kKeptJobs; ++i) {
        if (places[i].last_seq != 0 && same_work(job, places[i].job)) {
            index = i;
            return true;
        }
        if (places[i].last_seq < places[index].last_seq)
            index = i;
    }
    return false;
}

bool NonceAllocator::take(const PoolJob& job, uint64_t count, uint64_t& base) {
    std::lock_guard<std::mutex> lock(mutex);
    if (seq != UINT64_MAX && job.seq < seq) {
        return false;  // another worker has moved on to a newer job
    }
    if (seq == UINT64_MAX || job.seq > seq) {
        if (!find_place(job, current))
            places[current] = Place{job};  // the only copy of a job: once per new work
        places[current].last_seq = job.seq;
    }
    seq = job.seq;
    Place& place = places[current];
    const uint64_t first = job.nonce_start + place.next;
    const bool wrapped = first < job.nonce_start;
    if (place.spent || wrapped || count == 0 || first > job.nonce_end ||
        job.nonce_end - first < count - 1) {
        return false;
    }
    place.next += count;
    place.spent = place.next == 0;  // a range from 0 that reached 2^64 - 1
    base = first;
    return true;
}

}  // namespace tovren::qel
