// Compiler and memory helpers, in one place: inlining and branch hints, prefetch, bit scans,
// byte swaps and unaligned loads in a given byte order. Everything else includes this header
// instead of using compiler built-ins directly, so that a new compiler is one file to adapt.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <stdlib.h>
#endif

// Inlining and branch hints.
#if defined(__GNUC__) || defined(__clang__)
#define QUORVANE_INLINE inline __attribute__((always_inline))
#define QUORVANE_NOINLINE __attribute__((noinline))
#define QUORVANE_COLD __attribute__((noinline, cold))
#define QUORVANE_LIKELY(x) __builtin_expect(!!(x), 1)
#define QUORVANE_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define QUORVANE_PREFETCH(p) __builtin_prefetch(p)
#elif defined(_MSC_VER)
#define QUORVANE_INLINE __forceinline
#define QUORVANE_NOINLINE __declspec(noinline)
#define QUORVANE_COLD __declspec(noinline)
#define QUORVANE_LIKELY(x) (x)
#define QUORVANE_UNLIKELY(x) (x)
#define QUORVANE_PREFETCH(p) ((void)(p))
#else
#define QUORVANE_INLINE inline
#define QUORVANE_NOINLINE
#define QUORVANE_COLD
#define QUORVANE_LIKELY(x) (x)
#define QUORVANE_UNLIKELY(x) (x)
#define QUORVANE_PREFETCH(p) ((void)(p))
#endif

// Byte order of the target.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define QUORVANE_BIG_ENDIAN 1
#else
#define QUORVANE_BIG_ENDIAN 0  // x86, aarch64 and every MSVC target are little-endian
#endif

namespace quorvane {

QUORVANE_INLINE std::uint16_t bswap16(std::uint16_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap16(v);
#elif defined(_MSC_VER)
    return _byteswap_ushort(v);
#else
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
#endif
}

QUORVANE_INLINE std::uint32_t bswap32(std::uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap32(v);
#elif defined(_MSC_VER)
    return _byteswap_ulong(v);
#else
    return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
#endif
}

QUORVANE_INLINE std::uint64_t bswap64(std::uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(v);
#elif defined(_MSC_VER)
    return _byteswap_uint64(v);
#else
    return (static_cast<std::uint64_t>(bswap32(static_cast<std::uint32_t>(v))) << 32) |
           bswap32(static_cast<std::uint32_t>(v >> 32));
#endif
}

// Bit scans; the argument must not be zero.
QUORVANE_INLINE unsigned clz64(std::uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_clzll(v));
#elif defined(_MSC_VER) && defined(_WIN64)
    unsigned long index;
    _BitScanReverse64(&index, v);
    return 63u - static_cast<unsigned>(index);
#else
    unsigned n = 0;
    while ((v & (std::uint64_t{1} << 63)) == 0) { v <<= 1; ++n; }
    return n;
#endif
}

QUORVANE_INLINE unsigned ctz64(std::uint64_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_ctzll(v));
#elif defined(_MSC_VER) && defined(_WIN64)
    unsigned long index;
    _BitScanForward64(&index, v);
    return static_cast<unsigned>(index);
#else
    unsigned n = 0;
    while ((v & 1u) == 0) { v >>= 1; ++n; }
    return n;
#endif
}

QUORVANE_INLINE unsigned ctz32(std::uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_ctz(v));
#elif defined(_MSC_VER)
    unsigned long index;
    _BitScanForward(&index, v);
    return static_cast<unsigned>(index);
#else
    return ctz64(v);
#endif
}

// Unaligned loads in native, big- and little-endian order.
template <typename T>
QUORVANE_INLINE T load_native(const void* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

QUORVANE_INLINE std::uint16_t load_be16(const void* p) {
    const std::uint16_t v = load_native<std::uint16_t>(p);
    return QUORVANE_BIG_ENDIAN ? v : bswap16(v);
}
QUORVANE_INLINE std::uint32_t load_be32(const void* p) {
    const std::uint32_t v = load_native<std::uint32_t>(p);
    return QUORVANE_BIG_ENDIAN ? v : bswap32(v);
}
QUORVANE_INLINE std::uint64_t load_be64(const void* p) {
    const std::uint64_t v = load_native<std::uint64_t>(p);
    return QUORVANE_BIG_ENDIAN ? v : bswap64(v);
}
QUORVANE_INLINE std::uint64_t load_le64(const void* p) {
    const std::uint64_t v = load_native<std::uint64_t>(p);
    return QUORVANE_BIG_ENDIAN ? bswap64(v) : v;
}

// Stores in big-endian order.
QUORVANE_INLINE void store_be64(void* p, std::uint64_t v) {
    if (!QUORVANE_BIG_ENDIAN) v = bswap64(v);
    std::memcpy(p, &v, sizeof v);
}

}  // namespace quorvane
