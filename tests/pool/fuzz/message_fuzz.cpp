// Any bytes a pool could send, split into lines as the connection loop splits them and handed
// to the message handler of a Pool that is not connected.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pool/pool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tovren::qel::Pool pool;
    uint64_t new_jobs = 0;
    pool.on_log = [&](const std::string& m) { new_jobs += m.rfind("new job", 0) == 0; };
    pool.on_share_result = [](bool, const std::string&) {};

    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (size_t start = 0, nl; start < bytes.size(); start = nl + 1) {
        nl = std::min(bytes.find('\n', start), bytes.size());
        if (nl > start)
            pool.handle_message(bytes.substr(start, nl - start));
    }

    // Every stored job is counted and logged once, and only a job with an id is minable.
    const tovren::qel::PoolJob& job = pool.job;
    if (pool.job_seq.load() != new_jobs || job.seq != new_jobs || job.valid == job.job_id.empty())
        std::abort();
    // Submitting while disconnected sends nothing and only uses up an id.
    const uint8_t hash[32] = {};
    pool.submit(job, job.nonce_start, hash);
    if (pool.next_id.load() != 3)
        std::abort();
    return 0;
}
