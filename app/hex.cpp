#include "hex.h"

#include <cstdio>

namespace tovren::qel {

bool hex_to_bytes(const std::string& hex, uint8_t* out, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        // Copy the pair so that the conversion never reads past it, whatever follows.
        const size_t at = 2 * k;
        const char pair[3] = {at < hex.size() ? hex[at] : '\0',
                              at + 1 < hex.size() ? hex[at + 1] : '\0', '\0'};
        unsigned char byte = 0;
        if (std::sscanf(pair, "%2hhx", &byte) != 1) {
            return false;
        }
        out[k] = byte;
    }
    return true;
}

}  // namespace tovren::qel
