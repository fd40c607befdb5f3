// Known-answer self-tests of each GPU and of the CPU hash that re-checks every share.
#pragma once

#include <cstddef>
#include <string>

#include "gpu/gpu_context.h"
#include "self_test_vectors.h"

namespace tovren::qel {

// Hashes the vectors as one list on ctx. reason: "<equal>/<returned>", the context's error
// text, or "bad embedded vector". Passes only when every vector came back equal.
bool gpu_self_test(GpuContext& ctx, std::string& reason,
                   const SelfTestVector* vectors = self_test_vectors,
                   size_t count = kSelfTestVectorCount);

// The same vectors through the CPU hash. reason: "<equal>/<count>" or "bad embedded vector".
bool cpu_self_test(std::string& reason, const SelfTestVector* vectors = self_test_vectors,
                   size_t count = kSelfTestVectorCount);

// cpu_self_test with its console line; the exit code (0 or 1).
int run_cpu_self_test();

}  // namespace tovren::qel
