// UTF-8 for the decoder: an ASCII test, the measure of valid UTF-8 (code points and the
// storage class of the largest one) and a strict decoder into 1-, 2- or 4-byte units. Knows
// nothing of Python: the caller picks the string's kind from the measure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvane {

// The top bit of every byte of a word: zero in a word of ASCII.
constexpr std::uint64_t ASCII_HIGH_BITS = 0x8080808080808080ULL;

// Whether n bytes are all ASCII.
inline bool is_ascii(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    std::uint64_t acc = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t a, b, c, d;
        std::memcpy(&a, p + i, 8);
        std::memcpy(&b, p + i + 8, 8);
        std::memcpy(&c, p + i + 16, 8);
        std::memcpy(&d, p + i + 24, 8);
        if ((a | b | c | d) & ASCII_HIGH_BITS) return false;
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= p[i];
    return (acc & ASCII_HIGH_BITS) == 0;
}

// The number of code points that valid UTF-8 of n bytes holds (its bytes that are not
// continuation bytes, 80-BF) and its largest byte. For valid UTF-8 the largest byte is the
// largest lead byte, which tells the storage class of the largest code point: C2-C3 lead
// U+0080-U+00FF, C4-EF up to U+FFFF, F0-F4 above.
inline void utf8_measure(const std::uint8_t* p, std::size_t n, std::size_t& chars, unsigned& top) {
    std::size_t continuation = 0;
    unsigned largest = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128i wide = _mm_setzero_si128();
    const __m128i bound = _mm_set1_epi8(static_cast<char>(0xC0));  // signed: 80-BF are below it
    while (i + 16 <= n) {
        // Up to 255 blocks count their continuation bytes in byte lanes, then add them up.
        __m128i counts = _mm_setzero_si128();
        for (int blocks = 0; blocks < 255 && i + 16 <= n; ++blocks, i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            wide = _mm_max_epu8(wide, x);
            counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(x, bound));
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        continuation += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                        static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
    alignas(16) std::uint8_t lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), wide);
    for (unsigned lane : lanes) largest = lane > largest ? lane : largest;
#endif
    for (; i < n; ++i) {
        const unsigned byte = p[i];
        largest = byte > largest ? byte : largest;
        continuation += (byte & 0xC0) == 0x80;
    }
    chars = n - continuation;
    top = largest;
}

// Decodes strict UTF-8, as the interpreter's decoder reads it (no surrogates, no overlong
// forms, nothing above U+10FFFF), into units of a string's kind, which utf8_measure chose.
// False at the first sequence that decoder refuses, or one the kind cannot hold (only in
// invalid input); up to that point only units of valid sequences are written.
template <typename Unit>
inline bool utf8_decode(const std::uint8_t* p, std::size_t n, Unit* out, std::size_t units) {
    Unit* const stop = out + units;
    std::size_t i = 0;
    while (i < n) {
        const unsigned b = p[i];
        if (b < 0x80) {
            std::uint64_t w;
            if (i + 8 <= n && out + 8 <= stop && (std::memcpy(&w, p + i, 8), (w & ASCII_HIGH_BITS) == 0)) {
                for (int k = 0; k < 8; ++k) out[k] = static_cast<Unit>(p[i + k]);
                out += 8;
                i += 8;
                continue;
            }
            if (out == stop) return false;
            *out++ = static_cast<Unit>(b);
            ++i;
            continue;
        }
        std::uint32_t c;
        if (b < 0xE0) {
            if (b < 0xC2 || i + 1 >= n || (p[i + 1] & 0xC0) != 0x80) return false;
            c = ((b & 0x1F) << 6) | (p[i + 1] & 0x3F);
            i += 2;
        } else if (b < 0xF0) {
            if (i + 2 >= n) return false;
            const unsigned c1 = p[i + 1];
            if (c1 < (b == 0xE0 ? 0xA0u : 0x80u) || c1 > (b == 0xED ? 0x9Fu : 0xBFu) || (p[i + 2] & 0xC0) != 0x80) {
                return false;
            }
            c = ((b & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            if (b > 0xF4 || i + 3 >= n) return false;
            const unsigned c1 = p[i + 1];
            if (c1 < (b == 0xF0 ? 0x90u : 0x80u) || c1 > (b == 0xF4 ? 0x8Fu : 0xBFu) || (p[i + 2] & 0xC0) != 0x80 ||
                (p[i + 3] & 0xC0) != 0x80) {
                return false;
            }
            c = ((b & 0x07) << 18) | ((c1 & 0x3F) << 12) | ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3F);
            i += 4;
        }
        if (out == stop || c > static_cast<Unit>(-1)) return false;
        *out++ = static_cast<Unit>(c);
    }
    return out == stop;
}

}  // namespace quorvane
