// Small text helpers for the configuration parsers.
#ifndef CUDASIM_SRC_TEXT_H
#define CUDASIM_SRC_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace cudasim {
namespace detail {

std::string trim(const std::string& s);
// Splits at every separator; "" gives one empty field.
std::vector<std::string> split(const std::string& s, char separator);
// Decimal digits only, at most `limit`.
bool parse_uint(const std::string& s, uint64_t limit, uint64_t& out);
bool parse_hex(const std::string& s, uint64_t limit, uint64_t& out);
// A byte count: a decimal number, optionally with a fraction, and an optional binary unit
// K, M, G or T (either case): "512", "1.5G", "5M".
bool parse_size(const std::string& s, uint64_t& out);

}  // namespace detail
}  // namespace cudasim

#endif
