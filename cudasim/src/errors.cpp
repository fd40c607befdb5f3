// Error names and texts, worded as the real runtime words them.
#include <cstdlib>
#include <string>

#include "cudasim/control.h"

namespace {

struct ErrorText {
    cudaError_t code;
    const char* name;
    const char* text;
};

#define CUDASIM_ERROR(code, text) \
    { code, #code, text }
const ErrorText kErrors[] = {
    CUDASIM_ERROR(cudaSuccess, "no error"),
    CUDASIM_ERROR(cudaErrorInvalidValue, "invalid argument"),
    CUDASIM_ERROR(cudaErrorMemoryAllocation, "out of memory"),
    CUDASIM_ERROR(cudaErrorInitializationError, "initialization error"),
    CUDASIM_ERROR(cudaErrorCudartUnloading, "driver shutting down"),
    CUDASIM_ERROR(cudaErrorInvalidConfiguration, "invalid configuration argument"),
    CUDASIM_ERROR(cudaErrorInvalidMemcpyDirection, "invalid copy direction for memcpy"),
    CUDASIM_ERROR(cudaErrorInsufficientDriver,
                  "CUDA driver version is insufficient for CUDA runtime version"),
    CUDASIM_ERROR(cudaErrorDevicesUnavailable, "CUDA-capable device(s) is/are busy or unavailable"),
    CUDASIM_ERROR(cudaErrorInvalidDeviceFunction, "invalid device function"),
    CUDASIM_ERROR(cudaErrorNoDevice, "no CUDA-capable device is detected"),
    CUDASIM_ERROR(cudaErrorInvalidDevice, "invalid device ordinal"),
    CUDASIM_ERROR(cudaErrorInvalidKernelImage, "device kernel image is invalid"),
    CUDASIM_ERROR(cudaErrorNoKernelImageForDevice,
                  "no kernel image is available for execution on the device"),
    CUDASIM_ERROR(cudaErrorECCUncorrectable, "uncorrectable ECC error encountered"),
    CUDASIM_ERROR(cudaErrorInvalidResourceHandle, "invalid resource handle"),
    CUDASIM_ERROR(cudaErrorNotReady, "device not ready"),
    CUDASIM_ERROR(cudaErrorIllegalAddress, "an illegal memory access was encountered"),
    CUDASIM_ERROR(cudaErrorLaunchOutOfResources, "too many resources requested for launch"),
    CUDASIM_ERROR(cudaErrorLaunchTimeout, "the launch timed out and was terminated"),
    CUDASIM_ERROR(cudaErrorAssert, "device-side assert triggered"),
    CUDASIM_ERROR(cudaErrorHardwareStackError, "hardware stack error"),
    CUDASIM_ERROR(cudaErrorIllegalInstruction, "an illegal instruction was encountered"),
    CUDASIM_ERROR(cudaErrorMisalignedAddress, "misaligned address"),
    CUDASIM_ERROR(cudaErrorLaunchFailure, "unspecified launch failure"),
    CUDASIM_ERROR(cudaErrorNotSupported, "operation not supported"),
    CUDASIM_ERROR(cudaErrorUnknown, "unknown error"),
};
#undef CUDASIM_ERROR

const ErrorText* find(cudaError_t code) {
    for (const ErrorText& e : kErrors) {
        if (e.code == code) {
            return &e;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" const char* cudaGetErrorString(cudaError_t error) {
    const ErrorText* e = find(error);
    return e != nullptr ? e->text : "unrecognized error code";
}

extern "C" const char* cudaGetErrorName(cudaError_t error) {
    const ErrorText* e = find(error);
    return e != nullptr ? e->name : "cudaErrorUnknown";
}

namespace cudasim {

bool error_from_name(const std::string& name, cudaError_t& out) {
    for (const ErrorText& e : kErrors) {
        if (name == e.name) {
            out = e.code;
            return true;
        }
    }
    if (name.empty() || name.size() > 6 ||
        name.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    out = static_cast<cudaError_t>(std::atoi(name.c_str()));
    return true;
}

}  // namespace cudasim
