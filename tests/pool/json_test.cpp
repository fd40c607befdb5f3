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
        s += open;
    s += inner;
    for (int i = 0; i < levels; ++i)
        s += close;
    return s;
}

TEST(JsonParse, WhitespaceIsExactlyFourBytes) {
    EXPECT_FALSE(parses(""));
    EXPECT_FALSE(parses(" \t\r\n "));
    EXPECT_EQ(parsed(" {} ").kind, Kind::Object);
    EXPECT_TRUE(parses("\t\r\n[ 1 ,\t2\r\n]\n"));
    EXPECT_FALSE(parses("{} x"));
    EXPECT_FALSE(parses("\f1"));
    EXPECT_FALSE(parses(std::string("1\0", 2)));
    EXPECT_FALSE(parses("[1\v]"));
}

TEST(JsonParse, Literals) {
    JsonValue v = parsed("[true,false,null]");
    ASSERT_EQ(v.items.size(), 3u);
    EXPECT_EQ(v.items[0].kind, Kind::Bool);
    EXPECT_TRUE(v.items[0].boolean);
    EXPECT_EQ(v.items[1].kind, Kind::Bool);
    EXPECT_FALSE(v.items[1].boolean);
    EXPECT_EQ(v.items[2].kind, Kind::Null);
    for (const char* bad : {"nul", "tru", "fals", "truex", "[truex]", "True", "nulll"}) {
        EXPECT_FALSE(parses(bad)) << bad;
    }
}

TEST(JsonParse, NumbersAreAnyRunOfNumberCharacters) {
    struct Case {
        const char* text;
        double number;
    };
    for (const Case& c :
         {Case{"-", 0.0}, Case{"1e", 1.0}, Case{"1.2.3", 1.2}, Case{"E", 0.0}, Case{"--1", 0.0},
          Case{"1-2", 1.0}, Case{"-12.5e1", -125.0}, Case{"+7", 7.0}, Case{"0.000", 0.0}}) {
        JsonValue v = parsed(c.text);
        EXPECT_EQ(v.kind, Kind::Number) << c.text;
        EXPECT_EQ(v.text, c.text);
        EXPECT_EQ(v.number, c.number) << c.text;
    }
    EXPECT_EQ(parsed("[1,2]").items[1].text, "2");
    for (const char* bad : {"]", ",", ":", "x1", "1x", "\x80", "1 2", "0x10"}) {
        EXPECT_FALSE(parses(bad)) << bad;
    }
}

TEST(JsonParse, Separators) {
    for (const char* bad : {"[1,]", "{\"a\":1,}", "[1 2]", "{\"a\" 1}", "{\"a\":1 \"b\":2}",
                            "{a:1}", "[", "{", "{\"a\"", "{\"a\":", "[1", "{\"a\":1", "[,1]"}) {
        EXPECT_FALSE(parses(bad)) << bad;
    }
    EXPECT_EQ(parsed("[ ]").items.size(), 0u);
    EXPECT_EQ(parsed("{ }").members.size(), 0u);
    JsonValue v = parsed(R"({ "a" : [ 1 , { } ] , "b":"" })");
    ASSERT_EQ(v.members.size(), 2u);
    EXPECT_EQ(v.members[0].second.items.size(), 2u);
}

TEST(JsonParse, StringsAndEscapes) {
    EXPECT_EQ(parsed(R"("a\"b\\c\/d\b\f\n\r\t")").text, "a\"b\\c/d\b\f\n\r\t");
    EXPECT_EQ(parsed(R"("\u0000")").text, std::string(1, '\0'));
    EXPECT_EQ(parsed(R"("\u00e9\u20AC")").text, "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(parsed("\"tab\there\nline\"").text, "tab\there\nline");
    EXPECT_EQ(parsed("\"\xff\xfe\"").text, "\xff\xfe");
    EXPECT_EQ(parsed(std::string("\"a\0b\"", 5)).text, std::string("a\0b", 3));
    for (const char* bad :
         {R"("\x")", R"("\u12")", R"("\u12G4")", R"("abc)", R"("\)", "\"\\", R"("\U0041")"}) {
        EXPECT_FALSE(parses(bad)) << bad;
    }
}

TEST(JsonParse, Surrogates) {
    EXPECT_EQ(parsed(R"("\uD83D\uDE00")").text, "\xF0\x9F\x98\x80");
    EXPECT_EQ(parsed(R"("\uD800")").text, "\xED\xA0\x80");
    EXPECT_EQ(parsed(R"("\uD800\u0041")").text,
              "\xED\xA0\x80"
              "A");
    EXPECT_EQ(parsed(R"("\uDC00")").text, "\xED\xB0\x80");
    EXPECT_EQ(parsed(R"("\uD800\uD800")").text, "\xED\xA0\x80\xED\xA0\x80");
    EXPECT_EQ(parsed(R"("\uDBFF\uDFFFx")").text, "\xF4\x8F\xBF\xBFx");
    EXPECT_EQ(parsed(R"("\uD800\n")").text, "\xED\xA0\x80\n");
    EXPECT_FALSE(parses(R"("\uD800\uZZZZ")"));
    EXPECT_FALSE(parses(R"("\uD800\u")"));
}

TEST(JsonParse, DepthLimitIs32Levels) {
    // The top-level value is level 1; the innermost value here sits at 1 + levels.
    for (const char* open : {"[", "{\"k\":"}) {
        const char* close = open[0] == '[' ? "]" : "}";
        EXPECT_TRUE(parses(nested(open, "[]", close, 31))) << open;
        EXPECT_FALSE(parses(nested(open, "[]", close, 32))) << open;
        EXPECT_TRUE(parses(nested(open, "{}", close, 31))) << open;
        EXPECT_TRUE(parses(nested(open, "1", close, 31))) << open;
        EXPECT_FALSE(parses(nested(open, "1", close, 32))) << open;
        EXPECT_FALSE(parses(nested(open, "\"s\"", close, 32))) << open;
    }
    // Mixed: each repetition is two levels.
    EXPECT_TRUE(parses(nested("[{\"k\":", "[1]", "}]", 15)));
    EXPECT_FALSE(parses(nested("[{\"k\":", "[[1]]", "}]", 15)));
    EXPECT_TRUE(parses(nested("{\"k\":[", "{}", "]}", 15) + " "));
    EXPECT_TRUE(parses(nested("{\"k\":[", "{\"a\":{}}", "]}", 15)));
    EXPECT_FALSE(parses(nested("{\"k\":[", "{\"a\":[{}]}", "]}", 15)));
}

TEST(JsonValue, DuplicateKeysAndAccessors) {
    JsonValue v =
        parsed(R"({"a":1,"a":2,"s":"5","n":5,"neg":-1,"frac":1.0,"exp":1e3,"plus":+5,)"
               R"("big":18446744073709551616,"max":18446744073709551615,"empty":"","":7,"d":2.5})");
    ASSERT_EQ(v.members.size(), 13u);
    EXPECT_EQ(v.find("a")->text, "1");
    EXPECT_EQ(v.members[1].second.text, "2");
    EXPECT_EQ(v.find("missing"), nullptr);
    EXPECT_EQ(v.find("")->text, "7");

    EXPECT_EQ(v.get_u64("n", 9), 5u);
    EXPECT_EQ(v.get_u64("plus", 9), 5u);
    for (const char* key : {"s", "neg", "frac", "exp", "missing", "d"}) {
        EXPECT_EQ(v.get_u64(key, 9), 9u) << key;
    }
    EXPECT_EQ(v.get_u64("big", 9), UINT64_MAX);
    EXPECT_EQ(v.get_u64("max", 9), UINT64_MAX);

    EXPECT_EQ(v.get_string("s", "def"), "5");
    EXPECT_EQ(v.get_string("empty", "def"), "");
    EXPECT_EQ(v.get_string("n", "def"), "def");
    EXPECT_EQ(v.get_string("missing", "def"), "def");

    EXPECT_EQ(v.get_double("d", 0.0), 2.5);
    EXPECT_EQ(v.get_double("exp", 0.0), 1000.0);
    EXPECT_EQ(v.get_double("s", -1.0), -1.0);

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
    EXPECT_EQ(json_escape(""), "");
    // Everything escaped reads back as the original bytes.
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(parsed("\"" + json_escape(all) + "\"").text, all);
}

}  // namespace
}  // namespace tovren::qel
