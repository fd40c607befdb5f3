#include "pool/json.h"

#include <cstdlib>
#include <cstring>

#include "pool/hex.h"

namespace tovren::qel {

namespace {

// Bounds the recursion of both the reader and the destructor of any tree it builds.
constexpr int kMaxDepth = 32;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

void skip_space(JsonCursor& cur) {
    while (cur.pos != cur.end && is_space(*cur.pos)) {
        ++cur.pos;
    }
}

bool is_number_char(char c) {
    return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E';
}

// Four hex digits at p (the caller has checked that they exist).
bool read_hex4(const char* p, uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        int v = hex_digit_value(p[i]);
        if (v < 0)
            return false;
        unit = unit << 4 | static_cast<uint32_t>(v);
    }
    return true;
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// After "\u": one code unit, combined with a directly following low-surrogate escape when it
// is a high surrogate. Anything unpaired is written on its own (as three bytes).
bool parse_unicode_escape(JsonCursor& cur, std::string& out) {
    uint32_t unit;
    if (cur.end - cur.pos < 4 || !read_hex4(cur.pos, unit))
        return false;
    cur.pos += 4;
    uint32_t cp = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF && cur.end - cur.pos >= 6 && cur.pos[0] == '\\' &&
        cur.pos[1] == 'u') {
        uint32_t low;
        if (read_hex4(cur.pos + 2, low) && low >= 0xDC00 && low <= 0xDFFF) {
            cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            cur.pos += 6;
        }
    }
    append_utf8(out, cp);
    return true;
}

bool parse_literal(JsonCursor& cur, const char* word, size_t len) {
    if (static_cast<size_t>(cur.end - cur.pos) < len || std::memcmp(cur.pos, word, len) != 0) {
        return false;
    }
    cur.pos += len;
    return true;
}

bool parse_number(JsonCursor& cur, JsonValue& out) {
    const char* start = cur.pos;
    while (cur.pos != cur.end && is_number_char(*cur.pos)) {
        ++cur.pos;
    }
    if (cur.pos == start)
        return false;
    out.kind = JsonValue::Kind::Number;
    out.text.assign(start, cur.pos);
    out.number = std::strtod(out.text.c_str(), nullptr);
    return true;
}

bool parse_array(JsonCursor& cur, JsonValue& out) {
    ++cur.pos;
    out.kind = JsonValue::Kind::Array;
    skip_space(cur);
    if (cur.pos != cur.end && *cur.pos == ']') {
        ++cur.pos;
        return true;
    }
    for (;;) {
        if (++cur.depth > kMaxDepth)
            return false;
        JsonValue item;
        bool ok = json_parse_value(cur, item);
        --cur.depth;
        if (!ok)
            return false;
        out.items.push_back(std::move(item));
        skip_space(cur);
        if (cur.pos == cur.end)
            return false;
        char c = *cur.pos++;
        if (c == ']')
            return true;
        if (c != ',')
            return false;
    }
}

bool parse_object(JsonCursor& cur, JsonValue& out) {
    ++cur.pos;
    out.kind = JsonValue::Kind::Object;
    skip_space(cur);
    if (cur.pos == cur.end)
        return false;
    if (*cur.pos == '}') {
        ++cur.pos;
        return true;
    }
    for (;;) {
        skip_space(cur);
        if (cur.pos == cur.end || *cur.pos != '"')
            return false;
        ++cur.pos;
        std::string key;
        if (!json_parse_string(cur, key))
            return false;
        skip_space(cur);
        if (cur.pos == cur.end || *cur.pos != ':')
            return false;
        ++cur.pos;
        if (++cur.depth > kMaxDepth)
            return false;
        JsonValue value;
        bool ok = json_parse_value(cur, value);
        --cur.depth;
        if (!ok)
            return false;
        out.members.emplace_back(std::move(key), std::move(value));
        skip_space(cur);
        if (cur.pos == cur.end)
            return false;
        char c = *cur.pos++;
        if (c == '}')
            return true;
        if (c != ',')
            return false;
    }
}

}  // namespace

bool json_parse(const std::string& text, JsonValue& out) {
    out = JsonValue();
    JsonCursor cur{text.data(), text.data() + text.size(), 1};
    if (!json_parse_value(cur, out))
        return false;
    skip_space(cur);
    return cur.pos == cur.end;
}

bool json_parse_value(JsonCursor& cur, JsonValue& out) {
    skip_space(cur);
    if (cur.pos == cur.end)
        return false;
    switch (*cur.pos) {
        case '"':
            out.kind = JsonValue::Kind::String;
            out.text.clear();
            ++cur.pos;
            return json_parse_string(cur, out.text);
        case '[':
            return parse_array(cur, out);
        case '{':
            return parse_object(cur, out);
        case 't':
            if (!parse_literal(cur, "true", 4))
                return false;
            out.kind = JsonValue::Kind::Bool;
            out.boolean = true;
            return true;
        case 'f':
            if (!parse_literal(cur, "false", 5))
                return false;
            out.kind = JsonValue::Kind::Bool;
            out.boolean = false;
            return true;
        case 'n':
            if (!parse_literal(cur, "null", 4))
                return false;
            out.kind = JsonValue::Kind::Null;
            return true;
        default:
            return parse_number(cur, out);
    }
}

bool json_parse_string(JsonCursor& cur, std::string& out) {
    while (cur.pos != cur.end) {
        // Plain bytes, raw control bytes and non-ASCII included, go over as one run.
        const char* run = cur.pos;
        while (cur.pos != cur.end && *cur.pos != '"' && *cur.pos != '\\') {
            ++cur.pos;
        }
        out.append(run, cur.pos);
        if (cur.pos == cur.end)
            return false;
        char c = *cur.pos++;
        if (c == '"')
            return true;
        if (cur.pos == cur.end)
            return false;
        char esc = *cur.pos++;
        switch (esc) {
            case '"':
            case '\\':
            case '/':
                out += esc;
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u':
                if (!parse_unicode_escape(cur, out))
                    return false;
                break;
            default:
                return false;
        }
    }
    return false;
}

const JsonValue* JsonValue::find(const std::string& key) const {
    if (kind != Kind::Object)
        return nullptr;
    for (const auto& member : members) {
        if (member.first == key)
            return &member.second;
    }
    return nullptr;
}

std::string JsonValue::get_string(const std::string& key, const std::string& def) const {
    const JsonValue* v = find(key);
    return v != nullptr && v->kind == Kind::String ? v->text : def;
}

uint64_t JsonValue::get_u64(const std::string& key, uint64_t def) const {
    const JsonValue* v = find(key);
    if (v == nullptr || v->kind != Kind::Number || v->text.empty() || v->text[0] == '-') {
        return def;
    }
    // The number's text holds no blanks, so strtoull reads from its first byte; out-of-range
    // values saturate, which is the documented result.
    const char* begin = v->text.c_str();
    char* stop = nullptr;
    unsigned long long value = std::strtoull(begin, &stop, 10);
    if (stop != begin + v->text.size())
        return def;
    return static_cast<uint64_t>(value);
}

double JsonValue::get_double(const std::string& key, double def) const {
    const JsonValue* v = find(key);
    return v != nullptr && v->kind == Kind::Number ? v->number : def;
}

std::string json_escape(const std::string& s) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() + 8);
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out += kDigits[c >> 4];
                    out += kDigits[c & 0x0F];
                } else {
                    out += ch;
                }
        }
    }
    return out;
}

std::string json_write(const JsonValue& v) {
    using Kind = JsonValue::Kind;
    switch (v.kind) {
        case Kind::Null:
            return "null";
        case Kind::Bool:
            return v.boolean ? "true" : "false";
        case Kind::Number:
            return v.text;
        case Kind::String:
            return '"' + json_escape(v.text) + '"';
        case Kind::Array:
        case Kind::Object:
            break;
    }
    const bool object = v.kind == Kind::Object;
    const size_t count = object ? v.members.size() : v.items.size();
    std::string out(1, object ? '{' : '[');
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            out += ',';
        if (object)
            out += '"' + json_escape(v.members[i].first) + "\":";
        out += json_write(object ? v.members[i].second : v.items[i]);
    }
    return out + (object ? '}' : ']');
}

}  // namespace tovren::qel
