// The CUDA vector types and dim3, laid out and aligned as device code expects them.
#ifndef CUDASIM_VECTOR_TYPES_H
#define CUDASIM_VECTOR_TYPES_H

struct alignas(4) uchar4 {
    unsigned char x, y, z, w;
};
struct alignas(8) int2 {
    int x, y;
};
struct int3 {
    int x, y, z;
};
struct alignas(16) int4 {
    int x, y, z, w;
};
struct alignas(8) uint2 {
    unsigned int x, y;
};
struct uint3 {
    unsigned int x, y, z;
};
struct alignas(16) uint4 {
    unsigned int x, y, z, w;
};
struct alignas(16) longlong2 {
    long long x, y;
};
struct alignas(16) ulonglong2 {
    unsigned long long x, y;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
        : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};

inline constexpr uchar4 make_uchar4(unsigned char x, unsigned char y, unsigned char z,
                                    unsigned char w) {
    return uchar4{x, y, z, w};
}
inline constexpr int2 make_int2(int x, int y) {
    return int2{x, y};
}
inline constexpr int3 make_int3(int x, int y, int z) {
    return int3{x, y, z};
}
inline constexpr int4 make_int4(int x, int y, int z, int w) {
    return int4{x, y, z, w};
}
inline constexpr uint2 make_uint2(unsigned int x, unsigned int y) {
    return uint2{x, y};
}
inline constexpr uint3 make_uint3(unsigned int x, unsigned int y, unsigned int z) {
    return uint3{x, y, z};
}
inline constexpr uint4 make_uint4(unsigned int x, unsigned int y, unsigned int z, unsigned int w) {
    return uint4{x, y, z, w};
}
inline constexpr longlong2 make_longlong2(long long x, long long y) {
    return longlong2{x, y};
}
inline constexpr ulonglong2 make_ulonglong2(unsigned long long x, unsigned long long y) {
    return ulonglong2{x, y};
}

#endif
