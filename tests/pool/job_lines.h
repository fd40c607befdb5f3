// Pool lines shared by the pool tests.
#pragma once

#include <string>

#include "pool/json.h"

namespace tovren::qel::test {

// 224 hex digits: byte i of the header is i.
inline std::string header_hex() {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 112; ++i)
        s += std::string{kDigits[i >> 4], kDigits[i & 15]};
    return s;
}

inline std::string target_hex() {
    return "0000ffff" + std::string(56, '0');
}

// A "job" message; id is the job id's JSON text, extra is appended to the params.
inline std::string job_json(const std::string& id, const std::string& header,
                            const std::string& target, const std::string& extra = "") {
    return R"({"method":"job","params":{"job_id":)" + id + R"(,"header_base":")" + header +
           R"(","target":")" + target + "\"" + extra + "}}";
}

inline std::string job_line(const std::string& job_id, const std::string& extra = "") {
    return job_json("\"" + json_escape(job_id) + "\"", header_hex(), target_hex(), extra);
}

}  // namespace tovren::qel::test
