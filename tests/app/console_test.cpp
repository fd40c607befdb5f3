#include "app/console.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

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
    void SetUp() override { set_console_colors(false); }
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
    EXPECT_EQ(format_rate(1e300).size(), 31u);  // the longest text still fits whole
}

// The two callbacks the pool client gets: messages as C strings, share lines and counters;
// with colour on, only the tag is coloured.
TEST_F(ConsoleTest, LinesOfThePoolCallbacks) {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> rejected{0};
    Pool pool;
    connect_pool_callbacks(pool, accepted, rejected);
    StdoutCapture out;
    pool.on_log(std::string("before\0after", 12));
    pool.on_log("one\ntwo");
    pool.on_share_result(true, "OK");
    pool.on_share_result(false, "duplicate");
    pool.on_share_result(false, "");
    set_console_colors(true);
    pool.on_share_result(true, "");
    pool.on_log("x");
    log_line(color_red, "gpu  ", "");
    EXPECT_EQ(out.finish(),
              " net   before\n"
              " net   one\ntwo\n"
              " share accepted (1/0)\n"
              " share REJECTED \xe2\x80\x94 duplicate\n"
              " share REJECTED \xe2\x80\x94 \n"
              "\033[32m share\033[0m accepted (2/2)\n"
              "\033[90m net  \033[0m x\n"
              "\033[31m gpu  \033[0m \n");
    EXPECT_EQ(accepted.load(), 2u);
    EXPECT_EQ(rejected.load(), 2u);
}

// The banner with standard output on a pseudo-terminal.
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
    while (text.size() < 2 || text.compare(text.size() - 2, 2, "\n\n") != 0) {
        if ((got = read(master, buf, sizeof buf)) <= 0) {
            break;
        }
        text.append(buf, static_cast<size_t>(got));
    }
    close(master);
    return text;
}

// Columns as a terminal shows them: one per UTF-8 character.
size_t columns(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

// Eight lines: empty, six logo rows of one width with the texts beside rows 2 to 4, empty.
// Colours only on a terminal, with colour on and NO_COLOR unset.
TEST_F(ConsoleTest, BannerLayoutAndColours) {
    unsetenv("NO_COLOR");
    const std::string plain = banner_on_terminal(false);
    EXPECT_EQ(plain.find('\033'), std::string::npos);
    const char* beside[] = {"", "", "   B", "   T", "   V", "", "", ""};
    size_t at = 0;
    size_t width = 0;
    for (int row = 0; row < 8; ++row) {
        const size_t nl = plain.find('\n', at);
        ASSERT_NE(nl, std::string::npos) << row;
        const std::string line = plain.substr(at, nl - at);
        const std::string text = beside[row];
        at = nl + 1;
        ASSERT_GE(line.size(), text.size());
        EXPECT_EQ(line.substr(line.size() - text.size()), text) << row;
        const size_t logo = columns(line) - text.size();
        width = row == 1 ? logo : width;
        EXPECT_EQ(logo, row == 0 || row == 7 ? 0 : width) << row;
        EXPECT_EQ(line.substr(0, 2), row == 0 || row == 7 ? "" : "  ") << row;
    }
    EXPECT_EQ(at, plain.size());
    EXPECT_GT(width, 2u);

    const std::string coloured = banner_on_terminal(true);
    EXPECT_NE(coloured.find("\033[1m\033[38;2;255;77;0m  "), std::string::npos);
    EXPECT_NE(coloured.find("   \033[1m\033[38;2;237;232;219mB\033[0m"), std::string::npos);
    EXPECT_NE(coloured.find("   \033[38;2;163;157;144mV\033[0m"), std::string::npos);
    setenv("NO_COLOR", "", 1);
    EXPECT_EQ(banner_on_terminal(true).find('\033'), std::string::npos);
    unsetenv("NO_COLOR");
    StdoutCapture file;  // not a terminal
    print_banner("B", "T", "V", true);
    EXPECT_EQ(file.finish().find('\033'), std::string::npos);
}

}  // namespace
}  // namespace tovren::qel
