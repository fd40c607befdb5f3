#include "console.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace tovren::qel {

const char* color_grey = "";
const char* color_red = "";
const char* color_green = "";
const char* color_bold = "";
const char* color_reset = "";

std::mutex console_mutex;

namespace {

// The brand word in block letters with a box-drawing shadow; every row has the same width
// so the texts beside rows 2 to 4 start in one column.
const char* const kLogoRows[6] = {
    "████████╗ ██████╗ ██╗   ██╗██████╗ ███████╗███╗   ██╗",
    "╚══██╔══╝██╔═══██╗██║   ██║██╔══██╗██╔════╝████╗  ██║",
    "   ██║   ██║   ██║██║   ██║██████╔╝█████╗  ██╔██╗ ██║",
    "   ██║   ██║   ██║╚██╗ ██╔╝██╔══██╗██╔══╝  ██║╚██╗██║",
    "   ██║   ╚██████╔╝ ╚████╔╝ ██║  ██║███████╗██║ ╚████║",
    "   ╚═╝    ╚═════╝   ╚═══╝  ╚═╝  ╚═╝╚══════╝╚═╝  ╚═══╝",
};

}  // namespace

void set_console_colors(bool color) {
    if (color) {
        color_reset = "\033[0m";
        color_bold = "\033[1m";
        color_green = "\033[32m";
        color_red = "\033[31m";
        color_grey = "\033[90m";
    } else {
        color_reset = color_bold = color_green = color_red = color_grey = "";
    }
}

void log_line(const char* color, const char* tag, const std::string& message) {
    std::lock_guard<std::mutex> lock(console_mutex);
    std::printf("%s %s%s %s\n", color, tag, color_reset, message.c_str());
    std::fflush(stdout);
}

std::string format_rate(double hashes_per_second) {
    char text[32];
    if (hashes_per_second >= 1000000.0) {
        std::snprintf(text, sizeof text, "%.3f MH/s", hashes_per_second / 1000000.0);
    } else if (hashes_per_second >= 1000.0) {
        std::snprintf(text, sizeof text, "%.2f kH/s", hashes_per_second / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f H/s", hashes_per_second);
    }
    return text;
}

void print_banner(const char* brand_line, const char* title_line, const char* version_line,
                  bool color) {
    // Escape sequences in a redirected banner would only garble log files, so the banner
    // asks more than the event lines do.
    const bool use = isatty(1) && std::getenv("NO_COLOR") == nullptr && color;
    const char* logo = use ? "\033[1m\033[38;2;255;77;0m" : "";
    const char* text = use ? "\033[1m\033[38;2;237;232;219m" : "";
    const char* dim = use ? "\033[38;2;163;157;144m" : "";
    const char* reset = use ? "\033[0m" : "";
    const char* beside[6] = {nullptr, brand_line, title_line, version_line, nullptr, nullptr};
    const char* beside_color[6] = {nullptr, text, text, dim, nullptr, nullptr};

    std::printf("\n");
    for (int row = 0; row < 6; ++row) {
        std::printf("%s  %s%s", logo, kLogoRows[row], reset);
        if (beside[row] != nullptr) {
            std::printf("   %s%s%s", beside_color[row], beside[row], reset);
        }
        std::printf("\n");
    }
    std::printf("\n");
}

namespace {

// Length of the well-formed UTF-8 sequence at text[i] (RFC 3629: no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0 when the bytes there are not one.
size_t utf8_sequence_length(const std::string& text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = at(0);
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, which depends on the lead
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() - i < length || at(1) < low || at(1) > high)
        return 0;
    for (size_t k = 2; k < length; ++k) {
        if (at(k) < 0x80 || at(k) > 0xBF)
            return 0;
    }
    return length;
}

}  // namespace

std::string escape_controls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += text[i++];
            continue;
        }
        const size_t length = c < 0x80 ? 0 : utf8_sequence_length(text, i);
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // U+0080 to U+009F: C1 controls, which a UTF-8 terminal may obey.
            std::snprintf(escape, sizeof escape, "\\u00%02x",
                          static_cast<unsigned char>(text[i + 1]));
            out += escape;
        } else if (length > 0) {
            out.append(text, i, length);
        } else {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : escape;
        }
        i += length > 0 ? length : 1;
    }
    return out;
}

// Every text of the pool client may carry the pool's own bytes, so all of it is escaped.
void log_pool_message(const std::string& message) {
    log_line(color_grey, "net  ", escape_controls(message));
}

void report_share_result(std::atomic<uint64_t>& accepted_shares,
                         std::atomic<uint64_t>& rejected_shares, bool accepted,
                         const std::string& message) {
    if (accepted) {
        accepted_shares.fetch_add(1);
        const uint64_t rejected = rejected_shares.load();
        const uint64_t accepted_now = accepted_shares.load();
        log_line(
            color_green, "share",
            "accepted (" + std::to_string(accepted_now) + "/" + std::to_string(rejected) + ")");
    } else {
        rejected_shares.fetch_add(1);
        log_line(color_red, "share", "REJECTED \u2014 " + escape_controls(message));
    }
}

}  // namespace tovren::qel
