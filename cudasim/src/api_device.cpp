// Devices, errors and device-wide synchronisation.
#include <algorithm>
#include <cstring>

#include "runtime.h"

using cudasim::detail::Call;
using cudasim::detail::current_device;
using cudasim::detail::last_error;

extern "C" cudaError_t cudaGetLastError(void) {
    Call c("cudaGetLastError");
    if (c.entry_error() != cudaSuccess) {
        return c.entry_error();
    }
    cudaError_t sticky = c.device_error(c.device);
    if (sticky != cudaSuccess && sticky != cudaErrorNoDevice && sticky != cudaErrorInvalidDevice) {
        return sticky;
    }
    cudaError_t e = last_error();
    last_error() = cudaSuccess;
    return e;
}

extern "C" cudaError_t cudaPeekAtLastError(void) {
    Call c("cudaPeekAtLastError");
    if (c.entry_error() != cudaSuccess) {
        return c.entry_error();
    }
    cudaError_t sticky = c.device_error(c.device);
    if (sticky != cudaSuccess && sticky != cudaErrorNoDevice && sticky != cudaErrorInvalidDevice) {
        return sticky;
    }
    return last_error();
}

extern "C" cudaError_t cudaGetDeviceCount(int* count) {
    Call c("cudaGetDeviceCount");
    if (c.entry_error() != cudaSuccess) {
        return Call::result(c.entry_error());
    }
    if (count == nullptr) {
        return Call::result(cudaErrorInvalidValue);
    }
    *count = static_cast<int>(c.rt.devices.size());
    if (c.rt.devices.empty() && c.rt.no_device_is_error) {
        return Call::result(cudaErrorNoDevice);
    }
    return cudaSuccess;
}

extern "C" cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
    Call c("cudaGetDeviceProperties", device);
    if (c.entry_error() != cudaSuccess) {
        return Call::result(c.entry_error());
    }
    if (prop == nullptr) {
        return Call::result(cudaErrorInvalidValue);
    }
    cudaError_t e = c.device_error(device);
    if (e == cudaErrorNoDevice || e == cudaErrorInvalidDevice) {
        return Call::result(e);
    }
    const cudasim::DeviceSpec& d = c.rt.devices[device].model;
    std::memset(prop, 0, sizeof *prop);
    std::strncpy(prop->name, d.name.c_str(), sizeof prop->name - 1);
    prop->totalGlobalMem = d.total_mem;
    prop->sharedMemPerBlock = 48 * 1024;
    prop->regsPerBlock = 65536;
    prop->warpSize = 32;
    prop->maxThreadsPerBlock = 1024;
    prop->maxThreadsDim[0] = 1024;
    prop->maxThreadsDim[1] = 1024;
    prop->maxThreadsDim[2] = 64;
    prop->maxGridSize[0] = 0x7fffffff;
    prop->maxGridSize[1] = 65535;
    prop->maxGridSize[2] = 65535;
    prop->clockRate = 1700000;
    prop->totalConstMem = 64 * 1024;
    prop->major = d.major;
    prop->minor = d.minor;
    prop->multiProcessorCount = d.sm_count;
    prop->concurrentKernels = 1;
    prop->pciBusID = d.pci_bus;
    prop->pciDeviceID = d.pci_device;
    prop->asyncEngineCount = 2;
    prop->unifiedAddressing = 1;
    prop->memoryBusWidth = 256;
    prop->l2CacheSize = d.l2_bytes;
    prop->maxThreadsPerMultiProcessor = 1536;
    prop->sharedMemPerMultiprocessor = 100 * 1024;
    prop->regsPerMultiprocessor = 65536;
    return cudaSuccess;
}

extern "C" cudaError_t cudaSetDevice(int device) {
    Call c("cudaSetDevice", device);
    if (c.entry_error() != cudaSuccess) {
        return Call::result(c.entry_error());
    }
    cudaError_t e = c.device_error(device);
    if (e == cudaErrorNoDevice || e == cudaErrorInvalidDevice) {
        return Call::result(e);
    }
    current_device() = device;
    return cudaSuccess;
}

extern "C" cudaError_t cudaGetDevice(int* device) {
    Call c("cudaGetDevice");
    if (c.entry_error() != cudaSuccess) {
        return Call::result(c.entry_error());
    }
    if (device == nullptr) {
        return Call::result(cudaErrorInvalidValue);
    }
    if (c.rt.devices.empty()) {
        return Call::result(cudaErrorNoDevice);
    }
    *device = current_device();
    return cudaSuccess;
}

// Work runs when it is issued, so there is never anything to wait for; only a fault of
// an earlier kernel can be reported.
extern "C" cudaError_t cudaDeviceSynchronize(void) {
    Call c("cudaDeviceSynchronize");
    return Call::result(c.checks());
}

extern "C" cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total) {
    Call c("cudaMemGetInfo");
    cudaError_t e = c.checks();
    if (e != cudaSuccess) {
        return Call::result(e);
    }
    if (free == nullptr || total == nullptr) {
        return Call::result(cudaErrorInvalidValue);
    }
    const cudasim::detail::DeviceState& d = c.rt.devices[c.device];
    *free = d.model.free_mem - std::min(d.used, d.model.free_mem);
    *total = d.model.total_mem;
    return cudaSuccess;
}
