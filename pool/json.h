// The pool client's JSON layer: a small reader that turns one received line into a tree of
// values, accessors with caller-given defaults, the escaper for outgoing strings, and a
// compact writer that shows a received value as text.
//
// The reader reads standard JSON exactly (up to 32 levels of nesting) and is lenient in a few
// fixed ways with text that is not standard JSON: a number is any run of number characters,
// raw control bytes are kept inside strings, and duplicate keys all stay in the member list.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tovren::qel {

struct JsonValue {
    enum class Kind : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Object = 4, Array = 5 };

    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0.0;
    // A String's decoded bytes (may hold NULs), or a Number's exact source text.
    std::string text;
    std::vector<JsonValue> items;
    // In source order; a repeated key keeps every entry and lookups take the first.
    std::vector<std::pair<std::string, JsonValue>> members;

    // The first member with exactly this key; null when this is not an Object or has none.
    const JsonValue* find(const std::string& key) const;
    // The member's text when it is a String, else def.
    std::string get_string(const std::string& key, const std::string& def) const;
    // The member's value when it is a Number written as a whole unsigned decimal (an optional
    // plus sign, no fraction or exponent; saturating at 2^64 - 1), else def.
    uint64_t get_u64(const std::string& key, uint64_t def) const;
    // The member's number when it is a Number, else def.
    double get_double(const std::string& key, double def) const;
};

struct JsonCursor {
    const char* pos;  // next unread byte
    const char* end;  // one past the last byte
    int depth;        // nesting level of the value being read; the top level is 1
};

// Parses all of text as one value (whitespace around it allowed). On failure out holds a
// partial tree that the caller discards.
bool json_parse(const std::string& text, JsonValue& out);
// Reads one value at cur into a freshly default out.
bool json_parse_value(JsonCursor& cur, JsonValue& out);
// Reads a string body starting just after its opening quote and appends the decoded bytes to
// out; on success cur.pos stands just after the closing quote.
bool json_parse_string(JsonCursor& cur, std::string& out);

// The body of a JSON string literal for s, without the surrounding quotes.
std::string json_escape(const std::string& s);
// The compact JSON text of v: no blanks, members and items in order, numbers as written.
std::string json_write(const JsonValue& v);

}  // namespace tovren::qel
