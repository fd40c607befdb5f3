#include <cuda_runtime.h>

#include "sample_kernel.h"

namespace tovren {
namespace qelg {
namespace {

__global__ void __launch_bounds__(64)
    k_block_sums(const uint64_t* __restrict__ values, uint64_t* __restrict__ sums,
                 unsigned long long* total) {
    __shared__ uint64_t warp_sums[2];
    const unsigned t = threadIdx.x;
    uint64_t v = __ldg(values + blockIdx.x * 64 + t);
#pragma unroll
    for (int d = 16; d > 0; d >>= 1) {
        v += __shfl_xor_sync(0xffffffffu, v, d);
    }
    if ((t & 31) == 0) {
        warp_sums[t >> 5] = v;
    }
    __syncthreads();
    if (t < 32) {
        uint64_t w = t < 2 ? warp_sums[t] : 0;
        w += __shfl_down_sync(0xffffffffu, w, 1);
        if (t == 0) {
            sums[blockIdx.x] = w;
            atomicAdd(total, static_cast<unsigned long long>(w));
        }
    }
}

}  // namespace
}  // namespace qelg

namespace qel {

namespace {
std::string cuda_text(const char* what, cudaError_t e) {
    return std::string(what) + ": " + cudaGetErrorString(e);
}
}  // namespace

bool sample_block_sums(const std::vector<uint64_t>& values, std::vector<uint64_t>& sums,
                       uint64_t& total, std::string& err) {
    if (values.empty() || values.size() % kSampleThreads != 0) {
        err = "bad size";
        return false;
    }
    const size_t blocks = values.size() / kSampleThreads;
    uint64_t* d_values = nullptr;
    uint64_t* d_sums = nullptr;
    unsigned long long* d_total = nullptr;
    cudaError_t e = cudaMalloc(&d_values, values.size() * sizeof(uint64_t));
    if (e == cudaSuccess) {
        e = cudaMalloc(&d_sums, blocks * sizeof(uint64_t));
    }
    if (e == cudaSuccess) {
        e = cudaMalloc(&d_total, sizeof(unsigned long long));
    }
    if (e != cudaSuccess) {
        err = cuda_text("alloc", e);
    } else if ((e = cudaMemcpy(d_values, values.data(), values.size() * sizeof(uint64_t),
                               cudaMemcpyHostToDevice)) != cudaSuccess ||
               (e = cudaMemset(d_total, 0, sizeof(unsigned long long))) != cudaSuccess) {
        err = cuda_text("copy", e);
    } else {
        const uint64_t* in = d_values;
        void* args[] = {&in, &d_sums, &d_total};
        cudaLaunchKernel(qelg::k_block_sums, dim3(static_cast<unsigned>(blocks)),
                         dim3(kSampleThreads), args, 0, nullptr);
        if ((e = cudaGetLastError()) != cudaSuccess) {
            err = cuda_text("kernel launch", e);
        } else if ((e = cudaDeviceSynchronize()) != cudaSuccess) {
            err = cuda_text("kernel", e);
        } else {
            std::vector<uint64_t> out(blocks);
            unsigned long long sum = 0;
            if ((e = cudaMemcpy(out.data(), d_sums, blocks * sizeof(uint64_t),
                                cudaMemcpyDeviceToHost)) != cudaSuccess ||
                (e = cudaMemcpy(&sum, d_total, sizeof sum, cudaMemcpyDeviceToHost)) !=
                    cudaSuccess) {
                err = cuda_text("copy", e);
            } else {
                sums.swap(out);
                total = sum;
            }
        }
    }
    cudaFree(d_values);
    cudaFree(d_sums);
    cudaFree(d_total);
    return e == cudaSuccess;
}

}  // namespace qel
}  // namespace tovren
