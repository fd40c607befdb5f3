#include "verify.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "console.h"
#include "hex.h"
#include "pow/argon2id.h"

namespace tovren::qel {

namespace {

bool expected_matches(const std::string& expected_hex, const std::vector<uint8_t>& hash) {
    uint8_t expected[kHashBytes];
    return expected_hex.size() >= 2 * kHashBytes &&
           hex_to_bytes(expected_hex, expected, kHashBytes) && hash.size() == kHashBytes &&
           std::memcmp(hash.data(), expected, kHashBytes) == 0;
}

}  // namespace

VerifyRecords read_verify_file(const std::string& path) {
    VerifyRecords records;
    std::ifstream in(path);
    for (;;) {
        std::string header_hex;
        uint64_t nonce = 0;
        std::string expected_hex;
        int unused = 0;
        in >> header_hex >> nonce >> expected_hex >> unused;
        if (in.fail()) {
            break;
        }
        std::vector<uint8_t> header(kHeaderBytes, 0);
        if (header_hex.size() < 2 * kHeaderBytes ||
            !hex_to_bytes(header_hex, header.data(), kHeaderBytes)) {
            continue;
        }
        records.headers.push_back(std::move(header));
        records.nonces.push_back(nonce);
        records.expected.push_back(std::move(expected_hex));
    }
    return records;
}

int run_verify_mode(const std::string& path, const GpuDeviceList& devices) {
    const VerifyRecords records = read_verify_file(path);
    const size_t count = records.headers.size();
    bool all_ok = count > 0;

    for (const std::unique_ptr<GpuDevice>& device : devices) {
        // A context may hold fewer arena slices than a full batch; its own size is the
        // most it can hash at once, so it is verified in smaller lists rather than failed.
        const size_t batch =
            std::min(kVerifyBatch, static_cast<size_t>(std::max(device->ctx->slots, 1)));
        size_t matched = 0;
        size_t total = 0;
        for (size_t pos = 0; pos < count; pos += batch) {
            const size_t end = std::min(pos + batch, count);
            const std::vector<std::vector<uint8_t>> headers(records.headers.begin() + pos,
                                                            records.headers.begin() + end);
            const std::vector<uint64_t> nonces(records.nonces.begin() + pos,
                                               records.nonces.begin() + end);
            std::vector<std::vector<uint8_t>> hashes;
            std::string err;
            if (!device->ctx->hash_list(headers, nonces, hashes, err)) {
                log_line(color_red, "check", err);
                return 1;
            }
            // Every record of the batch counts, so a short answer can never pass.
            for (size_t k = 0; k < hashes.size() && pos + k < end; ++k) {
                if (expected_matches(records.expected[pos + k], hashes[k])) {
                    ++matched;
                }
            }
            total += end - pos;
        }
        const bool passed = total > 0 && matched == total;
        log_line(passed ? color_green : color_red, "check",
                 "GPU" + std::to_string(device->ordinal) + " verify " + std::to_string(matched) +
                     "/" + std::to_string(total) + (passed ? " OK" : " FAILED"));
        if (matched != total) {
            all_ok = false;
        }
    }
    return all_ok ? 0 : 1;
}

}  // namespace tovren::qel
