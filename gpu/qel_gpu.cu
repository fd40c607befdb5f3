// The search kernel k_qel and the GpuContext code that launches it.
//
// One CUDA block of 32 threads computes one Argon2id hash at a time in its own 8 MiB slice
// of the arena. The kernel is bound by memory bandwidth (every block is written once and
// read about once: ~16 MiB per hash), so the rest is arranged to hide behind that:
//
// * Block layout. Lane t holds four words of a block, one per register i = 0..3, with
//   register i of all 32 lanes covering words 32i..32i+31: every load and store of a block
//   moves 256 contiguous bytes per instruction. Which word of those 32 a lane holds is the
//   "column-diagonal" layout (below), so that the last step of G ends where the next one
//   starts and nothing has to be moved back.
// * G runs its four half-rounds (rows, row diagonals, columns, column diagonals) each with
//   the quadruple of its BlaMka GB in one lane's four registers. Between two of them the
//   words change lanes by warp shuffles, thirteen per block (blamka_lanes.cuh), with
//   compile-time register indices only.
// * The previous block stays in registers. The reference block of the next step is
//   loaded ahead: from ref_index in slices 0 and 1 (at the start of the step before), and
//   in slices 2 and 3 as soon as word 0 of the new block is known, broadcast from lane 0
//   before the block is stored.
// * BLAKE2b (H0, the two H' chains of blocks 0 and 1, the tag) runs on groups of four
//   lanes, one G column each, exchanging through shared memory for the diagonals; the two
//   H' chains run side by side on lanes 0-3 and 4-7.
// No local memory anywhere: registers are indexed only by compile-time constants.

#include <cuda_runtime.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "blake2b_lanes.cuh"
#include "blamka_lanes.cuh"
#include "gpu/gpu_context.h"
#include "gpu/gpu_info.h"
#include "gpu/kernel_input.h"
#include "pow/argon2id.h"

namespace tovren::qelg {
namespace {

struct Job {
    uint64_t midstate[8];
    uint64_t header_tail[2];
    uint64_t target_words[4];
};

// The hash is stored as four little-endian words, i.e. the 32 hash bytes in output order.
struct DHit {
    uint64_t nonce;
    uint64_t hash[4];
};

static_assert(sizeof(Job) == sizeof(qel::Job), "Job layout differs from the host's");
static_assert(offsetof(Job, midstate) == offsetof(qel::Job, midstate) &&
                  offsetof(Job, header_tail) == offsetof(qel::Job, header_tail) &&
                  offsetof(Job, target_words) == offsetof(qel::Job, target_words),
              "Job layout differs from the host's");
static_assert(sizeof(DHit) == sizeof(qel::DHit), "DHit layout differs from the host's");
static_assert(offsetof(DHit, nonce) == offsetof(qel::DHit, nonce) &&
                  offsetof(DHit, hash) == offsetof(qel::DHit, hash),
              "DHit layout differs from the host's");

constexpr int kModeRange = 0;
constexpr int kBlockWords = 128;
constexpr int kBlocks = 8192;
constexpr int kFirstDataDependent = 4096;  // first block of Argon2 slice 2
constexpr uint64_t kSliceWords = uint64_t{1} << 20;
constexpr unsigned kFullMask = 0xffffffffu;
constexpr unsigned kHprimeMask = 0x000000ffu;  // lanes 0-3: block 0, lanes 4-7: block 1
constexpr unsigned kTagMask = 0x0000000fu;

// The 16 salt bytes as two little-endian words, taken from the CPU hash's constant.
constexpr uint64_t salt_word(int w) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<uint8_t>(qel::kPowSalt[8 * w + i]);
    return v;
}
constexpr uint64_t kSalt0 = salt_word(0);
constexpr uint64_t kSalt1 = salt_word(1);
static_assert(qel::kPowSaltBytes == 16, "the salt fills two message words");

// ---------------------------------------------------------------------------------------
// One hash.

// Shared memory, for the BLAKE2b phases only (G moves its words by shuffles): the last
// block for the tag in the first 128 words, the groups' scratch after it.
constexpr int kGroupScratchWords = 48;  // msg 16, xch 24, H0 stash 8
constexpr int kSharedWords = 128 + 2 * kGroupScratchWords;

__device__ __forceinline__ Blake2bScratch group_scratch(uint64_t* smem, uint32_t group) {
    uint64_t* base = smem + 128 + kGroupScratchWords * group;
    return Blake2bScratch{base, base + 16};
}

// Hashes job with nonce in the block's slice. Lane j < 4 returns word j of the 32-byte tag
// (little-endian); the other lanes return 0.
__device__ __forceinline__ uint64_t hash_one(uint64_t* slice, const uint16_t* ref_index,
                                             const Job* job, uint64_t nonce, uint64_t* smem,
                                             const uint32_t (&lane_words)[4],
                                             const ShuffleLanes& sl, uint32_t lane) {
    // H0 and the two H' chains: lanes 0-3 make block 0, lanes 4-7 block 1. Both groups
    // compute H0, which costs nothing extra and saves handing it over.
    if (lane < 8) {
        const uint32_t group = lane >> 2;
        const uint32_t j = lane & 3;
        const Blake2bScratch s = group_scratch(smem, group);
        uint64_t* stash = s.xch + 24;

        const uint64_t m0 = job->header_tail[0];
        const uint64_t m1 = (job->header_tail[1] & 0xffffffffull) | (nonce << 32);
        const uint64_t m2 = (nonce >> 32) | (uint64_t{16} << 32);  // salt length
        s.msg[j] = pick4(j, m0, m1, m2, kSalt0);
        s.msg[j + 4] = j == 0 ? kSalt1 : 0;  // then the two empty lengths
        s.msg[j + 8] = 0;
        s.msg[j + 12] = 0;
        uint64_t h_lo = job->midstate[j];
        uint64_t h_hi = job->midstate[j + 4];
        __syncwarp(kHprimeMask);
        blake2b_compress4(h_lo, h_hi, s, j, 176, true, kHprimeMask);

        // V1 = BLAKE2b-512(LE32(1024) || H0 || LE32(group) || LE32(0)): 76 bytes, so every
        // message word straddles two H0 words.
        stash[j] = h_lo;
        stash[j + 4] = h_hi;
        __syncwarp(kHprimeMask);
        s.msg[j] = j == 0 ? (1024 | (stash[0] << 32)) : ((stash[j - 1] >> 32) | (stash[j] << 32));
        s.msg[j + 4] = (stash[j + 3] >> 32) | (stash[j + 4] << 32);
        s.msg[j + 8] = j == 0 ? ((stash[7] >> 32) | (static_cast<uint64_t>(group) << 32)) : 0;
        s.msg[j + 12] = 0;
        __syncwarp(kHprimeMask);
        h_lo = pick4(j, IV0 ^ param_word(64), IV1, IV2, IV3);
        h_hi = pick4(j, IV4, IV5, IV6, IV7);
        blake2b_compress4(h_lo, h_hi, s, j, 76, true, kHprimeMask);

        uint64_t* out = slice + kBlockWords * group;
        out[j] = h_lo;
        // V2..V31, each the 64-byte digest of the one before; the first half of each goes
        // out, and all of V31.
        for (int v = 2; v <= 31; ++v) {
            s.msg[j] = h_lo;
            s.msg[j + 4] = h_hi;
            s.msg[j + 8] = 0;
            s.msg[j + 12] = 0;
            __syncwarp(kHprimeMask);
            h_lo = pick4(j, IV0 ^ param_word(64), IV1, IV2, IV3);
            h_hi = pick4(j, IV4, IV5, IV6, IV7);
            blake2b_compress4(h_lo, h_hi, s, j, 64, true, kHprimeMask);
            out[4 * (v - 1) + j] = h_lo;
        }
        out[124 + j] = h_hi;
    }
    __syncwarp(kFullMask);

    // Blocks 2..8191.
    uint64_t x[4];
    uint64_t y[4];
    load_block(x, slice + kBlockWords, lane_words);
    load_block(y, slice, lane_words);  // block 2 references block 0
    uint32_t next_ref = ref_index[3];
    for (uint32_t c = 2; c < kBlocks; ++c) {
        uint64_t r[4];
        uint64_t w[4];
        QEL_UNROLL
        for (int i = 0; i < 4; ++i) {
            r[i] = x[i] ^ y[i];
            w[i] = r[i];
        }
        const bool next_from_table = c + 1 < kFirstDataDependent;
        if (next_from_table) {
            load_block(y, slice + kBlockWords * next_ref, lane_words);
            if (c + 2 < kFirstDataDependent)
                next_ref = ref_index[c + 2];
        }
        blamka_round(w, sl);
        QEL_UNROLL
        for (int i = 0; i < 4; ++i)
            x[i] = w[i] ^ r[i];
        if (!next_from_table && c + 1 < kBlocks) {
            // Word 0 of the new block is lane 0's register 0; the next reference is
            // fetched before the block itself is stored.
            const uint64_t word0 = __shfl_sync(kFullMask, x[0], 0);
            load_block(y, slice + kBlockWords * data_dependent_ref(c + 1, word0), lane_words);
        }
        store_block(slice + kBlockWords * c, x, lane_words);
    }

    // Tag: BLAKE2b-256 over LE32(32) || block 8191, 1028 bytes in nine compressions. The
    // 4-byte prefix shifts every message word across two block words.
    uint64_t* last = smem;
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        last[lane_words[i]] = x[i];
    __syncwarp(kFullMask);
    uint64_t tag = 0;
    if (lane < 4) {
        const uint32_t j = lane;
        const Blake2bScratch s = group_scratch(smem, 0);
        uint64_t h_lo = pick4(j, IV0 ^ param_word(32), IV1, IV2, IV3);
        uint64_t h_hi = pick4(j, IV4, IV5, IV6, IV7);
        for (int k = 0; k < 9; ++k) {
            QEL_UNROLL
            for (int u = 0; u < 4; ++u) {
                const int wi = 16 * k + 4 * u + static_cast<int>(j);  // block word of the high half
                const uint64_t lo = wi == 0 ? 32 : (wi <= 128 ? last[wi - 1] >> 32 : 0);
                const uint64_t hi = wi < 128 ? last[wi] << 32 : 0;
                s.msg[4 * u + j] = lo | hi;
            }
            __syncwarp(kTagMask);
            const bool last = k == 8;
            blake2b_compress4(h_lo, h_hi, s, j, last ? 1028 : 128 * (k + 1), last, kTagMask);
        }
        tag = h_lo;
    }
    return tag;
}

// ---------------------------------------------------------------------------------------

__global__ void __launch_bounds__(32)
    k_qel(uint64_t* arena, const uint16_t* ref_index, const Job* jobs, int mode,
          const uint64_t* nonce_list, uint64_t start_nonce, int blocks, int iters, DHit* hits,
          uint32_t* hit_count, uint64_t* hash_out) {
    __shared__ uint64_t smem[kSharedWords];
    const uint32_t lane = threadIdx.x;
    const uint32_t b = blockIdx.x;
    uint64_t* slice = arena + kSliceWords * b;

    uint32_t lane_words[4];  // the lane's words of a block
    QEL_UNROLL
    for (int i = 0; i < 4; ++i)
        lane_words[i] = cd_word(lane, i);
    const ShuffleLanes sl = shuffle_lanes(lane);

    if (mode != kModeRange) {
        const uint64_t tag =
            hash_one(slice, ref_index, jobs + b, nonce_list[b], smem, lane_words, sl, lane);
        if (lane < 4)
            hash_out[4 * b + lane] = tag;
        return;
    }

    const Job* job = jobs;
    for (int k = 0; k < iters; ++k) {
        // Interleaved: launch nonce n = start + k * blocks + b, so the whole range
        // start .. start + blocks * iters - 1 is covered once (modulo 2^64).
        const uint64_t nonce =
            start_nonce + static_cast<uint64_t>(k) * static_cast<uint64_t>(blocks) + b;
        const uint64_t tag = hash_one(slice, ref_index, job, nonce, smem, lane_words, sl, lane);
        uint64_t* words = smem + 128;
        if (lane < 4)
            words[lane] = tag;
        __syncwarp(kFullMask);
        if (lane == 0) {
            // (h3, h2, h1, h0) <= (t3, t2, t1, t0), most significant word first.
            bool meets = true;
            for (int i = 3; i >= 0; --i) {
                const uint64_t h = words[i];
                const uint64_t t = job->target_words[i];
                if (h != t) {
                    meets = h < t;
                    break;
                }
            }
            if (meets) {
                const uint32_t slot = atomicAdd(hit_count, 1u);
                if (slot < static_cast<uint32_t>(qel::kHitSlots)) {
                    hits[slot].nonce = nonce;
                    for (int i = 0; i < 4; ++i)
                        hits[slot].hash[i] = words[i];
                }
            }
        }
        __syncwarp(kFullMask);
    }
}

}  // namespace
}  // namespace tovren::qelg

// ---------------------------------------------------------------------------------------
// GpuContext: the host side of the kernel.

namespace tovren::qel {

namespace {

constexpr int kModeRange = 0;
constexpr int kModeList = 1;

// Launches k_qel; its outcome is read with cudaGetLastError. An error left pending by an
// earlier call whose result nobody looks at (an event record, a device query during
// enumeration) would otherwise be taken for a failed launch, so it is cleared first.
void launch(const GpuContext& ctx, int mode, const uint64_t* nonce_list, uint64_t start_nonce,
            int blocks, int iters, DHit* hits, uint32_t* hit_count, uint64_t* hash_out,
            cudaStream_t stream) {
    uint64_t* arena = ctx.arena;
    const uint16_t* ref_index = ctx.ref_index;
    const qelg::Job* jobs = reinterpret_cast<const qelg::Job*>(ctx.jobs);
    qelg::DHit* dhits = reinterpret_cast<qelg::DHit*>(hits);
    void* args[] = {&arena,  &ref_index, &jobs,  &mode,      &nonce_list, &start_nonce,
                    &blocks, &iters,     &dhits, &hit_count, &hash_out};
    cudaGetLastError();
    cudaLaunchKernel(qelg::k_qel, dim3(static_cast<unsigned>(blocks), 1, 1),
                     dim3(kBlockThreads, 1, 1), args, 0, stream);
}

}  // namespace

GpuContext::~GpuContext() {
    if (device < 0)
        return;
    cudaSetDevice(device);
    if (arena != nullptr)
        cudaFree(arena);
    if (ref_index != nullptr)
        cudaFree(ref_index);
    if (jobs != nullptr)
        cudaFree(jobs);
    if (hits != nullptr)
        cudaFree(hits);
    if (hit_count != nullptr)
        cudaFree(hit_count);
    if (ev_start != nullptr)
        cudaEventDestroy(ev_start);
    if (ev_stop != nullptr)
        cudaEventDestroy(ev_stop);
    if (stream != nullptr)
        cudaStreamDestroy(stream);
}

bool GpuContext::init(int device_, int slots_, std::string& err) {
    device = device_;
    slots = slots_;
    cudaError_t rc = cudaSetDevice(device);
    if (rc != cudaSuccess) {
        err = cuda_error("set device", rc);
        return false;
    }
    const uint64_t arena_bytes = static_cast<uint64_t>(slots) * kSliceBytes;
    rc = cudaMalloc(reinterpret_cast<void**>(&arena), arena_bytes);
    if (rc != cudaSuccess) {
        err = cuda_error("arena allocation", rc);
        return false;
    }
    if (!ref_index_built) {
        build_ref_index_table(ref_index_table);
        ref_index_built = true;
    }
    rc = cudaMalloc(reinterpret_cast<void**>(&ref_index), sizeof ref_index_table);
    if (rc != cudaSuccess) {
        err = cuda_error("alloc", rc);
        return false;
    }
    rc = cudaMemcpy(ref_index, ref_index_table, sizeof ref_index_table, cudaMemcpyHostToDevice);
    if (rc != cudaSuccess) {
        err = cuda_error("copy", rc);
        return false;
    }
    rc = cudaMalloc(reinterpret_cast<void**>(&jobs), kJobSlots * sizeof(Job));
    if (rc != cudaSuccess) {
        err = cuda_error("alloc", rc);
        return false;
    }
    rc = cudaMalloc(reinterpret_cast<void**>(&hits), kHitSlots * sizeof(DHit));
    if (rc != cudaSuccess) {
        err = cuda_error("alloc", rc);
        return false;
    }
    rc = cudaMalloc(reinterpret_cast<void**>(&hit_count), sizeof(uint32_t));
    if (rc != cudaSuccess) {
        err = cuda_error("alloc", rc);
        return false;
    }
    rc = cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking);
    if (rc != cudaSuccess) {
        err = cuda_error("stream", rc);
        return false;
    }
    rc = cudaEventCreate(&ev_start);
    if (rc != cudaSuccess) {
        err = cuda_error("event", rc);
        return false;
    }
    rc = cudaEventCreateWithFlags(&ev_stop, cudaEventBlockingSync);
    if (rc != cudaSuccess) {
        err = cuda_error("event", rc);
        return false;
    }
    // A copy from pageable memory may return before its data reaches the device, and it went
    // on the legacy stream, which the context's non-blocking stream does not wait for: without
    // this wait a range launch right after init could read a table still in flight.
    rc = cudaDeviceSynchronize();
    if (rc != cudaSuccess) {
        err = cuda_error("sync", rc);
        return false;
    }
    return true;
}

bool GpuContext::set_job(const uint8_t* header, const uint8_t* target, std::string& err) {
    Job job;
    build_job(header, target, job);
    cudaError_t rc = cudaSetDevice(device);
    if (rc != cudaSuccess) {
        err = cuda_error("set device", rc);
        return false;
    }
    rc = cudaMemcpyAsync(jobs, &job, sizeof job, cudaMemcpyHostToDevice, stream);
    if (rc != cudaSuccess) {
        err = cuda_error("job copy", rc);
        return false;
    }
    rc = cudaStreamSynchronize(stream);
    if (rc != cudaSuccess) {
        err = cuda_error("sync", rc);
        return false;
    }
    return true;
}

bool GpuContext::run_range(int blocks, int iters, uint64_t start_nonce, std::vector<DHit>& found,
                           double* seconds, std::string& err, uint32_t* counted) {
    if (blocks < 1 || blocks > slots || iters < 1) {
        err = "bad launch size";
        return false;
    }
    cudaError_t rc = cudaSetDevice(device);
    if (rc != cudaSuccess) {
        err = cuda_error("set device", rc);
        return false;
    }
    rc = cudaMemsetAsync(hit_count, 0, sizeof(uint32_t), stream);
    if (rc != cudaSuccess) {
        err = cuda_error("memset", rc);
        return false;
    }
    // Tuning divides by the kernel time: an event that was not recorded would give a stale or
    // negative one. A launch that wants no time does without the events.
    rc = cudaEventRecord(ev_start, stream);
    if (seconds != nullptr && rc != cudaSuccess) {
        err = cuda_error("timing", rc);
        return false;
    }
    launch(*this, kModeRange, nullptr, start_nonce, blocks, iters, hits, hit_count, nullptr,
           stream);
    rc = cudaGetLastError();
    if (rc != cudaSuccess) {
        err = cuda_error("kernel launch", rc);
        return false;
    }
    rc = cudaEventRecord(ev_stop, stream);
    if (seconds != nullptr && rc != cudaSuccess) {
        // The kernel is under way: nothing of this call may be left on the GPU when it returns.
        cudaStreamSynchronize(stream);
        err = cuda_error("timing", rc);
        return false;
    }
    rc = cudaEventSynchronize(ev_stop);
    if (rc != cudaSuccess) {
        err = cuda_error("kernel", rc);
        return false;
    }
    uint32_t count = 0;
    rc = cudaMemcpyAsync(&count, hit_count, sizeof count, cudaMemcpyDeviceToHost, stream);
    if (rc != cudaSuccess) {
        err = cuda_error("copy", rc);
        return false;
    }
    rc = cudaStreamSynchronize(stream);
    if (rc != cudaSuccess) {
        err = cuda_error("kernel", rc);
        return false;
    }
    const uint32_t stored_count = count < static_cast<uint32_t>(kHitSlots) ? count : kHitSlots;
    DHit stored[kHitSlots];
    if (stored_count > 0) {
        rc = cudaMemcpy(stored, hits, stored_count * sizeof(DHit), cudaMemcpyDeviceToHost);
        if (rc != cudaSuccess) {
            err = cuda_error("copy", rc);
            return false;
        }
    }
    // Tuning divides by this time: a failed read must not pass as a kernel that took no time.
    // Read before the hits are handed over, so a failure leaves the caller's outputs as they were.
    float ms = 0;
    if (seconds != nullptr && (rc = cudaEventElapsedTime(&ms, ev_start, ev_stop)) != cudaSuccess) {
        err = cuda_error("timing", rc);
        return false;
    }
    found.insert(found.end(), stored, stored + stored_count);
    if (seconds != nullptr)
        *seconds = ms / 1000.0;
    if (counted != nullptr)
        *counted = count;
    return true;
}

bool GpuContext::hash_list(const std::vector<std::vector<uint8_t>>& headers,
                           const std::vector<uint64_t>& nonces,
                           std::vector<std::vector<uint8_t>>& out, std::string& err) {
    const size_t n = headers.size();
    const size_t bound = static_cast<size_t>(slots < kJobSlots ? slots : kJobSlots);
    if (n < 1 || n > bound || nonces.size() != n) {
        err = "bad list size";
        return false;
    }
    // A short header would be read past its end.
    for (const auto& h : headers) {
        if (h.size() < kHeaderBytes) {
            err = "bad list size";
            return false;
        }
    }
    std::vector<Job> host_jobs(n, Job{});
    static const uint8_t zero_target[32] = {};
    for (size_t i = 0; i < n; ++i)
        build_job(headers[i].data(), zero_target, host_jobs[i]);

    cudaError_t rc = cudaSetDevice(device);
    if (rc != cudaSuccess) {
        err = cuda_error("set device", rc);
        return false;
    }
    uint64_t* nonce_buf = nullptr;
    uint64_t* out_buf = nullptr;
    // Frees the temporary buffers on every path out of here.
    struct Temporaries {
        uint64_t*& a;
        uint64_t*& b;
        ~Temporaries() {
            if (a != nullptr)
                cudaFree(a);
            if (b != nullptr)
                cudaFree(b);
        }
    } temporaries{nonce_buf, out_buf};

    rc = cudaMalloc(reinterpret_cast<void**>(&nonce_buf), n * sizeof(uint64_t));
    if (rc != cudaSuccess) {
        err = cuda_error("alloc", rc);
        return false;
    }
    rc = cudaMalloc(reinterpret_cast<void**>(&out_buf), n * 32);
    if (rc != cudaSuccess) {
        err = cuda_error("alloc", rc);
        return false;
    }
    rc = cudaMemcpy(jobs, host_jobs.data(), n * sizeof(Job), cudaMemcpyHostToDevice);
    if (rc != cudaSuccess) {
        err = cuda_error("copy", rc);
        return false;
    }
    rc = cudaMemcpy(nonce_buf, nonces.data(), n * sizeof(uint64_t), cudaMemcpyHostToDevice);
    if (rc != cudaSuccess) {
        err = cuda_error("copy", rc);
        return false;
    }
    launch(*this, kModeList, nonce_buf, 0, static_cast<int>(n), 1, nullptr, nullptr, out_buf,
           nullptr);
    rc = cudaGetLastError();
    if (rc != cudaSuccess) {
        err = cuda_error("kernel launch", rc);
        return false;
    }
    rc = cudaDeviceSynchronize();
    if (rc != cudaSuccess) {
        err = cuda_error("kernel", rc);
        return false;
    }
    std::vector<uint64_t> words(4 * n);
    rc = cudaMemcpy(words.data(), out_buf, n * 32, cudaMemcpyDeviceToHost);
    if (rc != cudaSuccess) {
        err = cuda_error("copy", rc);
        return false;
    }
    std::vector<std::vector<uint8_t>> hashes(n, std::vector<uint8_t>(32));
    for (size_t i = 0; i < n; ++i) {
        for (int b = 0; b < 32; ++b) {
            hashes[i][b] = static_cast<uint8_t>(words[4 * i + b / 8] >> (8 * (b % 8)));
        }
    }
    out.swap(hashes);
    return true;
}

}  // namespace tovren::qel
