#include "pool/hex.h"

namespace tovren::qel {

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_hex_bytes(const std::string& text, uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        // A text shorter than 2n reads as ending in a non-hex character, never past its end.
        if (2 * i + 1 >= text.size())
            return false;
        int hi = hex_digit_value(text[2 * i]);
        int lo = hex_digit_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

}  // namespace tovren::qel
