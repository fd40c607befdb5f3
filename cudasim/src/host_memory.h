// The host memory behind simulated device memory. Small buffers come from the heap (so
// AddressSanitizer guards them) and start out filled with a pattern, as device memory is
// not cleared; large ones are mapped without reserving RAM, so a device of many GiB costs
// nothing until its memory is touched, and end at an inaccessible page.
#ifndef CUDASIM_SRC_HOST_MEMORY_H
#define CUDASIM_SRC_HOST_MEMORY_H

#include <cstddef>

namespace cudasim {
namespace detail {

struct HostBlock {
    void* ptr = nullptr;  // 256-byte aligned
    void* mapping = nullptr;
    std::size_t mapping_size = 0;
};

constexpr unsigned char kFreshMemoryByte = 0xa5;

bool host_allocate(std::size_t size, HostBlock& out);
void host_release(const HostBlock& block);

}  // namespace detail
}  // namespace cudasim

#endif
