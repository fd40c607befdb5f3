// The console: tagged event lines shared by every thread, hash-rate text, the start-up
// banner, and the two callbacks that the pool client reports through.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace tovren::qel {

// Empty until set_console_colors fills them; written once on the main thread before any
// other thread exists, read-only afterwards.
extern const char* color_grey;
extern const char* color_red;
extern const char* color_green;
extern const char* color_bold;
extern const char* color_reset;

// Serialises whole console lines; only log_line takes it.
extern std::mutex console_mutex;

// Sets all five colour strings to their ANSI sequences when color is true, or to empty
// texts when it is false.
void set_console_colors(bool color);

// One line on standard output: color, a blank, the five-character tag, the reset, a blank,
// the message (up to its first NUL), a line feed; written whole and flushed.
void log_line(const char* color, const char* tag, const std::string& message);

// "%.3f MH/s", "%.2f kH/s" or "%.1f H/s", the unit chosen before rounding.
std::string format_rate(double hashes_per_second);

// The eight-line banner: an empty line, six logo rows with the three texts beside rows 2
// to 4, an empty line. Coloured only on a terminal, without NO_COLOR, and when color is on.
void print_banner(const char* brand_line, const char* title_line, const char* version_line,
                  bool color);

// Text from the pool made fit for one console line, so that a pool can neither start a line
// nor drive the terminal: each byte below 0x20 and 0x7F becomes "\n", "\r", "\t" or "\xhh";
// the C1 controls U+0080 to U+009F become "\u00hh"; each byte that is not part of well-formed
// UTF-8 becomes "\xhh". All other UTF-8 is kept as it is.
std::string escape_controls(const std::string& text);

// The pool client's message callback: a grey "net  " line, through escape_controls.
void log_pool_message(const std::string& message);

// The pool client's share-result callback, once bound to main's two counters; the pool's
// text goes through escape_controls.
void report_share_result(std::atomic<uint64_t>& accepted_shares,
                         std::atomic<uint64_t>& rejected_shares, bool accepted,
                         const std::string& message);

}  // namespace tovren::qel
