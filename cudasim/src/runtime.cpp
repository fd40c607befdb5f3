#include "runtime.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <tuple>

#include "block_pool.h"
#include "text.h"

namespace cudasim {
namespace detail {

Runtime& runtime() {
    // Never destroyed: static destructors elsewhere may still free device memory.
    static Runtime* rt = new Runtime;
    return *rt;
}

int& current_device() {
    static thread_local int device = 0;
    return device;
}

cudaError_t& last_error() {
    static thread_local cudaError_t error = cudaSuccess;
    return error;
}

namespace {

void complain(const char* variable, const std::string& err) {
    std::fprintf(stderr, "cudasim: %s: %s; every CUDA call fails with initialization error\n",
                 variable, err.c_str());
}

void apply_devices(Runtime& rt, const DeviceList& list) {
    rt.devices.clear();
    for (const DeviceSpec& model : list.devices) {
        DeviceState d;
        d.model = model;
        rt.devices.push_back(d);
    }
    rt.no_device_is_error = list.no_device_is_error;
    for (const auto& entry : rt.allocations) {
        if (entry.second.device < static_cast<int>(rt.devices.size())) {
            rt.devices[entry.second.device].used += entry.second.charged;
        }
    }
}

void load_devices(Runtime& rt) {
    const char* text = std::getenv("CUDASIM_DEVICES");
    DeviceList list;
    if (text == nullptr) {
        list.devices.push_back(DeviceSpec{});
    } else {
        std::string err;
        if (!parse_devices(text, list, err)) {
            complain("CUDASIM_DEVICES", err);
            rt.devices_malformed = true;
            list = DeviceList{};
        }
    }
    // The list stands for the runtime's own fastest-first numbering; like the real runtime,
    // CUDA_DEVICE_ORDER=PCI_BUS_ID numbers the devices by bus instead.
    const char* order = std::getenv("CUDA_DEVICE_ORDER");
    if (order != nullptr && std::strcmp(order, "PCI_BUS_ID") == 0) {
        std::stable_sort(
            list.devices.begin(), list.devices.end(), [](const DeviceSpec& a, const DeviceSpec& b) {
                return std::tie(a.pci_bus, a.pci_device) < std::tie(b.pci_bus, b.pci_device);
            });
    }
    apply_devices(rt, list);
}

void load_fail_rules(Runtime& rt) {
    const char* text = std::getenv("CUDASIM_FAIL");
    std::vector<FailRule> rules;
    std::string err;
    if (text != nullptr && !parse_fail_rules(text, rules, err)) {
        complain("CUDASIM_FAIL", err);
        rt.fail_malformed = true;
        rules.clear();
    }
    rt.fail_rules = rules;
    rt.fail_counts.assign(rules.size(), 0);
}

void load_corrupt_rules(Runtime& rt) {
    const char* text = std::getenv("CUDASIM_CORRUPT");
    std::vector<CorruptRule> rules;
    std::string err;
    if (text != nullptr && !parse_corrupt_rules(text, rules, err)) {
        complain("CUDASIM_CORRUPT", err);
        rt.corrupt_malformed = true;
        rules.clear();
    }
    rt.corrupt_rules = rules;
}

void load_threads(Runtime& rt) {
    const char* text = std::getenv("CUDASIM_THREADS");
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    if (text != nullptr) {
        uint64_t n = 0;
        if (parse_uint(trim(text), 1024, n) && n >= 1) {
            threads = static_cast<unsigned>(n);
        } else {
            complain("CUDASIM_THREADS", std::string("\"") + text + "\" is not a number of " +
                                            "threads from 1 to 1024");
            rt.threads_malformed = true;
        }
    }
    BlockPool::instance().set_threads(threads);
}

// A failing test must say how to replay it, so every change to an order other than the
// default is told once; repeated resets that keep it stay quiet.
void apply_order(Runtime& rt, const LaneOrder& order) {
    const bool changed = order.kind != rt.order.kind || order.seed != rt.order.seed;
    rt.order = order;
    if (changed && order.kind != LaneOrder::ascending) {
        const std::string seed =
            order.kind == LaneOrder::random ? " (seed " + std::to_string(order.seed) + ")" : "";
        std::fprintf(stderr,
                     "cudasim: the threads of a block take their turns in %s order%s; replay "
                     "with CUDASIM_ORDER=%s\n",
                     order.kind == LaneOrder::random ? "random" : "descending", seed.c_str(),
                     lane_order_text(order).c_str());
    }
}

void load_order(Runtime& rt) {
    const char* text = std::getenv("CUDASIM_ORDER");
    LaneOrder order;
    std::string err;
    if (text != nullptr && !parse_lane_order(text, order, err)) {
        complain("CUDASIM_ORDER", err);
        rt.order_malformed = true;
        order = LaneOrder{};
    }
    apply_order(rt, order);
}

}  // namespace

void load_environment(Runtime& rt) {
    if (rt.loaded) {
        return;
    }
    rt.loaded = true;
    rt.devices_malformed = rt.fail_malformed = rt.corrupt_malformed = rt.threads_malformed =
        rt.order_malformed = false;
    load_devices(rt);
    load_fail_rules(rt);
    load_corrupt_rules(rt);
    load_threads(rt);
    load_order(rt);
}

void release_everything(Runtime& rt) {
    for (const auto& entry : rt.allocations) {
        host_release(entry.second.backing);
    }
    rt.allocations.clear();
    for (DeviceState& d : rt.devices) {
        d.used = 0;
        d.sticky = cudaSuccess;
    }
    for (CUstream_st* s : rt.streams) {
        delete s;
    }
    rt.streams.clear();
    for (CUevent_st* e : rt.events) {
        delete e;
    }
    rt.events.clear();
}

Call::Call(const char* function, int device_concerned)
    : rt(runtime()), lock(rt.mu), device(device_concerned) {
    load_environment(rt);
    if (rt.devices_malformed || rt.fail_malformed || rt.corrupt_malformed || rt.threads_malformed ||
        rt.order_malformed) {
        entry_error_ = cudaErrorInitializationError;
        return;
    }
    for (size_t i = 0; i < rt.fail_rules.size(); ++i) {
        const FailRule& r = rt.fail_rules[i];
        if (r.function != function || (r.device >= 0 && r.device != device)) {
            continue;
        }
        uint64_t n = ++rt.fail_counts[i];
        if ((n == r.call || (r.and_later && n >= r.call)) && entry_error_ == cudaSuccess) {
            entry_error_ = r.error;
        }
    }
}

cudaError_t Call::device_error(int d) const {
    if (rt.devices.empty()) {
        return cudaErrorNoDevice;
    }
    if (d < 0 || d >= static_cast<int>(rt.devices.size())) {
        return cudaErrorInvalidDevice;
    }
    return rt.devices[d].sticky;
}

cudaError_t Call::checks() const {
    return entry_error_ != cudaSuccess ? entry_error_ : device_error(device);
}

cudaError_t Call::result(cudaError_t error) {
    if (error != cudaSuccess) {
        last_error() = error;
    }
    return error;
}

const AllocationRecord* find_allocation(Runtime& rt, const void* p, std::size_t n) {
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = rt.allocations.upper_bound(a);
    if (it == rt.allocations.begin()) {
        return nullptr;
    }
    --it;
    uintptr_t start = it->first;
    if (a - start > it->second.size || n > it->second.size - (a - start)) {
        return nullptr;
    }
    return &it->second;
}

bool stream_valid(Runtime& rt, cudaStream_t stream, int* device) {
    if (stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread) {
        *device = -1;
        return true;
    }
    if (rt.streams.count(stream) == 0) {
        return false;
    }
    *device = stream->device;
    return true;
}

}  // namespace detail

using detail::BlockPool;
using detail::runtime;
using detail::Runtime;

void reset() {
    Runtime& rt = runtime();
    {
        std::lock_guard<std::mutex> lock(rt.mu);
        detail::release_everything(rt);
        rt.launches = 0;
        rt.loaded = false;
        detail::load_environment(rt);
    }
    detail::current_device() = 0;
    detail::last_error() = cudaSuccess;
}

void set_devices(const DeviceList& devices) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    detail::load_environment(rt);
    rt.devices_malformed = false;
    detail::apply_devices(rt, devices);
}

void set_fail_rules(const std::vector<FailRule>& rules) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    detail::load_environment(rt);
    rt.fail_malformed = false;
    rt.fail_rules = rules;
    rt.fail_counts.assign(rules.size(), 0);
}

void set_corrupt_rules(const std::vector<CorruptRule>& rules) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    detail::load_environment(rt);
    rt.corrupt_malformed = false;
    rt.corrupt_rules = rules;
}

void set_threads(unsigned int threads) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    detail::load_environment(rt);
    rt.threads_malformed = false;
    BlockPool::instance().set_threads(threads);
}

unsigned int threads() {
    return BlockPool::instance().threads();
}

void set_lane_order(const LaneOrder& order) {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    detail::load_environment(rt);
    rt.order_malformed = false;
    detail::apply_order(rt, order);
}

std::vector<Allocation> live_allocations() {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    std::vector<Allocation> out;
    for (const auto& entry : rt.allocations) {
        out.push_back(Allocation{entry.second.device, reinterpret_cast<const void*>(entry.first),
                                 entry.second.size});
    }
    return out;
}

std::size_t live_streams() {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    return rt.streams.size();
}

std::size_t live_events() {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    return rt.events.size();
}

uint64_t launch_count() {
    Runtime& rt = runtime();
    std::lock_guard<std::mutex> lock(rt.mu);
    return rt.launches;
}

}  // namespace cudasim
