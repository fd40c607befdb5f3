#include "app/console.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/pool_callbacks.h"
#include "capture.h"

namespace tovren::qel {
namespace {

TEST(ConsoleTest, FormatRatePicksTheUnitBeforeRounding) {
    const std::pair<double, const char*> cases[] = {
        {999.94, "999.9 H/s"},
        {999.96, "1000.0 H/s"},
        {1000, "1.00 kH/s"},
        {999999.9, "1000.00 kH/s"},
        {1e6, "1.000 MH/s"},
        {-5, "-5.0 H/s"},
        {0, "0.0 H/s"},
        {12345678.9, "12.346 MH/s"},
        {std::numeric_limits<double>::infinity(), "inf MH/s"}};
    for (const auto& [rate, text] : cases)
        EXPECT_EQ(format_rate(rate), text) << rate;
    const std::string nan = format_rate(std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(nan == "nan H/s" || nan == "-nan H/s") << nan;  // the sign is the libc's
    EXPECT_EQ(format_rate(1e300).size(), 31u);                  // cut to the buffer, never past it
}

// Every kind of pool text reaches the console with its control bytes as escapes and UTF-8
// as it is, so a pool can neither forge a line nor drive the terminal; shares are counted;
// with colour on, only the tag is coloured.
TEST(ConsoleTest, PoolTextsAreEscapedAndSharesCounted) {
    set_console_colors(false);
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> rejected{0};
    Pool pool;
    connect_pool_callbacks(pool, accepted, rejected);
    const std::string bad = "\\n share\\r\\x00\\x1f\\x1b[2J\\x07\\t\\x7f \u00e9\u2014";
    const std::string sent = R"("\n share\r\u0000\u001f\u001b[2J\u0007\t\u007f \u00e9\u2014")";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"method":"notification","params":{"kind":)" + sent + "}}",
         " net   pool notice: " + bad},
        {R"({"id":1,"error":)" + sent + "}", " net   login refused: " + bad},
        {R"({"id":1,"error":{"message":)" + sent + "}}", " net   login refused: " + bad},
        {R"({"id":1,"error":[true,"\u007f\r"]})", R"( net   login refused: [true,"\x7f\r"])"},
        {R"({"method":"notification","params":{"type":"\t\u007f \u00e9"}})",
         " net   pool notice: \\t\\x7f \u00e9"},
        {"{\"method\":\"notification\",\"params\":{\"kind\":\"\r\x1b\"}}",
         R"( net   pool notice: \r\x1b)"},
        {R"({"id":2,"status":"OK"})", " share accepted (1/0)"},
        {R"({"id":2,"error":)" + sent + "}", " share REJECTED \u2014 " + bad},
        {R"({"id":2,"error":{"message":)" + sent + "}}", " share REJECTED \u2014 " + bad},
        {R"({"id":2,"status":)" + sent + "}", " share REJECTED \u2014 "},
    };
    for (const auto& [message, line] : cases) {
        testing::StdoutCapture out;
        pool.handle_message(message);
        EXPECT_EQ(out.finish(), line + "\n") << message;
    }
    set_console_colors(true);
    testing::StdoutCapture out;
    pool.on_share_result(true, "");
    pool.on_log("x");
    log_line(color_red, "gpu  ", "");
    EXPECT_EQ(out.finish(),
              "\033[32m share\033[0m accepted (2/3)\n\033[90m net  \033[0m x\n"
              "\033[31m gpu  \033[0m \n");
    set_console_colors(false);
}

// C1 controls, which a UTF-8 terminal may obey, and bytes that are not well-formed UTF-8 are
// escaped in each pool text in both colour modes; all other UTF-8 arrives as it was sent.
TEST(ConsoleTest, C1ControlsAndBrokenUtf8AreEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        // inside the pool's JSON string, then as printed
        {"\\u009b2J", "\\u009b2J"},
        {"\xc2\x9b"
         "2J|\xc2\x80",
         "\\u009b2J|\\u0080"},
        {"\\u0080\\u009f\\u00a0\\u07ff", "\\u0080\\u009f\u00a0\u07ff"},
        {"\x9b"
         "2J",
         "\\x9b2J"},
        {"a\xe2\x80", "a\\xe2\\x80"},
        {"\xe2\x80z\xc2", "\\xe2\\x80z\\xc2"},
        {"\xc0\xaf\xc1\xbf\xe0\x9f\xbf", "\\xc0\\xaf\\xc1\\xbf\\xe0\\x9f\\xbf"},
        {"\\ud800\xed\xbf\xbf", "\\xed\\xa0\\x80\\xed\\xbf\\xbf"},
        {"\xf4\x90\x80\x80\xf5\x80", "\\xf4\\x90\\x80\\x80\\xf5\\x80"},
        {"\xf0\x8f\xbf\xbf", "\\xf0\\x8f\\xbf\\xbf"},
        {"\u00e9 \u2014 \u4e2d \\ud83d\\ude00 \xf4\x8f\xbf\xbf \xef\xbf\xbf",
         "\u00e9 \u2014 \u4e2d \U0001f600 \U0010ffff \uffff"},
        // Leads F5 to FF start nothing, whatever follows them.
        {"\xf5\x80\x80\x80\xf7\xbf\xbf\xbf", "\\xf5\\x80\\x80\\x80\\xf7\\xbf\\xbf\\xbf"},
        {"\xf6\xf8\xf9\xfa\xfb\xfc\xfd\xfe\xff", "\\xf6\\xf8\\xf9\\xfa\\xfb\\xfc\\xfd\\xfe\\xff"},
        // A control where a continuation byte belongs ends the sequence and is escaped itself.
        {"\xf0\x9f\x98\\u001b[2J", "\\xf0\\x9f\\x98\\x1b[2J"},
        {"\xf0\x9f\\u001b\x98", "\\xf0\\x9f\\x1b\\x98"},
        {"\xe2\x80\\u001b", "\\xe2\\x80\\x1b"},
        // The first and last valid sequence at each boundary: U+0800, U+D7FF, U+E000, U+FFFF,
        // U+10000, U+10FFFF.
        {"\xe0\xa0\x80|\xed\x9f\xbf|\xee\x80\x80|\xef\xbf\xbf|\xf0\x90\x80\x80|\xf4\x8f\xbf\xbf",
         "\u0800|\ud7ff|\ue000|\uffff|\U00010000|\U0010ffff"},
        // The highest second byte after each kind of lead: U+00BF, U+1FFF, U+3FFFF, U+FFFFF.
        {"\xc2\xbf|\xe1\xbf\xbf|\xf0\xbf\xbf\xbf|\xf3\xbf\xbf\xbf",
         "\u00bf|\u1fff|\U0003ffff|\U000fffff"},
        // One step past each: overlong, a surrogate, overlong, above U+10FFFF.
        {"\xe0\x9f\xbf|\xed\xa0\x80|\xf0\x8f\xbf\xbf|\xf4\x90\x80\x80",
         "\\xe0\\x9f\\xbf|\\xed\\xa0\\x80|\\xf0\\x8f\\xbf\\xbf|\\xf4\\x90\\x80\\x80"},
    };
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> rejected{0};
    Pool pool;
    connect_pool_callbacks(pool, accepted, rejected);
    for (const bool color : {false, true}) {
        set_console_colors(color);
        const std::string net = color ? "\033[90m net  \033[0m " : " net   ";
        const std::string share = color ? "\033[31m share\033[0m " : " share ";
        for (const auto& [sent, shown] : cases) {
            testing::StdoutCapture out;
            pool.handle_message(R"({"method":"notification","params":{"kind":")" + sent + "\"}}");
            pool.handle_message(R"({"id":2,"error":")" + sent + "\"}");
            EXPECT_EQ(out.finish(), net + "pool notice: " + shown + "\n" + share +
                                        "REJECTED \u2014 " + shown + "\n")
                << sent << " colour " << color;
        }
    }
    set_console_colors(false);
}

// The banner as a terminal receives it.
std::string banner_on_terminal(bool color) {
    int master = -1;
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);  // line feeds arrive as written
    EXPECT_EQ(openpty(&master, &slave, nullptr, &raw, nullptr), 0);
    {
        testing::StdoutCapture terminal(fdopen(slave, "w"));
        print_banner("B", "T", "V", color);
    }
    std::string text;
    char buf[4096];
    ssize_t got = 0;
    while (text.find("\n\n") == std::string::npos && (got = read(master, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(got));  // up to the empty line that ends it
    close(master);
    return text;
}

// Eight lines: empty, six logo rows with the texts beside rows 2 to 4, empty. Colours only
// on a terminal, with colour on and NO_COLOR unset.
TEST(ConsoleTest, BannerLayoutAndColours) {
    unsetenv("NO_COLOR");
    const std::string plain = banner_on_terminal(false);
    EXPECT_EQ(plain.find('\033'), std::string::npos);
    std::istringstream lines(plain);
    std::string line;
    const char* const rows[] = {nullptr, "", "   B", "   T", "   V", "", "", nullptr};
    std::vector<size_t> widths;  // of the logo rows, in columns
    std::string shadow;          // the last logo row
    for (const char* beside : rows) {
        ASSERT_TRUE(std::getline(lines, line));
        const std::string text = beside == nullptr ? "" : beside;
        EXPECT_EQ(line.size() > text.size() + 2, beside != nullptr) << line;  // a logo row
        EXPECT_EQ(line.substr(line.size() - std::min(line.size(), text.size())), text) << line;
        if (beside != nullptr) {
            EXPECT_EQ(line.substr(0, 2), "  ") << line;
            shadow = line;
            widths.push_back(
                static_cast<size_t>(std::count_if(line.begin(), line.end(),
                                                  [](char c) { return (c & 0xC0) != 0x80; })) -
                text.size());
        }
    }
    EXPECT_FALSE(std::getline(lines, line));
    // The texts start in one column; the last row is all shadow.
    ASSERT_EQ(widths.size(), 6u);
    EXPECT_EQ(std::set<size_t>(widths.begin() + 1, widths.end()).size(), 1u);
    EXPECT_EQ(shadow.find("\u2588"), std::string::npos) << shadow;
    const std::string row6 = shadow;
    for (const char* glyph : {"\u2550", "\u2551", "\u2554", "\u2557", "\u255a", "\u255d"})
        for (size_t at; (at = shadow.find(glyph)) != std::string::npos;)
            shadow.erase(at, 3);
    EXPECT_EQ(shadow.find_first_not_of(' '), std::string::npos) << row6;
    const std::string coloured = banner_on_terminal(true);
    EXPECT_NE(coloured.find("\033[1m\033[38;2;255;77;0m  "), std::string::npos);
    EXPECT_NE(coloured.find("   \033[1m\033[38;2;237;232;219mB\033[0m"), std::string::npos);
    EXPECT_NE(coloured.find("   \033[38;2;163;157;144mV\033[0m"), std::string::npos);
    setenv("NO_COLOR", "", 1);
    EXPECT_EQ(banner_on_terminal(true).find('\033'), std::string::npos);
    unsetenv("NO_COLOR");
    testing::StdoutCapture file;  // not a terminal
    print_banner("B", "T", "V", true);
    EXPECT_EQ(file.finish().find('\033'), std::string::npos);
}

}  // namespace
}  // namespace tovren::qel
