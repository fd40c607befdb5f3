// Hex decoding of the byte fields of pool jobs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tovren::qel {

// The value of one hex digit (0-9, a-f, A-F), or -1 for any other character.
int hex_digit_value(char c);

// Decodes the first 2n characters of text (digits 0-9, a-f, A-F) into out[0..n-1]. Stops with
// false at the first pair holding any other character, leaving the bytes before it written.
// Characters after the first 2n are not read; a shorter text fails where it ends.
bool parse_hex_bytes(const std::string& text, uint8_t* out, size_t n);

}  // namespace tovren::qel
