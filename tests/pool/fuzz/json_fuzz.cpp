// Any bytes through the JSON reader: no crash, no leak, nesting never deeper than the limit,
// the compact writer's text reads back as the same value, and the escaper's output always
// reads back as the original bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "pool/json.h"

using tovren::qel::JsonValue;

static int depth(const JsonValue& v) {
    int deepest = 0;
    for (const JsonValue& item : v.items)
        deepest = std::max(deepest, depth(item));
    for (const auto& member : v.members)
        deepest = std::max(deepest, depth(member.second));
    return deepest + 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tovren::qel;
    const std::string text(reinterpret_cast<const char*>(data), size);
    JsonValue v, again;
    if (json_parse(text, v)) {
        // The accessors on whatever came out, with the keys the pool client uses.
        for (const char* key : {"id", "method", "params", "result", "error", "status"}) {
            v.get_string(key, "");
            v.get_u64(key, 0);
            v.get_double(key, 0.0);
        }
        // The compact text reads back as a value that writes the same text again.
        const std::string compact = json_write(v);
        if (depth(v) > 32 || !json_parse(compact, again) || json_write(again) != compact)
            std::abort();
    }
    if (!json_parse("\"" + json_escape(text) + "\"", again) ||
        again.kind != JsonValue::Kind::String || again.text != text)
        std::abort();
    return 0;
}
