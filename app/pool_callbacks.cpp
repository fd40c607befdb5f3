#include "pool_callbacks.h"

#include <string>

#include "console.h"

namespace tovren::qel {

void connect_pool_callbacks(Pool& pool, std::atomic<uint64_t>& accepted_shares,
                            std::atomic<uint64_t>& rejected_shares) {
    pool.on_log = log_pool_message;
    pool.on_share_result = [&accepted_shares, &rejected_shares](bool accepted,
                                                                const std::string& message) {
        report_share_result(accepted_shares, rejected_shares, accepted, message);
    };
}

}  // namespace tovren::qel
