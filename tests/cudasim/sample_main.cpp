// The sample kernel as a program, so that both builds produce an executable that runs it:
// on the simulator it must print the right sums; on a machine without a GPU the real one
// reports the runtime's error.
#include <cstdio>
#include <string>
#include <vector>

#include "sample_kernel.h"

int main() {
    const size_t blocks = 300;
    std::vector<uint64_t> values(blocks * tovren::qel::kSampleThreads);
    uint64_t expected = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = i * 0x9e3779b97f4a7c15ull;
        expected += values[i];
    }
    std::vector<uint64_t> sums;
    uint64_t total = 0;
    std::string err;
    if (!tovren::qel::sample_block_sums(values, sums, total, err)) {
        std::printf("sample kernel failed: %s\n", err.c_str());
        return 1;
    }
    if (total != expected || sums.size() != blocks) {
        std::printf("sample kernel: wrong total %llu, expected %llu\n",
                    static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(expected));
        return 1;
    }
    std::printf("sample kernel: %zu blocks, total %llu\n", blocks,
                static_cast<unsigned long long>(total));
    return 0;
}
