#include "pool/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <utility>

namespace tovren::qel {
namespace {

// inner inside levels repetitions of open ... close.
std::string nested(const std::string& open, const std::string& close, int levels,
                   const std::string& inner = "1") {
    std::string s;
    for (int i = 0; i < levels; ++i)
        s = open + s + close;
    return s.insert(open.size() * levels, inner);
}

TEST(JsonParse, RejectsMalformedText) {
    const std::string bad[] = {
        // whitespace is space, tab, CR and LF only, and nothing may follow the value
        "", " \t\r\n ", "{} x", "\f1", std::string("1\0", 2), "[1\v]", "1 2",
        // literals
        "nul", "tru", "fals", "truex", "[truex]", "True", "nulll",
        // bytes that start no value
        "]", ",", ":", "x1", "1x", "\x80", "0x10",
        // separators and unfinished containers
        "[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "{a:1}", "[", "{",
        "{\"a\"", "{\"a\":", "[1", "{\"a\":1", "[,1]",
        // a container that fails must not pass on what follows it as if it had ended
        "[1x", "[1}", "{\"a\":[1}}", "[{,1]", "[{\"a\":1,]", "{\"ab",
        // escapes and unfinished strings
        R"("\x")", R"("\u12")", R"("\u12G4")", R"("abc)", R"("\)", "\"\\", R"("\U0041")",
        R"("\uD800\uZZZZ")", R"("\uD800\u")"};
    JsonValue v;
    for (const std::string& text : bad)
        EXPECT_FALSE(json_parse(text, v)) << text;
}

// Each text and the compact text of what it reads as. One value serves every row, so nothing a
// parse leaves behind may leak into the next.
TEST(JsonParse, ReadsValuesAsWrittenBackCompactly) {
    const std::pair<std::string, std::string> cases[] = {
        {"\t\r\n[ 1 ,\t{ }\r\n]\n ", "[1,{}]"},
        // literals that end the input, with nothing after them
        {"true", "true"},
        {"false", "false"},
        {"null", "null"},
        {R"({ "a" : [ true , { } , false, null,[ ] ] , "b":"" })",
         R"({"a":[true,{},false,null,[]],"b":""})"},
        {R"({"a":1,"a":2,"k\n":3})", R"({"a":1,"a":2,"k\n":3})"},
        // a number is any run of number characters, kept as written
        {"[-,1e,1.2.3,E,--1,1-2,-12.5e1,+7,0.000,9]", "[-,1e,1.2.3,E,--1,1-2,-12.5e1,+7,0.000,9]"},
        // escapes, and raw control and non-ASCII bytes kept as they are
        {R"("a\"b\\c\/d\b\f\n\r\t !")", R"("a\"b\\c/d\u0008\u000c\n\r\t !")"},
        {R"("\u0000\u001F\u001b\u007f)" + std::string("\x1f\xff\0\"", 4),
         "\"\\u0000\\u001f\\u001b\x7f\\u001f\xff\\u0000\""},
        {R"("\u0080\u07fF\u0800\uFFFF")", "\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\""},
        {"\"tab\there\nline\"", R"("tab\there\nline")"},
        {R"("\u00e9\u20AC\uD83D\uDE00")", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        // surrogate pairs make one character; a lone surrogate becomes its own three bytes
        {R"("\uD800\uDC00\uDBFF\uDFFFx")", "\"\xF0\x90\x80\x80\xF4\x8F\xBF\xBFx\""},
        {R"("\uD800\u0041\uDC00\uD800\uD800\uD800\n")",
         "\"\xED\xA0\x80\x41\xED\xB0\x80\xED\xA0\x80\xED\xA0\x80\xED\xA0\x80\\n\""},
    };
    JsonValue v;
    for (const auto& c : cases) {
        EXPECT_TRUE(json_parse(c.first, v)) << c.first;
        EXPECT_EQ(json_write(v), c.second) << c.first;
    }
}

TEST(JsonParse, NestingIsLimitedTo32Levels) {
    JsonValue v;
    for (const std::string open : {"[", "{\"k\":"}) {
        const std::string close = open == "[" ? "]" : "}";
        // The top-level value is level 1: 32 nested containers with an empty innermost one
        // parse, any value one level deeper does not.
        for (const char* inner : {"1", "\"s\"", "[]", "{}"}) {
            EXPECT_TRUE(json_parse(nested(open, close, 31, inner), v)) << open << inner;
            EXPECT_FALSE(json_parse(nested(open, close, 32, inner), v)) << open << inner;
        }
        // Siblings do not add up.
        std::string siblings(1, open[0]);
        for (int i = 0; i < 40; ++i)
            siblings += open == "[" ? "[]," : "\"k\":{},";
        EXPECT_TRUE(json_parse(siblings + open.substr(1) + "1" + close, v)) << open;
    }
    // Arrays and objects count alike: each repetition here is two levels.
    const std::tuple<const char*, const char*, const char*, bool> mixed[] = {
        {"[{\"k\":", "[1]", "}]", true},
        {"[{\"k\":", "[[1]]", "}]", false},
        {"{\"k\":[", "{\"a\":{}}", "]}", true},
        {"{\"k\":[", "{\"a\":[{}]}", "]}", false}};
    for (const auto& [open, inner, close, ok] : mixed)
        EXPECT_EQ(json_parse(nested(open, close, 15, inner), v), ok) << open << inner;
}

// A number's value is what strtod makes of the longest prefix it takes; no run of number
// characters is refused.
TEST(JsonParse, NumbersTakeTheValueOfTheirLongestNumericPrefix) {
    const std::pair<const char*, double> cases[] = {
        {"-", 0.0},   {"1e", 1.0}, {"1.2.3", 1.2},    {"E", 0.0},  {"--1", 0.0},
        {"1-2", 1.0}, {"+7", 7.0}, {"-12.5e1", -125}, {".5", 0.5}, {"1e400", HUGE_VAL}};
    JsonValue v;
    for (const auto& [text, number] : cases) {
        ASSERT_TRUE(json_parse(text, v)) << text;
        EXPECT_EQ(v.kind, JsonValue::Kind::Number) << text;
        EXPECT_EQ(v.number, number) << text;
    }
}

// A failed parse leaves nothing of what the value held before.
TEST(JsonParse, FailureDropsEarlierContent) {
    JsonValue v;
    ASSERT_TRUE(json_parse(R"({"a":[1],"s":"x"})", v));
    EXPECT_FALSE(json_parse("[", v));
    EXPECT_TRUE(v.members.empty() && v.text.empty());
    ASSERT_TRUE(json_parse(R"("text")", v));
    EXPECT_FALSE(json_parse("{\"a\"", v));
    EXPECT_TRUE(v.text.empty() && v.members.empty());
}

// get_u64 takes whole decimal numbers and saturates; each getter gives its default for a
// missing key or a value of another kind; a repeated key gives its first value.
TEST(JsonValue, AccessorsTakeTheFirstKeyAndGiveDefaultsForOtherKinds) {
    JsonValue v;
    ASSERT_TRUE(json_parse(R"({"a":1,"a":2,"s":"5","neg":-1,"exp":1e3,"big":18446744073709551616,)"
                           R"("empty":"","":7,"plus":+5,"frac":1.0,"d":2.5,"zero":0,"t":true,)"
                           R"("max":18446744073709551615,"max-1":18446744073709551614})",
                           v));
    const std::tuple<const char*, uint64_t, const char*, double> cases[] = {
        {"a", 1, "-", 1},
        {"", 7, "-", 7},
        {"s", 9, "5", -7},
        {"neg", 9, "-", -1},
        {"exp", 9, "-", 1000},
        {"empty", 9, "", -7},
        {"missing", 9, "-", -7},
        {"big", UINT64_MAX, "-", 18446744073709551616.0},
        {"plus", 5, "-", 5},
        {"frac", 9, "-", 1},
        {"d", 9, "-", 2.5},
        {"zero", 0, "-", 0},
        {"t", 9, "-", -7},
        {"max", UINT64_MAX, "-", 18446744073709551616.0},
        {"max-1", UINT64_MAX - 1, "-", 18446744073709551614.0}};
    for (const auto& [key, u64, str, dbl] : cases) {
        EXPECT_EQ(v.get_u64(key, 9), u64) << key;
        EXPECT_EQ(v.get_string(key, "-"), str) << key;
        EXPECT_EQ(v.get_double(key, -7), dbl) << key;
    }
    for (const char* text : {R"([{"a":1}])", R"("a")", "1"}) {
        ASSERT_TRUE(json_parse(text, v));
        EXPECT_EQ(v.find("a"), nullptr) << text;
        EXPECT_EQ(v.get_u64("a", 3), 3u) << text;
        EXPECT_EQ(v.get_string("a", "-"), "-") << text;
    }
}

// Quotes, backslashes and bytes below 0x20 are escaped, nothing else; whatever is escaped
// reads back as the bytes it came from.
TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytesOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"\\\n\f\xC3\xA9/", "\\\"\\\\\\n\\u000c\xC3\xA9/"},
        {std::string("\r\t\b\x1b\x1f\x7f\0 ", 8), "\\r\\t\\u0008\\u001b\\u001f\x7f\\u0000 "},
        {"", ""},
    };
    for (const auto& [raw, escaped] : cases)
        EXPECT_EQ(json_escape(raw), escaped) << raw;
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    JsonValue v;
    ASSERT_TRUE(json_parse("\"" + json_escape(all) + "\"", v));
    EXPECT_EQ(v.text, all);
}

}  // namespace
}  // namespace tovren::qel
