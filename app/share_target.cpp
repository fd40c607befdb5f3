#include "share_target.h"

namespace tovren::qel {

bool hash_meets_target(const uint8_t* hash, const uint8_t* target) {
    for (int i = 0; i < 32; ++i) {
        const uint8_t h = hash[31 - i];
        const uint8_t t = target[i];
        if (h != t) {
            return h < t;
        }
    }
    return true;
}

}  // namespace tovren::qel
