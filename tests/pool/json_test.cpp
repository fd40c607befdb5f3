#include "pool/json.h"

#include <gtest/gtest.h>

#include <string>

namespace tovren::qel {
namespace {

using Kind = JsonValue::Kind;

bool parses(const std::string& text) {
    JsonValue v;
    return json_parse(text, v);
}

JsonValue parsed(const std::string& text) {
    JsonValue v;
    EXPECT_TRUE(json_parse(text, v)) << text;
    return v;
}

std::string nested(const std::string& open, const std::string& inner, const std::string& close,
                   int levels) {
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
        // escapes and unfinished strings
        R"("\x")", R"("\u12")", R"("\u12G4")", R"("abc)", R"("\)", "\"\\", R"("\U0041")",
        R"("\uD800\uZZZZ")", R"("\uD800\u")"};
    for (const std::string& text : bad)
        EXPECT_FALSE(parses(text)) << text;
}

TEST(JsonParse, ContainersLiteralsAndWhitespace) {
    EXPECT_EQ(parsed(" {} ").kind, Kind::Object);
    EXPECT_EQ(parsed("\t\r\n[ 1 ,\t2\r\n]\n").items.at(1).text, "2");
    EXPECT_EQ(parsed("[ ]").items.size(), 0u);
    EXPECT_EQ(parsed("{ }").members.size(), 0u);
    JsonValue v = parsed(R"({ "a" : [ true , { } , false, null ] , "b":"" })");
    ASSERT_EQ(v.members.size(), 2u);
    const JsonValue& a = v.members[0].second;
    ASSERT_EQ(a.items.size(), 4u);
    EXPECT_TRUE(a.items[0].kind == Kind::Bool && a.items[0].boolean);
    EXPECT_EQ(a.items[1].kind, Kind::Object);
    EXPECT_TRUE(a.items[2].kind == Kind::Bool && !a.items[2].boolean);
    EXPECT_EQ(a.items[3].kind, Kind::Null);
}

TEST(JsonParse, NumbersAreAnyRunOfNumberCharacters) {
    const struct {
        const char* text;
        double number;
    } cases[] = {{"-", 0.0},   {"1e", 1.0},       {"1.2.3", 1.2}, {"E", 0.0},    {"--1", 0.0},
                 {"1-2", 1.0}, {"-12.5e1", -125}, {"+7", 7.0},    {"0.000", 0.0}};
    for (const auto& c : cases) {
        JsonValue v = parsed(c.text);
        EXPECT_EQ(v.kind, Kind::Number) << c.text;
        EXPECT_EQ(v.text, c.text);
        EXPECT_EQ(v.number, c.number) << c.text;
    }
}

TEST(JsonParse, StringsEscapesAndSurrogates) {
    const std::pair<std::string, std::string> cases[] = {
        {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
        {R"("\u0000")", std::string(1, '\0')},
        {R"("\u00e9\u20AC")", "\xC3\xA9\xE2\x82\xAC"},
        {"\"tab\there\nline\"", "tab\there\nline"},
        {"\"\xff\xfe\"", "\xff\xfe"},
        {std::string("\"a\0b\"", 5), std::string("a\0b", 3)},
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {R"("\uDBFF\uDFFFx")", "\xF4\x8F\xBF\xBFx"},
        // a lone surrogate becomes its own three bytes
        {R"("\uD800")", "\xED\xA0\x80"},
        {R"("\uD800\u0041")", "\xED\xA0\x80\x41"},
        {R"("\uDC00")", "\xED\xB0\x80"},
        {R"("\uD800\uD800")", "\xED\xA0\x80\xED\xA0\x80"},
        {R"("\uD800\n")", "\xED\xA0\x80\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parsed(c.first).text, c.second) << c.first;
}

TEST(JsonParse, DepthLimitIs32Levels) {
    // The top-level value is level 1; the innermost value here sits at 1 + levels.
    for (const char* open : {"[", "{\"k\":"}) {
        const char* close = open[0] == '[' ? "]" : "}";
        for (const char* inner : {"[]", "{}", "1", "\"s\""}) {
            EXPECT_TRUE(parses(nested(open, inner, close, 31))) << open << inner;
            EXPECT_FALSE(parses(nested(open, inner, close, 32))) << open << inner;
        }
    }
    // Mixed: each repetition is two levels.
    EXPECT_TRUE(parses(nested("[{\"k\":", "[1]", "}]", 15)));
    EXPECT_FALSE(parses(nested("[{\"k\":", "[[1]]", "}]", 15)));
    EXPECT_TRUE(parses(nested("{\"k\":[", "{\"a\":{}}", "]}", 15) + " "));
    EXPECT_FALSE(parses(nested("{\"k\":[", "{\"a\":[{}]}", "]}", 15)));
}

TEST(JsonValue, DuplicateKeysAndAccessors) {
    JsonValue v =
        parsed(R"({"a":1,"a":2,"s":"5","n":5,"neg":-1,"frac":1.0,"exp":1e3,"plus":+5,)"
               R"("big":18446744073709551616,"max":18446744073709551615,"empty":"","":7,"d":2.5})");
    ASSERT_EQ(v.members.size(), 13u);  // duplicates are all kept; find takes the first
    EXPECT_EQ(v.find("a")->text, "1");
    EXPECT_EQ(v.find("")->text, "7");
    // get_u64 takes whole decimal numbers and saturates; each getter gives its default for a
    // missing key or a value of another kind.
    const struct {
        const char* key;
        uint64_t u64;
        const char* str;
        double dbl;
    } cases[] = {{"n", 5, "-", 5},
                 {"plus", 5, "-", 5},
                 {"s", 9, "5", -7},
                 {"neg", 9, "-", -1},
                 {"frac", 9, "-", 1},
                 {"exp", 9, "-", 1000},
                 {"d", 9, "-", 2.5},
                 {"empty", 9, "", -7},
                 {"missing", 9, "-", -7},
                 {"big", UINT64_MAX, "-", 18446744073709551616.0},
                 {"max", UINT64_MAX, "-", 18446744073709551616.0}};
    for (const auto& c : cases) {
        EXPECT_EQ(v.get_u64(c.key, 9), c.u64) << c.key;
        EXPECT_EQ(v.get_string(c.key, "-"), c.str) << c.key;
        EXPECT_EQ(v.get_double(c.key, -7), c.dbl) << c.key;
    }
    JsonValue arr = parsed(R"([{"a":1}])");
    EXPECT_EQ(arr.find("a"), nullptr);
    EXPECT_EQ(arr.get_u64("a", 3), 3u);
}

TEST(JsonParse, FailureResetsEarlierContent) {
    JsonValue v = parsed(R"({"a":1})");
    EXPECT_FALSE(json_parse("[", v));
    EXPECT_TRUE(v.members.empty());
    EXPECT_TRUE(json_parse("7", v));
    EXPECT_EQ(v.kind, Kind::Number);
    EXPECT_TRUE(v.members.empty());
}

TEST(JsonEscape, EscapesQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(json_escape("\"\\\n\f\xC3\xA9/"), "\\\"\\\\\\n\\u000c\xC3\xA9/");
    EXPECT_EQ(json_escape(std::string("\r\t\b\x1b\x7f\0", 6)), "\\r\\t\\u0008\\u001b\x7f\\u0000");
    // Everything escaped reads back as the original bytes.
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(parsed("\"" + json_escape(all) + "\"").text, all);
}

}  // namespace
}  // namespace tovren::qel
