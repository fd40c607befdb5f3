// The integer intrinsics, atomics and vector types that kernels use, against values worked
// out by hand from their definitions in the CUDA documentation.
#include "sim_test.h"

namespace cudasim_test {
namespace {

struct Value {
    const char* expression;
    long long got, want;
};
#define VALUE(expression, want) \
    { #expression, static_cast < long long>(expression), static_cast < long long>(want) }

TEST(Intrinsics, HaveTheirDocumentedValues) {
    const Value rows[] = {
        VALUE(__umulhi(0xffffffffu, 0xffffffffu), 0xfffffffeu),
        VALUE(__umulhi(0x80000000u, 4u), 2),
        VALUE(__mulhi(-1, 1), -1),
        VALUE(__mulhi(0x40000000, 8), 2),
        VALUE(__umul64hi(~0ull, ~0ull), 0xfffffffffffffffeull),
        VALUE(__umul64hi(1ull << 63, 4), 2),
        VALUE(__mul64hi(-1ll, 5ll), -1),
        // hi:lo shifted: the shift taken mod 32, or with c clamped to 32.
        VALUE(__funnelshift_l(0x89abcdefu, 0x01234567u, 8), 0x23456789u),
        VALUE(__funnelshift_l(0x89abcdefu, 0x01234567u, 40), 0x23456789u),
        VALUE(__funnelshift_lc(0x89abcdefu, 0x01234567u, 40), 0x89abcdefu),
        VALUE(__funnelshift_l(0x89abcdefu, 0x01234567u, 0), 0x01234567u),
        VALUE(__funnelshift_r(0x89abcdefu, 0x01234567u, 8), 0x6789abcdu),
        VALUE(__funnelshift_r(0x89abcdefu, 0x01234567u, 32), 0x89abcdefu),
        VALUE(__funnelshift_rc(0x89abcdefu, 0x01234567u, 40), 0x01234567u),
        // Selectors of 3 bits a byte, into the eight bytes y:x.
        VALUE(__byte_perm(0x33221100u, 0x77665544u, 0x5410u), 0x55441100u),
        VALUE(__byte_perm(0x33221100u, 0x77665544u, 0x0123u), 0x00112233u),
        VALUE(__byte_perm(0x33221100u, 0x77665544u, 0x000fu), 0x00000077u),
        VALUE(__popc(0xf0f0u), 8),
        VALUE(__popcll(~0ull), 64),
        VALUE(__clz(0), 32),
        VALUE(__clz(1), 31),
        VALUE(__clz(-1), 0),
        VALUE(__clzll(1), 63),
        VALUE(__clzll(0), 64),
        VALUE(__ffs(0), 0),
        VALUE(__ffs(0x10), 5),
        VALUE(__ffsll(1ll << 40), 41),
        VALUE(__brev(1u), 0x80000000u),
        VALUE(__brev(0x12345678u), 0x1e6a2c48u),
        VALUE(__brevll(1ull), 1ull << 63),
        // CUDA's overloads: mixed signedness compares as unsigned.
        VALUE(min(3u, 5), 3),
        VALUE(max(-1, 2u), 0xffffffffu),
        VALUE(min(-4, 2), -4),
        VALUE(max(uint64_t{1} << 40, uint64_t{7}), uint64_t{1} << 40),
        VALUE(min(1.5, 2.5f) * 2, 3),
    };
    for (const Value& v : rows)
        EXPECT_EQ(v.got, v.want) << v.expression;
}

// Each step returns the old value and leaves the new one.
TEST(Intrinsics, AtomicsReturnTheOldValue) {
    unsigned u = 10;
    unsigned long long ull = ~0ull;
    int i = -5;
    const Value rows[] = {
        VALUE(atomicCAS(&u, 9u, 1u), 10),
        VALUE(u, 10),
        VALUE(atomicCAS(&u, 10u, 1u), 10),
        VALUE(u, 1),
        VALUE(atomicExch(&u, 7u), 1),
        VALUE(atomicMax(&u, 3u), 7),
        VALUE(u, 7),
        VALUE(atomicMin(&u, 3u), 7),
        VALUE(u, 3),
        VALUE(atomicOr(&u, 4u), 3),
        VALUE(atomicAnd(&u, 6u), 7),
        VALUE(atomicXor(&u, 0xffu), 6),
        VALUE(u, 0xf9),
        VALUE(atomicAdd(&ull, 2ull), ~0ull),
        VALUE(ull, 1),
        VALUE(atomicCAS(&ull, 1ull, 5ull), 1),
        VALUE(ull, 5),
        VALUE(atomicSub(&i, 5), -5),
        VALUE(atomicMax(&i, -20), -10),
        VALUE(i, -10),
        VALUE(atomicMin(&i, -20), -10),
        VALUE(atomicAdd(&i, 3), -20),
        VALUE(i, -17),
    };
    for (const Value& v : rows)
        EXPECT_EQ(v.got, v.want) << v.expression;
}

TEST(Intrinsics, VectorTypesHaveTheDevicesLayout) {
    const uint4 v = make_uint4(1, 2, 3, 4);
    const ulonglong2 w = make_ulonglong2(5, 6);
    const dim3 d;
    const dim3 e(make_uint3(7, 8, 9));
    const uint3 back = e;
    const Value rows[] = {
        VALUE(sizeof(uint2), 8),
        VALUE(alignof(uint2), 8),
        VALUE(sizeof(uint3), 12),
        VALUE(sizeof(uint4), 16),
        VALUE(alignof(uint4), 16),
        VALUE(alignof(ulonglong2), 16),
        VALUE(__ldg(&v).x + __ldg(&v).y * 10 + __ldg(&v).z * 100 + __ldg(&v).w * 1000, 4321),
        VALUE(__ldg(&w).y, 6),
        VALUE(d.x * 100 + d.y * 10 + d.z, 111),
        VALUE(back.x * 100 + back.y * 10 + back.z, 789),
    };
    for (const Value& r : rows)
        EXPECT_EQ(r.got, r.want) << r.expression;
}

}  // namespace
}  // namespace cudasim_test
