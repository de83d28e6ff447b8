// Inside the diff engine: the byte comparisons of a snake and the wave passes over the
// parity-split diagonal store, with one implementation per instruction set (the portable one
// in diff.cpp, AVX2 and AVX-512 ones in wave_x86.cpp). Every implementation gives the same
// values as the portable one.
#pragma once

#include <cstdint>
#include <cstring>

namespace quorvane {
namespace wave {

inline std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline unsigned leading_equal_bytes(std::uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(__builtin_clzll(difference)) / 8;
#elif defined(_MSC_VER)
    unsigned long index;
    _BitScanForward64(&index, difference);
    return static_cast<unsigned>(index) / 8;
#else
    return static_cast<unsigned>(__builtin_ctzll(difference)) / 8;
#endif
}

inline unsigned trailing_equal_bytes(std::uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(__builtin_ctzll(difference)) / 8;
#elif defined(_MSC_VER)
    unsigned long index;
    _BitScanReverse64(&index, difference);
    return (63 - static_cast<unsigned>(index)) / 8;
#else
    return static_cast<unsigned>(__builtin_clzll(difference)) / 8;
#endif
}

// Long runs of equal bytes (the stretches between sparse edits, identical values) are
// compared a block at a time by the C library's memcmp, which is vectorised; a run is only
// taken to be long after a few equal words, since most snakes end within their first words.
constexpr std::int32_t WORDS_BEFORE_BLOCKS = 4;
constexpr std::int32_t EQUAL_BLOCK = 256;

// Number of equal bytes at the start of a and b, at most `limit` (at least 1 byte is equal).
inline std::int32_t equal_forward_words(const std::uint8_t* a, const std::uint8_t* b, std::int32_t limit) {
    std::int32_t n = 1;
    for (std::int32_t words = 0; limit - n >= 8; ++words) {
        if (words == WORDS_BEFORE_BLOCKS) {
            while (limit - n >= EQUAL_BLOCK && std::memcmp(a + n, b + n, EQUAL_BLOCK) == 0) n += EQUAL_BLOCK;
            if (limit - n < 8) break;
        }
        const std::uint64_t difference = load_word(a + n) ^ load_word(b + n);
        if (difference != 0) return n + static_cast<std::int32_t>(leading_equal_bytes(difference));
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// Number of equal bytes just before a_end and b_end, at most `limit` (at least 1 is equal).
inline std::int32_t equal_backward_words(const std::uint8_t* a_end, const std::uint8_t* b_end, std::int32_t limit) {
    std::int32_t n = 1;
    for (std::int32_t words = 0; limit - n >= 8; ++words) {
        if (words == WORDS_BEFORE_BLOCKS) {
            while (limit - n >= EQUAL_BLOCK &&
                   std::memcmp(a_end - n - EQUAL_BLOCK, b_end - n - EQUAL_BLOCK, EQUAL_BLOCK) == 0) {
                n += EQUAL_BLOCK;
            }
            if (limit - n < 8) break;
        }
        const std::uint64_t difference = load_word(a_end - n - 8) ^ load_word(b_end - n - 8);
        if (difference != 0) return n + static_cast<std::int32_t>(trailing_equal_bytes(difference));
        n += 8;
    }
    while (n < limit && a_end[-n - 1] == b_end[-n - 1]) ++n;
    return n;
}

// Most extensions in a search end at their first byte, so that byte is tested inline.
inline std::int32_t equal_forward(const std::uint8_t* a, const std::uint8_t* b, std::int32_t limit) {
    return limit > 0 && a[0] == b[0] ? equal_forward_words(a, b, limit) : 0;
}

inline std::int32_t equal_backward(const std::uint8_t* a_end, const std::uint8_t* b_end, std::int32_t limit) {
    return limit > 0 && a_end[-1] == b_end[-1] ? equal_backward_words(a_end, b_end, limit) : 0;
}

// Entries of padding before and after each array of the parity-split store, so that a
// vector of up to 16 lanes that starts inside an array stays inside its block.
constexpr std::int64_t STORE_PADDING = 32;

// One pass of one wave over `count` diagonals k0, k0 + 2, ... of the wave's parity (for the
// backward pass: k' = k0, k0 + 2, ..., with k = k' - delta).
//   prev[i], prev[i + 1]: the front's values of the previous wave on diagonals k - 1, k + 1;
//   out[i]: receives the furthest x on diagonal k (prev and out are different arrays, each
//   padded by STORE_PADDING entries).
// old_base and new_base point at the sub-problem's first bytes, which lie at absolute
// positions a and c of values of old_length and new_length bytes starting at old_value and
// new_value. Only entries out[0 .. count) are written.
struct WavePass {
    const std::uint8_t* old_value;
    const std::uint8_t* new_value;
    std::int64_t old_length;
    std::int64_t new_length;
    std::int32_t a, c, n, m;
    std::int32_t delta;
    std::int32_t k0;
    std::int32_t count;
    const std::int32_t* prev;
    std::int32_t* out;
};

struct WaveKernels {
    void (*forward)(const WavePass& pass);
    void (*backward)(const WavePass& pass);
    // The first i < count with front[i] >= other[i] (reaching = forward) or front[i] <= other[i]
    // (backward), or -1.
    std::int32_t (*first_meeting)(const std::int32_t* front, const std::int32_t* other, std::int32_t count,
                                  bool forward);
    int lanes;  // diagonals per vector step
};

// The kernels of the processor-specific paths, or null when this build has none.
const WaveKernels* avx2_kernels();
const WaveKernels* avx512_kernels();
// Whether the processor has the instructions each path needs.
bool cpu_has_avx2();
bool cpu_has_avx512();

}  // namespace wave
}  // namespace quorvane
