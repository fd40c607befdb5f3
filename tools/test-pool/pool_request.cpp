#include "pool_request.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace tovren::qel::testing {

namespace {

using nlohmann::json;

enum class Kind { String, Unsigned, Strings, NumberOrNull };

struct Field {
    const char* name;
    Kind kind;
    bool required;
};

// The params of each method as the miner writes them. Fields not named here are let through,
// as a pool lets through what a newer miner may add; those named must have their type.
constexpr Field kLogin[] = {
    {"address", Kind::String, true},
    {"worker", Kind::String, true},
    {"protocol_version", Kind::Unsigned, false},
    {"capabilities", Kind::Strings, false},
    {"difficulty_hint", Kind::NumberOrNull, false},
};
constexpr Field kSubmit[] = {
    {"job_id", Kind::String, true},
    {"nonce", Kind::Unsigned, true},
    {"claimed_hash", Kind::String, true},
};

// A negative, fractional or too large number is not an unsigned integer to the library either.
bool has_kind(const json& value, Kind kind) {
    switch (kind) {
        case Kind::String:
            return value.is_string();
        case Kind::Unsigned:
            return value.is_number_unsigned();
        case Kind::Strings:
            return value.is_array() && std::all_of(value.begin(), value.end(),
                                                   [](const json& v) { return v.is_string(); });
        case Kind::NumberOrNull:
            return value.is_number() || value.is_null();
    }
    return false;
}

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::String:
            return "a string";
        case Kind::Unsigned:
            return "an unsigned 64-bit integer";
        case Kind::Strings:
            return "an array of strings";
        case Kind::NumberOrNull:
            return "a number or null";
    }
    return "";
}

template <size_t N>
bool check_fields(const json& params, const Field (&fields)[N], std::string& reason) {
    for (const Field& field : fields) {
        const auto it = params.find(field.name);
        if (it == params.end()) {
            if (!field.required)
                continue;
            reason = std::string("params.") + field.name + " is missing";
            return false;
        }
        if (!has_kind(*it, field.kind)) {
            reason = std::string("params.") + field.name + " must be " + kind_name(field.kind);
            return false;
        }
    }
    return true;
}

}  // namespace

bool read_request(const std::string& line, PoolRequest& request, PoolRefusal& refusal) {
    refusal = PoolRefusal{};
    // The library ends its input at a NUL byte, so whatever followed one would go unseen.
    if (line.find('\0') != std::string::npos) {
        refusal.reason = "a NUL byte in the line";
        return false;
    }
    json root;
    try {
        root = json::parse(line);
    } catch (const json::exception& e) {
        // A syntax error, or a number no double holds (1e400): every exception of the library,
        // since one that escaped would end the pool. The message without the library's
        // "[json.exception.parse_error.101] " before it.
        const std::string what = e.what();
        const size_t tag = what.rfind('[', 0) == 0 ? what.find("] ") : std::string::npos;
        const bool syntax = dynamic_cast<const json::parse_error*>(&e) != nullptr;
        refusal.reason = (syntax ? "not JSON: " : "JSON this pool cannot read: ") +
                         (tag == std::string::npos ? what : what.substr(tag + 2));
        return false;
    }
    if (!root.is_object()) {
        refusal.reason = "not a JSON object";
        return false;
    }
    const auto id = root.find("id");
    if (id == root.end() || !id->is_number_unsigned()) {
        refusal.reason = "id must be an unsigned 64-bit integer";
        return false;
    }
    refusal.id = id->get<uint64_t>();
    const auto method = root.find("method");
    const bool login = method != root.end() && *method == "login";
    if (!login && (method == root.end() || *method != "submit")) {
        refusal.reason = R"(method must be "login" or "submit")";
        return false;
    }
    const auto params = root.find("params");
    if (params == root.end() || !params->is_object()) {
        refusal.reason = "params must be an object";
        return false;
    }
    if (!(login ? check_fields(*params, kLogin, refusal.reason)
                : check_fields(*params, kSubmit, refusal.reason)))
        return false;

    request = PoolRequest{};
    request.id = *refusal.id;
    if (login) {
        request.method = PoolRequest::Method::Login;
        request.address = params->at("address").get<std::string>();
        request.worker = params->at("worker").get<std::string>();
    } else {
        request.method = PoolRequest::Method::Submit;
        request.job_id = params->at("job_id").get<std::string>();
        request.nonce = params->at("nonce").get<uint64_t>();
        request.claimed_hash = params->at("claimed_hash").get<std::string>();
    }
    return true;
}

}  // namespace tovren::qel::testing
