#include "text.h"

#include <cctype>

namespace cudasim {
namespace detail {

std::string trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) {
        ++b;
    }
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) {
        --e;
    }
    return s.substr(b, e - b);
}

std::vector<std::string> split(const std::string& s, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(separator, start);
        if (at == std::string::npos) {
            parts.push_back(s.substr(start));
            return parts;
        }
        parts.push_back(s.substr(start, at - start));
        start = at + 1;
    }
}

bool parse_uint(const std::string& s, uint64_t limit, uint64_t& out) {
    if (s.empty()) {
        return false;
    }
    // Any number of digits, so that every value up to UINT64_MAX reads back; an overflow is
    // refused before it wraps.
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) {
            return false;
        }
        v = v * 10 + digit;
    }
    if (v > limit) {
        return false;
    }
    out = v;
    return true;
}

bool parse_hex(const std::string& s, uint64_t limit, uint64_t& out) {
    if (s.empty() || s.size() > 8) {
        return false;
    }
    uint64_t v = 0;
    for (char c : s) {
        int d = std::isdigit(static_cast<unsigned char>(c))
                    ? c - '0'
                    : (std::isxdigit(static_cast<unsigned char>(c))
                           ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                           : -1);
        if (d < 0) {
            return false;
        }
        v = v * 16 + static_cast<uint64_t>(d);
    }
    if (v > limit) {
        return false;
    }
    out = v;
    return true;
}

bool parse_size(const std::string& s, uint64_t& out) {
    std::string number = s;
    unsigned shift = 0;
    if (!number.empty()) {
        switch (std::toupper(static_cast<unsigned char>(number.back()))) {
            case 'K':
                shift = 10;
                break;
            case 'M':
                shift = 20;
                break;
            case 'G':
                shift = 30;
                break;
            case 'T':
                shift = 40;
                break;
            default:
                break;
        }
        if (shift != 0) {
            number.pop_back();
        }
    }
    std::string whole = number;
    std::string fraction;
    size_t dot = number.find('.');
    if (dot != std::string::npos) {
        whole = number.substr(0, dot);
        fraction = number.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 6) {
            return false;
        }
    }
    uint64_t w = 0;
    uint64_t f = 0;
    const uint64_t limit = uint64_t{1} << 50;  // a petabyte: far beyond any device
    if (!parse_uint(whole, limit >> shift, w) ||
        (!fraction.empty() && !parse_uint(fraction, 999999, f))) {
        return false;
    }
    uint64_t scale = 1;
    for (size_t i = 0; i < fraction.size(); ++i) {
        scale *= 10;
    }
    out = (w << shift) + ((f << shift) / scale);
    return true;
}

}  // namespace detail
}  // namespace cudasim
