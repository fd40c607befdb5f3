// The dev fee: for the last 60 of every 6000 seconds of mining (1%) the pool login carries
// the developers' payout address and the worker name "tovren".
#pragma once

#include <cstdint>
#include <string>

#include "pool/pool.h"

namespace tovren::qel {

constexpr char kDevFeeAddress[] = "qel148r27j09t9fhcwpnwgzguhxmvzxpxsg4veu22ha5nf90pta3uyd6mjw3sgy";
static_assert(sizeof(kDevFeeAddress) - 1 == 63, "the fee address has the length of any other");
constexpr char kDevFeeWorker[] = "tovren";
constexpr int64_t kDevFeePeriod = 6000;    // seconds
constexpr int64_t kDevFeeLastUser = 5939;  // the last user second of each period

// Whether the whole second uptime_s of the loop belongs to the fee minute.
bool dev_fee_due(int64_t uptime_s);

// Decides the switches from the uptime of each tick: one switch at the first tick on the
// other side of a boundary, however many seconds a tick skipped. Starts on the user's side.
class DevFeeSchedule {
  public:
    enum class Switch { none, to_fee, to_user };
    Switch update(int64_t uptime_s);
    bool active() const { return active_; }

  private:
    bool active_ = false;
};

// Logs the pool in again, as the fee address or as the user, and prints the "fee  " line.
// config carries the pool endpoint; only its address and worker change.
void switch_pool_login(Pool& pool, Pool::Config& config, bool to_fee,
                       const std::string& user_address, const std::string& user_worker);

}  // namespace tovren::qel
