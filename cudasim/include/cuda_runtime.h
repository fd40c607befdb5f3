// The simulated CUDA runtime: the part of the CUDA runtime API that this project uses, with
// the real runtime's names, codes and error texts, backed by simulated devices whose kernels
// run on the CPU. The device-side vocabulary comes with it, as it does with nvcc.
// Configuration and fault injection: cudasim/control.h and cudasim/README.md.
#ifndef CUDASIM_CUDA_RUNTIME_H
#define CUDASIM_CUDA_RUNTIME_H

#include <cstddef>
#include <utility>

#include "cudasim/device_builtins.h"
#include "cudasim/launch.h"
#include "cudasim/vector_types.h"

enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorCudartUnloading = 4,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorDevicesUnavailable = 46,
    cudaErrorInvalidDeviceFunction = 98,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidKernelImage = 200,
    cudaErrorNoKernelImageForDevice = 209,
    cudaErrorECCUncorrectable = 214,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchTimeout = 702,
    cudaErrorAssert = 710,
    cudaErrorHardwareStackError = 714,
    cudaErrorIllegalInstruction = 715,
    cudaErrorMisalignedAddress = 716,
    cudaErrorLaunchFailure = 719,
    cudaErrorNotSupported = 801,
    cudaErrorUnknown = 999,
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

struct CUstream_st;
struct CUevent_st;
typedef struct CUstream_st* cudaStream_t;
typedef struct CUevent_st* cudaEvent_t;

#define cudaStreamLegacy ((cudaStream_t)0x1)
#define cudaStreamPerThread ((cudaStream_t)0x2)
#define cudaStreamDefault 0x00
#define cudaStreamNonBlocking 0x01
#define cudaEventDefault 0x00
#define cudaEventBlockingSync 0x01
#define cudaEventDisableTiming 0x02
#define cudaEventInterprocess 0x04

struct cudaDeviceProp {
    char name[256];
    std::size_t totalGlobalMem;
    std::size_t sharedMemPerBlock;
    int regsPerBlock;
    int warpSize;
    int maxThreadsPerBlock;
    int maxThreadsDim[3];
    int maxGridSize[3];
    int clockRate;
    std::size_t totalConstMem;
    int major;
    int minor;
    int multiProcessorCount;
    int integrated;
    int concurrentKernels;
    int pciBusID;
    int pciDeviceID;
    int pciDomainID;
    int asyncEngineCount;
    int unifiedAddressing;
    int memoryBusWidth;
    int l2CacheSize;
    int maxThreadsPerMultiProcessor;
    std::size_t sharedMemPerMultiprocessor;
    int regsPerMultiprocessor;
};

extern "C" {

const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);
cudaError_t cudaGetLastError(void);
cudaError_t cudaPeekAtLastError(void);

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(struct cudaDeviceProp* prop, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaDeviceSynchronize(void);
cudaError_t cudaMemGetInfo(std::size_t* free, std::size_t* total);

cudaError_t cudaMalloc(void** devPtr, std::size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, enum cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, enum cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemset(void* devPtr, int value, std::size_t count);
cudaError_t cudaMemsetAsync(void* devPtr, int value, std::size_t count,
                            cudaStream_t stream = nullptr);

cudaError_t cudaStreamCreate(cudaStream_t* pStream);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamQuery(cudaStream_t stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);

cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventQuery(cudaEvent_t event);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);

}  // extern "C"

// The C++ conveniences of the real runtime header.

template <class T>
inline cudaError_t cudaMalloc(T** devPtr, std::size_t size) {
    return ::cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
inline cudaError_t cudaEventCreate(cudaEvent_t* event, unsigned int flags) {
    return ::cudaEventCreateWithFlags(event, flags);
}

// Launches kernel (the __global__ function itself) over grid x block threads; args holds the
// address of each argument. The grid has run to completion when this returns.
template <class... P>
inline cudaError_t cudaLaunchKernel(void (*kernel)(P...), dim3 grid, dim3 block, void** args,
                                    std::size_t sharedMem = 0, cudaStream_t stream = nullptr) {
    return static_cast<cudaError_t>(cudasim::detail::launch_kernel(
        kernel, grid, block, args, sharedMem, stream, std::index_sequence_for<P...>{}));
}

#endif
