// The wave passes of the diff search with AVX2 (8 diagonals per step) and AVX-512 (16).
//
// Each pass is done in three steps: (1) a vector step computes the starting x of every
// diagonal of a chunk, stores it, tests the first byte of each diagonal's snake and keeps the
// lanes whose first byte matched as a bit mask; (2) the word-at-a-time extension runs for
// those lanes only (0.3-3% of them on most inputs); (3) the overlap test runs separately as
// a vector step (first_meeting). The code is compiled for these instruction sets through
// target attributes and chosen at run time, so a build runs on any x86-64 processor.
//
// First bytes come from a gather of the 32-bit word that ends at the byte (it starts at
// position p - 3, or at 0 near the start of a value), so that no byte outside a value is
// read; the caller uses these kernels only for values of at least 4 bytes. Vector loads
// and stores of the store's entries stay inside its padded arrays; stores are masked to the
// chunk's live lanes.
#include "common/compiler.h"
#include "delta/compare.h"
#include "delta/wave.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QUORVANE_X86_KERNELS 1
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 reports its own AVX-512 headers (their undefined pass-through operands) here.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

namespace quorvane {
namespace wave {

#ifdef QUORVANE_X86_KERNELS

namespace {

#define AVX2_TARGET __attribute__((target("avx2,bmi,bmi2,popcnt")))
#define AVX512_TARGET __attribute__((target("avx2,bmi,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi")))

// ---------------------------------------------------------------- both instruction sets

// Step (2) of a pass, the same for every vector width: the word-at-a-time extension of the
// lanes of the chunk starting at entry i whose bit is set in `bits` (their first byte matched);
// old_base and new_base point at the sub-problem's first bytes.
QUORVANE_INLINE void extend_forward_lanes(const WavePass& p, const std::uint8_t* old_base, const std::uint8_t* new_base,
                                          std::int32_t i, unsigned bits) {
    while (bits != 0) {
        const std::int32_t j = i + static_cast<std::int32_t>(ctz32(bits));
        bits &= bits - 1;
        const std::int32_t xj = p.out[j];
        const std::int32_t yj = xj + p.k0 + 2 * j;
        const std::int32_t limit = p.n - xj < p.m - yj ? p.n - xj : p.m - yj;
        p.out[j] = xj + compare::equal_forward_words(old_base + xj, new_base + yj, limit);
    }
}

QUORVANE_INLINE void extend_backward_lanes(const WavePass& p, const std::uint8_t* old_base, const std::uint8_t* new_base,
                                           std::int32_t i, unsigned bits) {
    while (bits != 0) {
        const std::int32_t j = i + static_cast<std::int32_t>(ctz32(bits));
        bits &= bits - 1;
        const std::int32_t xj = p.out[j];
        const std::int32_t kj = p.k0 + 2 * j - p.delta;
        const std::int32_t floor_j = kj < 0 ? -kj : 0;
        p.out[j] = xj - compare::equal_backward_words(old_base + xj, new_base + kj + xj, xj - floor_j);
    }
}

// ----------------------------------------------------------------------------------- AVX2

// The bytes at positions p of `value` (in the low 8 bits of each lane) for the lanes in `live`.
AVX2_TARGET inline __m256i gather_bytes8(const std::uint8_t* value, __m256i p, __m256i live) {
    const __m256i start = _mm256_max_epi32(_mm256_sub_epi32(p, _mm256_set1_epi32(3)), _mm256_setzero_si256());
    const __m256i shift = _mm256_slli_epi32(_mm256_sub_epi32(p, start), 3);
    const __m256i words = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), reinterpret_cast<const int*>(value),
                                                      start, live, 1);
    return _mm256_and_si256(_mm256_srlv_epi32(words, shift), _mm256_set1_epi32(0xFF));
}

AVX2_TARGET inline __m256i live_lanes8(std::int32_t remaining) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(remaining), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

AVX2_TARGET inline unsigned lane_bits8(__m256i mask) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(mask)));
}

AVX2_TARGET void forward_avx2(const WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    const __m256i steps = _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i n = _mm256_set1_epi32(p.n), m = _mm256_set1_epi32(p.m);
    const __m256i a = _mm256_set1_epi32(p.a), c = _mm256_set1_epi32(p.c);
    for (std::int32_t i = 0; i < p.count; i += 8) {
        const __m256i live = live_lanes8(p.count - i);
        const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.prev + i));
        const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.prev + i + 1));
        const __m256i k = _mm256_add_epi32(_mm256_set1_epi32(p.k0 + 2 * i), steps);
        const __m256i x = _mm256_blendv_epi8(_mm256_add_epi32(after, one), before, _mm256_cmpgt_epi32(before, after));
        const __m256i y = _mm256_add_epi32(x, k);
        const __m256i room = _mm256_min_epi32(_mm256_sub_epi32(n, x), _mm256_sub_epi32(m, y));
        const __m256i valid = _mm256_and_si256(live, _mm256_cmpgt_epi32(room, _mm256_setzero_si256()));
        _mm256_maskstore_epi32(p.out + i, live, x);
        if (lane_bits8(valid) == 0) continue;
        const __m256i first_old = gather_bytes8(p.old_value, _mm256_add_epi32(a, x), valid);
        const __m256i first_new = gather_bytes8(p.new_value, _mm256_add_epi32(c, y), valid);
        unsigned bits = lane_bits8(_mm256_and_si256(valid, _mm256_cmpeq_epi32(first_old, first_new)));
        extend_forward_lanes(p, old_base, new_base, i, bits);
    }
}

AVX2_TARGET void backward_avx2(const WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    const __m256i steps = _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i a1 = _mm256_set1_epi32(p.a - 1), c1 = _mm256_set1_epi32(p.c - 1);
    for (std::int32_t i = 0; i < p.count; i += 8) {
        const __m256i live = live_lanes8(p.count - i);
        const __m256i below = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.prev + i));
        const __m256i above = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.prev + i + 1));
        const __m256i k = _mm256_sub_epi32(_mm256_add_epi32(_mm256_set1_epi32(p.k0 + 2 * i), steps),
                                           _mm256_set1_epi32(p.delta));
        const __m256i x = _mm256_blendv_epi8(_mm256_sub_epi32(below, one), above, _mm256_cmpgt_epi32(below, above));
        const __m256i floor = _mm256_max_epi32(_mm256_sub_epi32(zero, k), zero);
        const __m256i valid = _mm256_and_si256(live, _mm256_cmpgt_epi32(x, floor));
        _mm256_maskstore_epi32(p.out + i, live, x);
        if (lane_bits8(valid) == 0) continue;
        const __m256i first_old = gather_bytes8(p.old_value, _mm256_add_epi32(a1, x), valid);
        const __m256i first_new = gather_bytes8(p.new_value, _mm256_add_epi32(c1, _mm256_add_epi32(k, x)), valid);
        unsigned bits = lane_bits8(_mm256_and_si256(valid, _mm256_cmpeq_epi32(first_old, first_new)));
        extend_backward_lanes(p, old_base, new_base, i, bits);
    }
}

AVX2_TARGET std::int32_t first_meeting_avx2(const std::int32_t* front, const std::int32_t* other,
                                            std::int32_t count, bool forward) {
    for (std::int32_t i = 0; i < count; i += 8) {
        const __m256i live = live_lanes8(count - i);
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(front + i));
        const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(other + i));
        // forward: f >= o, that is not (o > f); backward: f <= o, that is not (f > o).
        const __m256i apart = forward ? _mm256_cmpgt_epi32(o, f) : _mm256_cmpgt_epi32(f, o);
        const unsigned bits = lane_bits8(_mm256_andnot_si256(apart, live));
        if (bits != 0) return i + static_cast<std::int32_t>(ctz32(bits));
    }
    return -1;
}

// -------------------------------------------------------------------------------- AVX-512

// The bytes at positions p of a value of `length` bytes, one per lane of `live`, as 16 bytes:
// from a 128-byte window of the value (two loads and a byte permute) when the positions fit
// in one, else from a gather of the 32-bit words that end at them.
AVX512_TARGET inline __m128i bytes_at16(const std::uint8_t* value, std::int64_t length, __m512i p, __mmask16 live) {
    if (length >= 128) {
        // The window is centred on the first lane's position (when that lane is not live its
        // position is still a number; a window that misses a live lane falls back to the
        // gather); the positions of one chunk usually lie within 64 bytes of each other.
        std::int64_t base = static_cast<std::int64_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(p))) - 64;
        if (base > length - 128) base = length - 128;
        if (base < 0) base = 0;
        const __m512i offsets = _mm512_sub_epi32(p, _mm512_set1_epi32(static_cast<std::int32_t>(base)));
        if (_mm512_mask_cmplt_epu32_mask(live, offsets, _mm512_set1_epi32(128)) == live) {
            const __m512i window_low = _mm512_loadu_si512(value + base);
            const __m512i window_high = _mm512_loadu_si512(value + base + 64);
            const __m128i index = _mm512_cvtepi32_epi8(offsets);
            return _mm512_castsi512_si128(
                _mm512_permutex2var_epi8(window_low, _mm512_zextsi128_si512(index), window_high));
        }
    }
    const __m512i start = _mm512_max_epi32(_mm512_sub_epi32(p, _mm512_set1_epi32(3)), _mm512_setzero_si512());
    const __m512i shift = _mm512_slli_epi32(_mm512_sub_epi32(p, start), 3);
    const __m512i words = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), live, start, value, 1);
    return _mm512_cvtepi32_epi8(_mm512_srlv_epi32(words, shift));
}

AVX512_TARGET inline __mmask16 live_lanes16(std::int32_t remaining) {
    return remaining >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << remaining) - 1);
}

AVX512_TARGET void forward_avx512(const WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    const __m512i steps = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i n = _mm512_set1_epi32(p.n), m = _mm512_set1_epi32(p.m);
    const __m512i a = _mm512_set1_epi32(p.a), c = _mm512_set1_epi32(p.c);
    for (std::int32_t i = 0; i < p.count; i += 16) {
        const __mmask16 live = live_lanes16(p.count - i);
        const __m512i before = _mm512_loadu_si512(p.prev + i);
        const __m512i after = _mm512_loadu_si512(p.prev + i + 1);
        const __m512i k = _mm512_add_epi32(_mm512_set1_epi32(p.k0 + 2 * i), steps);
        const __m512i x =
            _mm512_mask_blend_epi32(_mm512_cmpgt_epi32_mask(before, after), _mm512_add_epi32(after, one), before);
        const __m512i y = _mm512_add_epi32(x, k);
        const __m512i room = _mm512_min_epi32(_mm512_sub_epi32(n, x), _mm512_sub_epi32(m, y));
        const __mmask16 valid = _mm512_mask_cmpgt_epi32_mask(live, room, _mm512_setzero_si512());
        _mm512_mask_storeu_epi32(p.out + i, live, x);
        if (valid == 0) continue;
        const __m128i first_old = bytes_at16(p.old_value, p.old_length, _mm512_add_epi32(a, x), valid);
        const __m128i first_new = bytes_at16(p.new_value, p.new_length, _mm512_add_epi32(c, y), valid);
        unsigned bits = _mm_mask_cmpeq_epi8_mask(valid, first_old, first_new);
        extend_forward_lanes(p, old_base, new_base, i, bits);
    }
}

AVX512_TARGET void backward_avx512(const WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    const __m512i steps = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i zero = _mm512_setzero_si512();
    const __m512i a1 = _mm512_set1_epi32(p.a - 1), c1 = _mm512_set1_epi32(p.c - 1);
    for (std::int32_t i = 0; i < p.count; i += 16) {
        const __mmask16 live = live_lanes16(p.count - i);
        const __m512i below = _mm512_loadu_si512(p.prev + i);
        const __m512i above = _mm512_loadu_si512(p.prev + i + 1);
        const __m512i k = _mm512_sub_epi32(_mm512_add_epi32(_mm512_set1_epi32(p.k0 + 2 * i), steps),
                                           _mm512_set1_epi32(p.delta));
        const __m512i x =
            _mm512_mask_blend_epi32(_mm512_cmpgt_epi32_mask(below, above), _mm512_sub_epi32(below, one), above);
        const __m512i floor = _mm512_max_epi32(_mm512_sub_epi32(zero, k), zero);
        const __mmask16 valid = _mm512_mask_cmpgt_epi32_mask(live, x, floor);
        _mm512_mask_storeu_epi32(p.out + i, live, x);
        if (valid == 0) continue;
        const __m128i first_old = bytes_at16(p.old_value, p.old_length, _mm512_add_epi32(a1, x), valid);
        const __m128i first_new =
            bytes_at16(p.new_value, p.new_length, _mm512_add_epi32(c1, _mm512_add_epi32(k, x)), valid);
        unsigned bits = _mm_mask_cmpeq_epi8_mask(valid, first_old, first_new);
        extend_backward_lanes(p, old_base, new_base, i, bits);
    }
}

AVX512_TARGET std::int32_t first_meeting_avx512(const std::int32_t* front, const std::int32_t* other,
                                                std::int32_t count, bool forward) {
    for (std::int32_t i = 0; i < count; i += 16) {
        const __mmask16 live = live_lanes16(count - i);
        const __m512i f = _mm512_loadu_si512(front + i);
        const __m512i o = _mm512_loadu_si512(other + i);
        const unsigned bits = forward ? _mm512_mask_cmpge_epi32_mask(live, f, o) : _mm512_mask_cmple_epi32_mask(live, f, o);
        if (bits != 0) return i + static_cast<std::int32_t>(ctz32(bits));
    }
    return -1;
}

const WaveKernels AVX2_KERNELS{forward_avx2, backward_avx2, first_meeting_avx2, 8};
const WaveKernels AVX512_KERNELS{forward_avx512, backward_avx512, first_meeting_avx512, 16};

}  // namespace

const WaveKernels* avx2_kernels() { return &AVX2_KERNELS; }
const WaveKernels* avx512_kernels() { return &AVX512_KERNELS; }

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt");
}

bool cpu_has_avx512() {
    return cpu_has_avx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
}

#else

// Other processors, and compilers without GNU target attributes and processor checks (MSVC):
// no vector kernels, so every diff takes the portable path.
const WaveKernels* avx2_kernels() { return nullptr; }
const WaveKernels* avx512_kernels() { return nullptr; }
bool cpu_has_avx2() { return false; }
bool cpu_has_avx512() { return false; }

#endif

}  // namespace wave
}  // namespace quorvane
