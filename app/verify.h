// Verify mode: every selected GPU hashes the records of a test-vector file and must
// reproduce each expected hash.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gpu_device.h"

namespace tovren::qel {

// Records per list hashing; a smaller context gets batches of its own size.
constexpr size_t kVerifyBatch = 32;

struct VerifyRecords {
    std::vector<std::vector<uint8_t>> headers;  // 112 bytes each
    std::vector<uint64_t> nonces;
    std::vector<std::string> expected;  // hex text; only its first 64 digits count
};

// Records of "<header hex> <nonce> <expected hex> <int>" separated by any white space.
// Reading stops at the first record that cannot be read whole; a record whose header does
// not decode is skipped. A file that cannot be opened gives no records.
VerifyRecords read_verify_file(const std::string& path);

// Checks every GPU of devices against the file and prints one line per GPU. Returns the
// exit code: 0 when every GPU matched every record, else 1.
int run_verify_mode(const std::string& path, const GpuDeviceList& devices);

}  // namespace tovren::qel
