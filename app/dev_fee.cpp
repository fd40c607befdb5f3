#include "dev_fee.h"

#include "console.h"

namespace tovren::qel {

bool dev_fee_due(int64_t uptime_s) {
    return uptime_s % kDevFeePeriod > kDevFeeLastUser;
}

DevFeeSchedule::Switch DevFeeSchedule::update(int64_t uptime_s) {
    const bool fee = dev_fee_due(uptime_s);
    if (fee == active_) {
        return Switch::none;
    }
    active_ = fee;
    return fee ? Switch::to_fee : Switch::to_user;
}

void switch_pool_login(Pool& pool, Pool::Config& config, bool to_fee,
                       const std::string& user_address, const std::string& user_worker) {
    pool.stop();
    if (to_fee) {
        config.address = kDevFeeAddress;
        config.worker = kDevFeeWorker;
    } else {
        config.address = user_address;
        config.worker = user_worker;
    }
    pool.start(config);
    log_line(color_grey, "fee  ", to_fee ? "1% dev contribution (1 min)" : "back to user wallet");
}

}  // namespace tovren::qel
