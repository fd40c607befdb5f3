// What the host prepares for the search kernel ahead of hashing: the reference indices
// of the data-independent half of the pass, and the per-job record the kernel starts from.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tovren::qel {

// Blocks 0..4095 (Argon2 slices 0 and 1) reference blocks that depend on nothing but the
// fixed parameters, so their indices are computed once per process.
constexpr size_t kRefIndexEntries = 4096;

// The kernel's input record; its word order is part of the kernel interface.
struct Job {
    uint64_t midstate[8];      // BLAKE2b-512 chaining value after H0's first 128 bytes
    uint64_t header_tail[2];   // header bytes 100..107 LE; bytes 108..111 LE in the low half
    uint64_t target_words[4];  // the share target as a 256-bit number, least significant first
};
static_assert(sizeof(Job) == 112, "the kernel reads Job as 14 words");
static_assert(offsetof(Job, header_tail) == 64 && offsetof(Job, target_words) == 80,
              "Job word order is part of the kernel interface");

// The process-wide table and its flag. Written only by GpuContext::init on the main thread
// before any worker thread exists, hence no lock.
extern uint16_t ref_index_table[kRefIndexEntries];
extern bool ref_index_built;

// Fills table[0..4095]: entry i (i >= 2) is the absolute index of block i's reference
// block; entries 0 and 1 are 0. Not re-entrant (static working storage).
void build_ref_index_table(uint16_t* table);

// Fills job from a 112-byte header and a 32-byte big-endian target.
void build_job(const uint8_t* header, const uint8_t* target, Job& job);

}  // namespace tovren::qel
