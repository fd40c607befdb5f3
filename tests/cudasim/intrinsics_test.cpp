// The integer intrinsics, atomics and vector types that kernels use, against values worked
// out by hand from their definitions in the CUDA documentation.
#include "sim_test.h"

namespace {

TEST(IntrinsicsTest, HighHalvesOfProducts) {
    EXPECT_EQ(__umulhi(0xffffffffu, 0xffffffffu), 0xfffffffeu);
    EXPECT_EQ(__umulhi(0x80000000u, 4u), 2u);
    EXPECT_EQ(__mulhi(-1, 1), -1);
    EXPECT_EQ(__mulhi(0x40000000, 8), 2);
    EXPECT_EQ(__umul64hi(~0ull, ~0ull), 0xfffffffffffffffeull);
    EXPECT_EQ(__umul64hi(1ull << 63, 4), 2ull);
    EXPECT_EQ(__mul64hi(-1ll, 5ll), -1ll);
}

TEST(IntrinsicsTest, FunnelShiftsAndBytePermutes) {
    EXPECT_EQ(__funnelshift_l(0x89abcdefu, 0x01234567u, 8), 0x23456789u);
    EXPECT_EQ(__funnelshift_l(0x89abcdefu, 0x01234567u, 40), 0x23456789u);   // mod 32
    EXPECT_EQ(__funnelshift_lc(0x89abcdefu, 0x01234567u, 40), 0x89abcdefu);  // clamped
    EXPECT_EQ(__funnelshift_l(0x89abcdefu, 0x01234567u, 0), 0x01234567u);
    EXPECT_EQ(__funnelshift_r(0x89abcdefu, 0x01234567u, 8), 0x6789abcdu);
    EXPECT_EQ(__funnelshift_r(0x89abcdefu, 0x01234567u, 32), 0x89abcdefu);
    EXPECT_EQ(__funnelshift_rc(0x89abcdefu, 0x01234567u, 40), 0x01234567u);
    EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x5410u), 0x55441100u);
    EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x0123u), 0x00112233u);
    EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x000fu), 0x00000077u);  // 3 bits a byte
}

TEST(IntrinsicsTest, BitCounts) {
    EXPECT_EQ(__popc(0xf0f0u), 8);
    EXPECT_EQ(__popcll(~0ull), 64);
    EXPECT_EQ(__clz(0), 32);
    EXPECT_EQ(__clz(1), 31);
    EXPECT_EQ(__clz(-1), 0);
    EXPECT_EQ(__clzll(1), 63);
    EXPECT_EQ(__clzll(0), 64);
    EXPECT_EQ(__ffs(0), 0);
    EXPECT_EQ(__ffs(0x10), 5);
    EXPECT_EQ(__ffsll(1ll << 40), 41);
    EXPECT_EQ(__brev(1u), 0x80000000u);
    EXPECT_EQ(__brev(0x12345678u), 0x1e6a2c48u);
    EXPECT_EQ(__brevll(1ull), 1ull << 63);
}

TEST(IntrinsicsTest, MinAndMaxFollowCudasOverloads) {
    EXPECT_EQ(min(3u, 5), 3u);
    EXPECT_EQ(max(-1, 2u), 0xffffffffu);  // mixed signedness compares as unsigned
    EXPECT_EQ(min(-4, 2), -4);
    EXPECT_EQ(max(uint64_t{1} << 40, uint64_t{7}), uint64_t{1} << 40);
    EXPECT_EQ(min(1.5, 2.5f), 1.5);
}

TEST(IntrinsicsTest, Atomics) {
    unsigned u = 10;
    EXPECT_EQ(atomicCAS(&u, 9u, 1u), 10u);
    EXPECT_EQ(u, 10u);
    EXPECT_EQ(atomicCAS(&u, 10u, 1u), 10u);
    EXPECT_EQ(u, 1u);
    EXPECT_EQ(atomicExch(&u, 7u), 1u);
    EXPECT_EQ(atomicMax(&u, 3u), 7u);
    EXPECT_EQ(atomicMin(&u, 3u), 7u);
    EXPECT_EQ(u, 3u);
    EXPECT_EQ(atomicOr(&u, 4u), 3u);
    EXPECT_EQ(atomicAnd(&u, 6u), 7u);
    EXPECT_EQ(atomicXor(&u, 0xffu), 6u);
    EXPECT_EQ(u, 0xf9u);
    unsigned long long ull = ~0ull;
    EXPECT_EQ(atomicAdd(&ull, 2ull), ~0ull);
    EXPECT_EQ(ull, 1ull);
    int i = -5;
    EXPECT_EQ(atomicSub(&i, 5), -5);
    EXPECT_EQ(atomicMax(&i, -20), -10);
    EXPECT_EQ(i, -10);
}

TEST(IntrinsicsTest, VectorTypesAndReadOnlyLoads) {
    EXPECT_EQ(sizeof(uint2), 8u);
    EXPECT_EQ(alignof(uint2), 8u);
    EXPECT_EQ(sizeof(uint4), 16u);
    EXPECT_EQ(alignof(uint4), 16u);
    EXPECT_EQ(alignof(ulonglong2), 16u);
    EXPECT_EQ(sizeof(uint3), 12u);
    const uint4 v = make_uint4(1, 2, 3, 4);
    const uint4 loaded = __ldg(&v);
    EXPECT_EQ(loaded.x + loaded.y * 10 + loaded.z * 100 + loaded.w * 1000, 4321u);
    const ulonglong2 w = make_ulonglong2(5, 6);
    EXPECT_EQ(__ldg(&w).y, 6u);
    const dim3 d;
    EXPECT_EQ(d.x * 100 + d.y * 10 + d.z, 111u);
    const dim3 e(make_uint3(7, 8, 9));
    const uint3 back = e;
    EXPECT_EQ(back.z, 9u);
}

}  // namespace
