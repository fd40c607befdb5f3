#include "app/console.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "app/pool_callbacks.h"
#include "capture.h"

namespace tovren::qel {
namespace {

using testing::StdoutCapture;

class ConsoleTest : public ::testing::Test {
  protected:
    void TearDown() override { set_console_colors(false); }
};

TEST_F(ConsoleTest, FormatRatePicksTheUnitBeforeRounding) {
    EXPECT_EQ(format_rate(0), "0.0 H/s");
    EXPECT_EQ(format_rate(999.94), "999.9 H/s");
    EXPECT_EQ(format_rate(999.96), "1000.0 H/s");
    EXPECT_EQ(format_rate(1000), "1.00 kH/s");
    EXPECT_EQ(format_rate(999999.9), "1000.00 kH/s");
    EXPECT_EQ(format_rate(1000000), "1.000 MH/s");
    EXPECT_EQ(format_rate(12345678.9), "12.346 MH/s");
    EXPECT_EQ(format_rate(-5), "-5.0 H/s");
    EXPECT_EQ(format_rate(std::numeric_limits<double>::quiet_NaN()).substr(3), " H/s");
    EXPECT_EQ(format_rate(std::numeric_limits<double>::infinity()), "inf MH/s");
    // The longest possible text still fits its buffer whole.
    const std::string huge = format_rate(1e300);
    EXPECT_EQ(huge.size(), 31u);
}

TEST_F(ConsoleTest, LogLineBytesWithoutColour) {
    set_console_colors(false);
    StdoutCapture out;
    log_line(color_grey, "net  ", "connected to a:1");
    log_line(color_red, "share", "");
    EXPECT_EQ(out.finish(), " net   connected to a:1\n share \n");
}

TEST_F(ConsoleTest, LogLineColoursOnlyTheTag) {
    set_console_colors(true);
    StdoutCapture out;
    log_line(color_grey, "gpu  ", "GPU0 ok");
    log_line(color_green, "check", "x");
    EXPECT_EQ(out.finish(),
              "\033[90m gpu  \033[0m GPU0 ok\n"
              "\033[32m check\033[0m x\n");
}

TEST_F(ConsoleTest, MessagesAreWrittenAsCStrings) {
    set_console_colors(false);
    StdoutCapture out;
    log_pool_message(std::string("before\0after", 12));
    log_pool_message("one\ntwo");
    EXPECT_EQ(out.finish(), " net   before\n net   one\ntwo\n");
}

TEST_F(ConsoleTest, ShareResultsCountAndPrint) {
    set_console_colors(false);
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> rejected{0};
    StdoutCapture out;
    report_share_result(accepted, rejected, true, "OK");
    report_share_result(accepted, rejected, false, "low difficulty");
    report_share_result(accepted, rejected, true, "");
    report_share_result(accepted, rejected, false, "");
    report_share_result(accepted, rejected, true, "OK");
    EXPECT_EQ(out.finish(),
              " share accepted (1/0)\n"
              " share REJECTED \xe2\x80\x94 low difficulty\n"
              " share accepted (2/1)\n"
              " share REJECTED \xe2\x80\x94 \n"
              " share accepted (3/2)\n");
    EXPECT_EQ(accepted.load(), 3u);
    EXPECT_EQ(rejected.load(), 2u);
}

TEST_F(ConsoleTest, PoolCallbacksReachTheConsoleAndCounters) {
    set_console_colors(false);
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> rejected{0};
    Pool pool;
    connect_pool_callbacks(pool, accepted, rejected);
    StdoutCapture out;
    pool.on_log("connected to h:1");
    pool.on_share_result(false, "duplicate");
    pool.on_share_result(true, "OK");
    EXPECT_EQ(out.finish(),
              " net   connected to h:1\n"
              " share REJECTED \xe2\x80\x94 duplicate\n"
              " share accepted (1/1)\n");
    EXPECT_EQ(accepted.load(), 1u);
    EXPECT_EQ(rejected.load(), 1u);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t nl; (nl = text.find('\n', begin)) != std::string::npos; begin = nl + 1) {
        lines.push_back(text.substr(begin, nl - begin));
    }
    EXPECT_EQ(begin, text.size()) << "text does not end with a line feed";
    return lines;
}

// Columns as a terminal shows them: one per UTF-8 character.
size_t columns(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

TEST_F(ConsoleTest, PlainBannerLayout) {
    StdoutCapture out;
    print_banner("BRAND", "TITLE", "v9", true);  // not a terminal: no colour
    const std::string text = out.finish();
    EXPECT_EQ(text.find('\033'), std::string::npos);
    const std::vector<std::string> lines = lines_of(text);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[7], "");
    const std::string logo_row1 = lines[1];
    const size_t width = columns(logo_row1);
    ASSERT_GT(width, 2u);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 8), "   BRAND");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 8), "   TITLE");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 5), "   v9");
    EXPECT_EQ(columns(lines[2]), width + 8);
    EXPECT_EQ(columns(lines[3]), width + 8);
    EXPECT_EQ(columns(lines[4]), width + 5);
    EXPECT_EQ(columns(lines[5]), width);
    EXPECT_EQ(columns(lines[6]), width);
    for (int row = 1; row <= 6; ++row) {
        EXPECT_EQ(lines[row].substr(0, 2), "  ");
    }
    // The lowest row is only shadow: no full blocks.
    EXPECT_EQ(lines[6].find("\u2588"), std::string::npos);
}

// The banner on a pseudo-terminal, as standard output.
std::string banner_on_terminal(bool color) {
    int master = -1;
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);  // line feeds arrive as written
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed";
        return "";
    }
    std::fflush(stdout);
    const int saved = dup(1);
    dup2(slave, 1);
    print_banner("B", "T", "V", color);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(slave);
    std::string text;
    char buf[4096];
    ssize_t got;
    while ((got = read(master, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(got));
        if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\n\n") == 0) {
            break;
        }
    }
    close(master);
    return text;
}

TEST_F(ConsoleTest, BannerIsColouredOnlyOnATerminalWithoutNoColor) {
    unsetenv("NO_COLOR");
    const std::string coloured = banner_on_terminal(true);
    EXPECT_NE(coloured.find("\033[1m\033[38;2;255;77;0m  "), std::string::npos);
    EXPECT_NE(coloured.find("   \033[1m\033[38;2;237;232;219mB\033[0m"), std::string::npos);
    EXPECT_NE(coloured.find("   \033[38;2;163;157;144mV\033[0m"), std::string::npos);

    EXPECT_EQ(banner_on_terminal(false).find('\033'), std::string::npos);

    setenv("NO_COLOR", "", 1);
    EXPECT_EQ(banner_on_terminal(true).find('\033'), std::string::npos);
    unsetenv("NO_COLOR");
}

}  // namespace
}  // namespace tovren::qel
