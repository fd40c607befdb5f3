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

// Pool lines as the console shows them: control bytes as escapes and UTF-8 as it is, so a
// pool can neither forge a line nor drive the terminal; shares counted; with colour on,
// only the tag is coloured.
TEST_F(ConsoleTest, LinesOfThePoolCallbacks) {
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> rejected{0};
    Pool pool;
    connect_pool_callbacks(pool, accepted, rejected);
    const std::string bad = R"(\r\x00\x1b)";
    const std::pair<std::string, std::string> cases[] = {
        {R"j({"method":"notification","params":{"kind":"x\n share accepted (999/0)"}})j",
         R"( net   pool notice: x\n share accepted (999/0))"},
        {R"({"method":"notification","params":{"kind":"\u001b[2J\u001b]0;pwned\u0007"}})",
         R"( net   pool notice: \x1b[2J\x1b]0;pwned\x07)"},
        {R"({"method":"notification","params":{"kind":"\r\u0000\u001b"}})",
         " net   pool notice: " + bad},
        {R"({"method":"notification","params":{"type":"\t\u007f \u00e9\u2014"}})",
         " net   pool notice: \\t\\x7f \u00e9\u2014"},
        {"{\"method\":\"notification\",\"params\":{\"kind\":\"\r\x1b\"}}",
         R"( net   pool notice: \r\x1b)"},
        {R"({"id":1,"error":"\r\u0000\u001b"})", " net   login refused: " + bad},
        {R"({"id":1,"error":{"message":"\r\u0000\u001b"}})", " net   login refused: " + bad},
        {R"({"id":1,"error":[true,"\u007f\r"]})", R"( net   login refused: [true,"\x7f\r"])"},
        {R"({"id":2,"status":"OK"})", " share accepted (1/0)"},
        {R"({"id":2,"error":"\r\u0000\u001b"})", " share REJECTED \u2014 " + bad},
        {R"({"id":2,"error":{"message":"\r\u0000\u001b"}})", " share REJECTED \u2014 " + bad},
        {R"({"id":2,"status":"\r\u0000\u001b"})", " share REJECTED \u2014 "},
    };
    for (const auto& c : cases) {
        StdoutCapture out;
        pool.handle_message(c.first);
        EXPECT_EQ(out.finish(), c.second + "\n") << c.first;
    }
    set_console_colors(true);
    StdoutCapture out;
    pool.on_share_result(true, "");
    pool.on_log("x");
    log_line(color_red, "gpu  ", "");
    EXPECT_EQ(out.finish(),
              "\033[32m share\033[0m accepted (2/3)\n"
              "\033[90m net  \033[0m x\n"
              "\033[31m gpu  \033[0m \n");
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
