#include "nonce_allocator.h"

namespace tovren::qel {

bool NonceAllocator::take(uint64_t job_seq, uint64_t nonce_start, uint64_t nonce_end,
                          uint64_t count, uint64_t& base) {
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t offset = 0;
    if (seq == job_seq) {
        offset = next;
    } else if (seq == UINT64_MAX || job_seq > seq) {
        seq = job_seq;
        next = 0;
        spent = false;
    } else {
        return false;  // another worker has moved on to a newer job
    }
    const uint64_t first = nonce_start + offset;
    const bool wrapped = first < nonce_start;
    if (spent || wrapped || count == 0 || first > nonce_end || nonce_end - first < count - 1) {
        return false;
    }
    next = offset + count;
    spent = next == 0;  // a range from 0 that reached 2^64 - 1
    base = first;
    return true;
}

}  // namespace tovren::qel
