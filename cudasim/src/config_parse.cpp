// The formats of CUDASIM_DEVICES, CUDASIM_FAIL, CUDASIM_CORRUPT and CUDASIM_ORDER
// (cudasim/README.md).
#include <climits>
#include <set>

#include "cudasim/control.h"
#include "runtime.h"
#include "text.h"

namespace cudasim {

namespace detail {

namespace {
const char* const kRuntimeFunctions[] = {
    "cudaGetLastError",
    "cudaPeekAtLastError",
    "cudaGetDeviceCount",
    "cudaGetDeviceProperties",
    "cudaSetDevice",
    "cudaGetDevice",
    "cudaDeviceSynchronize",
    "cudaMemGetInfo",
    "cudaMalloc",
    "cudaFree",
    "cudaMemcpy",
    "cudaMemcpyAsync",
    "cudaMemset",
    "cudaMemsetAsync",
    "cudaStreamCreate",
    "cudaStreamCreateWithFlags",
    "cudaStreamSynchronize",
    "cudaStreamQuery",
    "cudaStreamDestroy",
    "cudaEventCreate",
    "cudaEventCreateWithFlags",
    "cudaEventRecord",
    "cudaEventQuery",
    "cudaEventSynchronize",
    "cudaEventElapsedTime",
    "cudaEventDestroy",
    "cudaLaunchKernel",
};
}  // namespace

bool is_runtime_function(const std::string& name) {
    for (const char* f : kRuntimeFunctions) {
        if (name == f) {
            return true;
        }
    }
    return false;
}

std::string lane_order_text(const LaneOrder& order) {
    switch (order.kind) {
        case LaneOrder::descending:
            return "descending";
        case LaneOrder::random:
            return "random:" + std::to_string(order.seed);
        default:
            return "ascending";
    }
}

}  // namespace detail

using detail::parse_hex;
using detail::parse_size;
using detail::parse_uint;
using detail::split;
using detail::trim;

namespace {

bool parse_device(const std::string& text, int index, DeviceSpec& d, std::string& err) {
    const std::string where = "device " + std::to_string(index) + ": ";
    d = DeviceSpec{};
    d.pci_bus = index + 1;
    bool free_given = false;
    std::set<std::string> seen;
    for (const std::string& raw : split(text, ';')) {
        std::string field = trim(raw);
        if (field.empty()) {
            continue;  // a trailing ';'
        }
        size_t eq = field.find('=');
        if (eq == std::string::npos) {
            err = where + "\"" + field + "\" is not key=value";
            return false;
        }
        std::string key = trim(field.substr(0, eq));
        std::string value = trim(field.substr(eq + 1));
        if (!seen.insert(key).second) {
            err = where + "\"" + key + "\" given twice";
            return false;
        }
        uint64_t n = 0;
        bool ok = true;
        if (key == "name") {
            ok = !value.empty() && value.size() < 256;
            d.name = value;
        } else if (key == "cc") {
            size_t dot = value.find('.');
            uint64_t major = 0;
            uint64_t minor = 0;
            ok = dot != std::string::npos && parse_uint(value.substr(0, dot), 99, major) &&
                 parse_uint(value.substr(dot + 1), 9, minor) && major >= 1;
            d.major = static_cast<int>(major);
            d.minor = static_cast<int>(minor);
        } else if (key == "sm") {
            ok = parse_uint(value, 100000, n) && n >= 1;
            d.sm_count = static_cast<int>(n);
        } else if (key == "mem") {
            ok = parse_size(value, n) && n >= 1;
            d.total_mem = n;
        } else if (key == "free") {
            ok = parse_size(value, n);
            d.free_mem = n;
            free_given = true;
        } else if (key == "l2") {
            ok = parse_size(value, n) && n <= INT_MAX;
            d.l2_bytes = static_cast<int>(n);
        } else if (key == "pci") {
            size_t colon = value.find(':');
            uint64_t bus = 0;
            uint64_t dev = 0;
            ok = colon != std::string::npos && parse_hex(value.substr(0, colon), 0xffff, bus) &&
                 parse_hex(value.substr(colon + 1), 0xff, dev);
            d.pci_bus = static_cast<int>(bus);
            d.pci_device = static_cast<int>(dev);
        } else {
            err = where + "unknown key \"" + key + "\"";
            return false;
        }
        if (!ok) {
            err = where + "bad value \"" + value + "\" for " + key;
            return false;
        }
    }
    if (!free_given) {
        d.free_mem = d.total_mem - d.total_mem / 16;
    }
    if (d.free_mem > d.total_mem) {
        err = where + "free memory exceeds the total";
        return false;
    }
    return true;
}

}  // namespace

bool parse_devices(const std::string& text, DeviceList& out, std::string& err) {
    std::string t = trim(text);
    DeviceList list;
    if (t.empty() || t == "0") {
        out = list;
        return true;
    }
    if (t == "none") {
        list.no_device_is_error = false;
        out = list;
        return true;
    }
    std::vector<std::string> parts = split(t, '|');
    for (size_t i = 0; i < parts.size(); ++i) {
        if (trim(parts[i]).empty()) {
            err = "device " + std::to_string(i) + " is empty";
            return false;
        }
        DeviceSpec d;
        if (!parse_device(parts[i], static_cast<int>(i), d, err)) {
            return false;
        }
        list.devices.push_back(d);
    }
    out = list;
    return true;
}

bool parse_fail_rules(const std::string& text, std::vector<FailRule>& out, std::string& err) {
    std::vector<FailRule> rules;
    if (!trim(text).empty()) {
        for (const std::string& raw : split(text, ',')) {
            std::string rule_text = trim(raw);
            std::vector<std::string> f = split(rule_text, ':');
            if (f.size() != 3) {
                err = "\"" + rule_text + "\" is not function[@device]:call:error";
                return false;
            }
            FailRule r;
            std::string function = trim(f[0]);
            size_t at = function.find('@');
            if (at != std::string::npos) {
                uint64_t dev = 0;
                if (!parse_uint(trim(function.substr(at + 1)), 1023, dev)) {
                    err = "bad device in \"" + rule_text + "\"";
                    return false;
                }
                r.device = static_cast<int>(dev);
                function = trim(function.substr(0, at));
            }
            if (!detail::is_runtime_function(function)) {
                err = "unknown runtime function \"" + function + "\"";
                return false;
            }
            r.function = function;
            std::string call = trim(f[1]);
            if (call == "*") {
                r.call = 1;
                r.and_later = true;
            } else {
                if (!call.empty() && call.back() == '+') {
                    r.and_later = true;
                    call.pop_back();
                }
                if (!parse_uint(call, UINT64_MAX / 2, r.call) || r.call == 0) {
                    err = "bad call number in \"" + rule_text + "\" (1, 2, ..., N+ or *)";
                    return false;
                }
            }
            if (!error_from_name(trim(f[2]), r.error) || r.error == cudaSuccess) {
                err = "bad error \"" + trim(f[2]) + "\" (a cudaError name such as " +
                      "cudaErrorMemoryAllocation, or its number)";
                return false;
            }
            rules.push_back(r);
        }
    }
    out = rules;
    return true;
}

bool parse_corrupt_rules(const std::string& text, std::vector<CorruptRule>& out, std::string& err) {
    std::vector<CorruptRule> rules;
    if (!trim(text).empty()) {
        for (const std::string& raw : split(text, ',')) {
            std::string rule_text = trim(raw);
            CorruptRule r;
            std::string rest = rule_text;
            size_t at = rest.find('@');
            uint64_t n = 0;
            if (at != std::string::npos) {
                if (!parse_uint(trim(rest.substr(at + 1)), 1023, n)) {
                    err = "bad device in \"" + rule_text + "\"";
                    return false;
                }
                r.device = static_cast<int>(n);
                rest = rest.substr(0, at);
            }
            size_t plus = rest.find('+');
            if (plus != std::string::npos) {
                if (!parse_uint(trim(rest.substr(plus + 1)), uint64_t{1} << 40, r.offset)) {
                    err = "bad offset in \"" + rule_text + "\"";
                    return false;
                }
                rest = rest.substr(0, plus);
            }
            if (!parse_uint(trim(rest), 255, n)) {
                err = "\"" + rule_text + "\" is not param[+offset][@device]";
                return false;
            }
            r.param = static_cast<int>(n);
            rules.push_back(r);
        }
    }
    out = rules;
    return true;
}

bool parse_lane_order(const std::string& text, LaneOrder& out, std::string& err) {
    const std::string t = trim(text);
    LaneOrder order;
    const size_t colon = t.find(':');
    const std::string kind = trim(t.substr(0, colon));
    if (kind == "random" && colon != std::string::npos) {
        order.kind = LaneOrder::random;
        if (!parse_uint(trim(t.substr(colon + 1)), UINT64_MAX, order.seed)) {
            err = "bad seed in \"" + t +
                  "\" (random:<seed>, a decimal number from 0 to 18446744073709551615)";
            return false;
        }
    } else if (colon == std::string::npos && (kind == "ascending" || kind == "descending")) {
        order.kind = kind == "ascending" ? LaneOrder::ascending : LaneOrder::descending;
    } else {
        err = "\"" + t + "\" is not ascending, descending or random:<seed>";
        return false;
    }
    out = order;
    return true;
}

}  // namespace cudasim
