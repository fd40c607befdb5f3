// A small kernel that both builds compile (nvcc for the GPU, the host compiler against the
// simulator): per-block sums of a vector through warp shuffles, shared memory, a block
// barrier and a device-wide atomic.
#ifndef TESTS_CUDASIM_SAMPLE_KERNEL_H
#define TESTS_CUDASIM_SAMPLE_KERNEL_H

#include <cstdint>
#include <string>
#include <vector>

namespace tovren {
namespace qel {

constexpr int kSampleThreads = 64;

// sums[b] = the sum of values[b * 64 .. b * 64 + 63], total = the sum of everything; the
// length of values must be a non-zero multiple of 64.
bool sample_block_sums(const std::vector<uint64_t>& values, std::vector<uint64_t>& sums,
                       uint64_t& total, std::string& err);

}  // namespace qel
}  // namespace tovren

#endif
