// Hands the console's two callbacks to the pool client.
#pragma once

#include <atomic>
#include <cstdint>

#include "pool/pool.h"

namespace tovren::qel {

// Pool messages become "net  " lines; share results are counted in the two counters, which
// must outlive the pool thread, and printed.
void connect_pool_callbacks(Pool& pool, std::atomic<uint64_t>& accepted_shares,
                            std::atomic<uint64_t>& rejected_shares);

}  // namespace tovren::qel
