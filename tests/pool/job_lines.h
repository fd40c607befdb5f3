// Pool lines shared by the pool tests.
#pragma once

#include <string>

#include "pool/json.h"

namespace tovren::qel::test {

// 224 hex digits: byte i of the header is i.
inline std::string header_hex() {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 112; ++i) {
        s += kDigits[i >> 4];
        s += kDigits[i & 15];
    }
    return s;
}

inline std::string target_hex() {
    return "0000ffff" + std::string(56, '0');
}

// A "job" message with the given job id and extra members appended to its params.
inline std::string job_line(const std::string& job_id, const std::string& extra = "") {
    return R"({"method":"job","params":{"job_id":")" + json_escape(job_id) +
           R"(","header_base":")" + header_hex() + R"(","target":")" + target_hex() + "\"" + extra +
           "}}";
}

// A job object that fails validation (a header one digit short).
inline std::string rejected_job_line() {
    return R"({"method":"job","params":{"job_id":"bad","header_base":")" + header_hex().substr(1) +
           R"(","target":")" + target_hex() + "\"}}";
}

}  // namespace tovren::qel::test
