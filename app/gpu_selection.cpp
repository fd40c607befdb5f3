#include "gpu_selection.h"

#include <algorithm>
#include <climits>

#include "console.h"
#include "self_test.h"

namespace tovren::qel {

namespace {

const GpuInfo* find_gpu(const std::vector<GpuInfo>& gpus, int ordinal) {
    for (const GpuInfo& gpu : gpus) {
        if (gpu.ordinal == ordinal) {
            return &gpu;
        }
    }
    return nullptr;
}

std::unique_ptr<GpuDevice> make_device(const GpuInfo& info) {
    auto device = std::make_unique<GpuDevice>();
    device->ordinal = info.ordinal;
    device->name = info.name;
    device->pci_bus_id = info.pci_bus_id;
    device->cc_major = info.cc_major;
    device->cc_minor = info.cc_minor;
    device->sm_count = info.sm_count;
    device->l2_cache_bytes = info.l2_cache_bytes;
    device->total_mem = info.total_mem;
    device->free_mem = info.free_mem;
    return device;
}

std::string description_line(const GpuDevice& device, const std::string& self_test) {
    return "GPU" + std::to_string(device.ordinal) + " " + device.name + " \u00b7 " +
           std::to_string(device.sm_count) + " SM \u00b7 L2 " +
           std::to_string(device.l2_cache_bytes >> 20) + " MB \u00b7 " +
           std::to_string(device.total_mem >> 20) + " MB \u00b7 bus " + device.pci_bus_id +
           " \u00b7 self-test " + self_test + " OK";
}

// Sizing, context and self-test of one GPU; prints its line. Returns the exit code.
int open_gpu(const GpuInfo& info, int hashes_option, GpuDeviceList& devices) {
    std::unique_ptr<GpuDevice> device = make_device(info);
    const std::string id = std::to_string(device->ordinal);
    const std::string who = "GPU" + id + " " + device->name + ": ";

    int n = 0;
    if (!sizing_hashes(device->free_mem, device->sm_count, hashes_option, n)) {
        log_line(
            color_red, "gpu  ",
            "GPU" + id + ": not enough memory for " + std::to_string(hashes_option) + " hashes");
        return 1;
    }
    device->ctx = std::make_unique<GpuContext>();
    if (n < 1) {
        log_line(color_red, "gpu  ", who + "not enough memory");
        return 1;
    }
    std::string err;
    if (!device->ctx->init(device->ordinal, std::max(n, kMinContextSlots), err)) {
        log_line(color_red, "gpu  ", who + err);
        return 1;
    }

    std::string reason;
    if (!gpu_self_test(*device->ctx, reason)) {
        log_line(color_red, "check", who + "self-test FAILED (" + reason + "), not mining");
        return 1;
    }
    log_line(color_grey, "gpu  ", description_line(*device, reason));
    devices.push_back(std::move(device));
    return 0;
}

}  // namespace

std::vector<int> select_device_ids(const std::string& list, const std::vector<GpuInfo>& gpus) {
    std::vector<int> ids;
    if (list.empty()) {
        for (const GpuInfo& gpu : gpus) {
            ids.push_back(gpu.ordinal);
        }
        return ids;
    }
    size_t begin = 0;
    while (begin < list.size()) {
        size_t comma = list.find(',', begin);
        if (comma == std::string::npos) {
            comma = list.size();
        }
        const int id = option_int(list.substr(begin, comma - begin));
        if (find_gpu(gpus, id) != nullptr) {
            ids.push_back(id);
        }
        begin = comma + 1;
    }
    return ids;
}

uint64_t slot_capacity(uint64_t free_mem) {
    return free_mem > kMemoryReserve ? (free_mem - kMemoryReserve) >> kArenaSliceShift : 0;
}

bool sizing_hashes(uint64_t free_mem, int sm_count, int hashes_option, int& n) {
    const uint64_t cap = slot_capacity(free_mem);
    if (hashes_option > 0) {
        if (static_cast<uint64_t>(hashes_option) > cap) {
            return false;
        }
        n = hashes_option;
        return true;
    }
    const double wanted = sm_count * kDefaultHashesPerSm + 0.5;
    const int by_sm = wanted >= INT_MAX ? INT_MAX : static_cast<int>(wanted);
    n = cap < static_cast<uint64_t>(std::max(by_sm, 0)) ? static_cast<int>(cap) : by_sm;
    return true;
}

int open_gpus(const Settings& settings, GpuDeviceList& devices) {
    std::string err;
    const std::vector<GpuInfo> gpus = enumerate_gpus(err);
    if (gpus.empty()) {
        log_line(
            color_red, "gpu  ",
            err.empty() ? std::string("no NVIDIA GPU found") : "no NVIDIA GPU found (" + err + ")");
        return 1;
    }
    const std::vector<int> ids = select_device_ids(settings.devices, gpus);
    if (ids.empty()) {
        log_line(color_red, "gpu  ", "no usable GPU in --devices " + settings.devices);
        return 2;
    }
    for (int id : ids) {
        const int code = open_gpu(*find_gpu(gpus, id), settings.hashes, devices);
        if (code != 0) {
            return code;
        }
    }
    return 0;
}

}  // namespace tovren::qel
