#include "gpu/gpu_info.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace tovren::qel {

std::string cuda_error(const char* what, cudaError_t code) {
    const char* text = cudaGetErrorString(code);
    std::string s(what);
    s += ": ";
    s += text;
    return s;
}

std::vector<GpuInfo> enumerate_gpus(std::string& err) {
    std::vector<GpuInfo> list;
    int count = 0;
    cudaError_t rc = cudaGetDeviceCount(&count);
    if (rc != cudaSuccess) {
        err = cuda_error("CUDA", rc);
        return list;
    }
    for (int i = 0; i < count; ++i) {
        cudaDeviceProp prop{};
        if (cudaGetDeviceProperties(&prop, i) != cudaSuccess)
            continue;
        GpuInfo info;
        info.ordinal = i;
        info.name.assign(prop.name, strnlen(prop.name, sizeof prop.name));
        char bus[32];
        std::snprintf(bus, sizeof bus, "%02x:%02x.0", static_cast<unsigned>(prop.pciBusID),
                      static_cast<unsigned>(prop.pciDeviceID));
        info.pci_bus_id = bus;
        info.cc_major = prop.major;
        info.cc_minor = prop.minor;
        info.sm_count = prop.multiProcessorCount;
        info.l2_cache_bytes = static_cast<int64_t>(prop.l2CacheSize);
        info.total_mem = static_cast<uint64_t>(prop.totalGlobalMem);
        info.free_mem = 0;
        cudaSetDevice(i);
        size_t free_bytes = 0;
        size_t total_bytes = 0;
        if (cudaMemGetInfo(&free_bytes, &total_bytes) == cudaSuccess) {
            info.free_mem = static_cast<uint64_t>(free_bytes);
        }
        list.push_back(std::move(info));
    }
    return list;
}

}  // namespace tovren::qel
