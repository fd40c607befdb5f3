#include "gpu/kernel_input.h"

#include <cstring>

#include "pow/argon2id.h"
#include "pow/blake2b.h"

namespace tovren::qel {

uint16_t ref_index_table[kRefIndexEntries];
bool ref_index_built = false;

namespace {

constexpr uint64_t kArgon2Type = 2;  // Argon2id
constexpr uint64_t kVersion = 0x13;
constexpr uint64_t kSliceBlocks = kArenaBlocks / 4;
constexpr uint64_t kAddressesPerBlock = kBlockWords;

// 1024-byte working blocks of the address generator; static to keep them off the stack of
// the (main) thread that builds the table once.
Block address_input;
Block address_mid;
Block address_out;
Block zero_block;

uint64_t load_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

uint64_t load_be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return v;
}

void store_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void build_ref_index_table(uint16_t* table) {
    std::memset(table, 0, kRefIndexEntries * sizeof(uint16_t));
    std::memset(&zero_block, 0, sizeof zero_block);
    for (uint64_t slice = 0; slice < 2; ++slice) {
        for (uint64_t counter = 1; counter <= kSliceBlocks / kAddressesPerBlock; ++counter) {
            std::memset(&address_input, 0, sizeof address_input);
            address_input.v[0] = 0;  // pass
            address_input.v[1] = 0;  // lane
            address_input.v[2] = slice;
            address_input.v[3] = kArenaBlocks;
            address_input.v[4] = 1;  // passes
            address_input.v[5] = kArgon2Type;
            address_input.v[6] = counter;
            fill_block(address_mid, zero_block, address_input);
            fill_block(address_out, zero_block, address_mid);
            for (uint64_t k = 0; k < kAddressesPerBlock; ++k) {
                const uint64_t i = kSliceBlocks * slice + kAddressesPerBlock * (counter - 1) + k;
                if (i <= 1)
                    continue;  // blocks 0 and 1 come from H0
                const uint64_t j1 = address_out.v[k] & 0xffffffffu;
                const uint64_t x = (j1 * j1) >> 32;
                const uint64_t y = ((i - 1) * x) >> 32;
                table[i] = static_cast<uint16_t>((i - 2) - y);
            }
        }
    }
}

void build_job(const uint8_t* header, const uint8_t* target, Job& job) {
    // The first 128 bytes of H0's input hold no nonce byte, so their compression is shared
    // by every nonce of the header.
    uint8_t first[128];
    store_le32(first + 0, 1);  // lanes
    store_le32(first + 4, static_cast<uint32_t>(kHashBytes));
    store_le32(first + 8, static_cast<uint32_t>(kArenaBlocks));  // memory in KiB
    store_le32(first + 12, 1);                                   // passes
    store_le32(first + 16, static_cast<uint32_t>(kVersion));
    store_le32(first + 20, static_cast<uint32_t>(kArgon2Type));
    store_le32(first + 24, static_cast<uint32_t>(kHeaderBytes + 8));  // password length
    std::memcpy(first + 28, header, 100);

    Blake2bState state;
    blake2b_init(state, 64);
    state.t0 = 128;
    blake2b_compress(state, first, false);
    for (int i = 0; i < 8; ++i)
        job.midstate[i] = state.h[i];

    job.header_tail[0] = load_le64(header + 100);
    job.header_tail[1] =
        static_cast<uint64_t>(header[108]) | static_cast<uint64_t>(header[109]) << 8 |
        static_cast<uint64_t>(header[110]) << 16 | static_cast<uint64_t>(header[111]) << 24;
    for (int w = 0; w < 4; ++w)
        job.target_words[w] = load_be64(target + 24 - 8 * w);
}

}  // namespace tovren::qel
