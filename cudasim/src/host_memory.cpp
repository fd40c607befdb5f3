#include "host_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace cudasim {
namespace detail {

namespace {
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
constexpr std::size_t kAlignment = 256;
}  // namespace

bool host_allocate(std::size_t size, HostBlock& out) {
    if (size < kMapThreshold) {
        void* p = nullptr;
        if (posix_memalign(&p, kAlignment, size) != 0) {
            return false;
        }
        std::memset(p, kFreshMemoryByte, size);
        out = HostBlock{p, nullptr, 0};
        return true;
    }
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
    const std::size_t pages = (rounded + page - 1) / page * page;
    const std::size_t total = pages + page;
    void* m = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) {
        return false;
    }
    // The buffer ends where the guard page begins, so running off its end faults.
    mprotect(static_cast<char*>(m) + pages, page, PROT_NONE);
    out = HostBlock{static_cast<char*>(m) + (pages - rounded), m, total};
    return true;
}

void host_release(const HostBlock& block) {
    if (block.mapping != nullptr) {
        munmap(block.mapping, block.mapping_size);
    } else {
        std::free(block.ptr);
    }
}

}  // namespace detail
}  // namespace cudasim
