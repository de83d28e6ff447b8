// The wave passes of the diff search with AVX2 (8 diagonals per step) and AVX-512 (16).
//
// Each pass is done in three steps: (1) a vector step computes the starting x of every
// diagonal of a chunk and its windows (wave.h) from the previous wave's neighbours, stores
// them, tests the first bytes of each diagonal's snake from the windows and keeps the lanes
// whose first bytes matched as a bit mask; (2) the word-at-a-time extension runs for those
// lanes only (0.3-3% of them on most inputs) and loads their windows at the snake's end;
// (3) the overlap test runs separately as a vector step (first_meeting). The first bytes
// come from the store, which is read and written in contiguous vectors: no gathers and no
// loads from the values' far-apart positions, except in the refresh waves (one in
// REFRESH_WAVES), which go lane by lane as the portable pass does, and after a snake. The
// code is compiled for these instruction sets through target attributes and chosen at run
// time, so a build runs on any x86-64 processor.
//
// Vector loads and stores stay inside the store's padded arrays; the stores of a pass's last
// chunk are masked to its live lanes.
#include "common/compiler.h"
#include "delta/match/compare.h"
#include "delta/search/wave.h"

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

// Step (2) of a pass, the same for every vector width: the snakes of the lanes of the chunk
// starting at entry i whose bit is set in `bits` (their first bytes matched).
QUORVANE_INLINE void extend_forward_lanes(const WavePass& p, std::int32_t i, unsigned bits) {
    while (bits != 0) {
        extend_forward_lane(p, i + static_cast<std::int32_t>(ctz32(bits)));
        bits &= bits - 1;
    }
}

QUORVANE_INLINE void extend_backward_lanes(const WavePass& p, std::int32_t i, unsigned bits) {
    while (bits != 0) {
        extend_backward_lane(p, i + static_cast<std::int32_t>(ctz32(bits)));
        bits &= bits - 1;
    }
}

// A chunk of a refresh wave, whose x are stored: the lanes in `bits` (those with room after
// their x) load their windows and test them one by one.
template <typename Lane>
QUORVANE_INLINE void refresh_lanes(const WavePass& p, std::int32_t i, unsigned bits, Lane lane) {
    while (bits != 0) {
        lane(p, i + static_cast<std::int32_t>(ctz32(bits)));
        bits &= bits - 1;
    }
}

// ----------------------------------------------------------------------------------- AVX2

AVX2_TARGET inline __m256i load8(const std::int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
AVX2_TARGET inline __m256i load8(const Window* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Stores of a chunk's entries: whole, or (the last chunk of a pass) masked to its live lanes,
// since the entries after a pass's last one may hold other waves' values.
template <typename T>
AVX2_TARGET inline void store8(T* p, __m256i v, __m256i live, bool whole) {
    if (whole) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    } else {
        _mm256_maskstore_epi32(reinterpret_cast<int*>(p), live, v);
    }
}

AVX2_TARGET inline __m256i live_lanes8(std::int32_t remaining) {
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(remaining), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

AVX2_TARGET inline unsigned lane_bits8(__m256i mask) {
    return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(mask)));
}

// A bit per lane whose windows' first bytes are equal.
AVX2_TARGET inline unsigned first_bytes_equal8(__m256i old_windows, __m256i new_windows) {
    const __m256i first = _mm256_and_si256(_mm256_xor_si256(old_windows, new_windows), _mm256_set1_epi32(0xFF));
    return lane_bits8(_mm256_cmpeq_epi32(first, _mm256_setzero_si256()));
}

// The windows of a refresh wave's chunk, whose x are stored: those of the open lanes gathered
// from the values (lane by lane when one of them is within a window of its value's end),
// stored, and their first bytes tested.
AVX2_TARGET inline void refresh_forward8(const WavePass& p, std::int32_t i, __m256i x, __m256i y, __m256i open,
                                         __m256i live, bool whole) {
    const __m256i old_at = _mm256_add_epi32(x, _mm256_set1_epi32(p.a));
    const __m256i new_at = _mm256_add_epi32(y, _mm256_set1_epi32(p.c));
    // Lanes whose window would pass a value's end (the lengths are below 2^31).
    const __m256i near_end = _mm256_or_si256(
        _mm256_cmpgt_epi32(old_at, _mm256_set1_epi32(static_cast<std::int32_t>(p.old_length - WINDOW_BYTES))),
        _mm256_cmpgt_epi32(new_at, _mm256_set1_epi32(static_cast<std::int32_t>(p.new_length - WINDOW_BYTES))));
    const unsigned bits = lane_bits8(open);
    if ((lane_bits8(near_end) & bits) != 0) {
        refresh_lanes(p, i, bits, refresh_forward_lane);
        return;
    }
    const __m256i zero = _mm256_setzero_si256();
    const __m256i old_windows =
        _mm256_mask_i32gather_epi32(zero, reinterpret_cast<const int*>(p.old_value), old_at, open, 1);
    const __m256i new_windows =
        _mm256_mask_i32gather_epi32(zero, reinterpret_cast<const int*>(p.new_value), new_at, open, 1);
    store8(p.out_old + i, old_windows, live, whole);
    store8(p.out_new + i, new_windows, live, whole);
    extend_forward_lanes(p, i, first_bytes_equal8(old_windows, new_windows) & bits);
}

// The backward windows: the bytes before each position, nearest first.
AVX2_TARGET inline __m256i reverse_bytes8(__m256i words) {
    const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3, 2, 1, 0, 7, 6, 5,
                                           4, 11, 10, 9, 8, 15, 14, 13, 12);
    return _mm256_shuffle_epi8(words, order);
}

AVX2_TARGET inline void refresh_backward8(const WavePass& p, std::int32_t i, __m256i x, __m256i y, __m256i open,
                                          __m256i live, bool whole) {
    const __m256i old_from = _mm256_add_epi32(x, _mm256_set1_epi32(p.a - WINDOW_BYTES));
    const __m256i new_from = _mm256_add_epi32(y, _mm256_set1_epi32(p.c - WINDOW_BYTES));
    const __m256i zero = _mm256_setzero_si256();
    const unsigned bits = lane_bits8(open);
    if ((lane_bits8(_mm256_or_si256(_mm256_cmpgt_epi32(zero, old_from), _mm256_cmpgt_epi32(zero, new_from))) & bits) !=
        0) {
        refresh_lanes(p, i, bits, refresh_backward_lane);
        return;
    }
    const __m256i old_windows = reverse_bytes8(
        _mm256_mask_i32gather_epi32(zero, reinterpret_cast<const int*>(p.old_value), old_from, open, 1));
    const __m256i new_windows = reverse_bytes8(
        _mm256_mask_i32gather_epi32(zero, reinterpret_cast<const int*>(p.new_value), new_from, open, 1));
    store8(p.out_old + i, old_windows, live, whole);
    store8(p.out_new + i, new_windows, live, whole);
    extend_backward_lanes(p, i, first_bytes_equal8(old_windows, new_windows) & bits);
}

// One chunk of 8 diagonals starting at entry i (k: their diagonal numbers): x and windows
// from the neighbours, stored (masked to `live` unless the chunk is whole), the first bytes
// tested from the windows (in a refresh wave: from windows gathered where the x are).
// The live lanes with room after their x (computed only when some first bytes match, and in
// refresh waves).
template <bool WHOLE>
AVX2_TARGET inline __m256i open_forward8(const WavePass& p, __m256i x, __m256i k, __m256i live) {
    const __m256i lanes = _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_set1_epi32(p.n), x),
                                           _mm256_cmpgt_epi32(_mm256_set1_epi32(p.m), _mm256_add_epi32(x, k)));
    return WHOLE ? lanes : _mm256_and_si256(lanes, live);
}

template <bool WHOLE>
AVX2_TARGET inline __m256i open_backward8(__m256i x, __m256i k, __m256i live) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lanes = _mm256_cmpgt_epi32(x, _mm256_max_epi32(_mm256_sub_epi32(zero, k), zero));
    return WHOLE ? lanes : _mm256_and_si256(lanes, live);
}

template <bool REFRESH, bool WHOLE>
AVX2_TARGET inline void forward_chunk8(const WavePass& p, std::int32_t i, __m256i k, __m256i live) {
    const __m256i before = load8(p.prev + i);
    const __m256i after = load8(p.prev + i + 1);
    const __m256i from_before = _mm256_cmpgt_epi32(before, after);  // x stays, y moves on
    const __m256i x = _mm256_blendv_epi8(_mm256_sub_epi32(after, _mm256_set1_epi32(-1)), before, from_before);
    store8(p.out + i, x, live, WHOLE);
    if (REFRESH) {
        refresh_forward8(p, i, x, _mm256_add_epi32(x, k), open_forward8<WHOLE>(p, x, k, live), live, WHOLE);
        return;
    }
    const __m256i old_windows =
        _mm256_blendv_epi8(_mm256_srli_epi32(load8(p.prev_old + i + 1), 8), load8(p.prev_old + i), from_before);
    const __m256i new_windows =
        _mm256_blendv_epi8(load8(p.prev_new + i + 1), _mm256_srli_epi32(load8(p.prev_new + i), 8), from_before);
    store8(p.out_old + i, old_windows, live, WHOLE);
    store8(p.out_new + i, new_windows, live, WHOLE);
    const unsigned equal = first_bytes_equal8(old_windows, new_windows);
    if (equal != 0) extend_forward_lanes(p, i, equal & lane_bits8(open_forward8<WHOLE>(p, x, k, live)));
}

template <bool REFRESH, bool WHOLE>
AVX2_TARGET inline void backward_chunk8(const WavePass& p, std::int32_t i, __m256i k, __m256i live) {
    const __m256i below = load8(p.prev + i);
    const __m256i above = load8(p.prev + i + 1);
    const __m256i from_above = _mm256_cmpgt_epi32(below, above);  // x stays, y moves down
    const __m256i x = _mm256_blendv_epi8(_mm256_add_epi32(below, _mm256_set1_epi32(-1)), above, from_above);
    store8(p.out + i, x, live, WHOLE);
    if (REFRESH) {
        refresh_backward8(p, i, x, _mm256_add_epi32(x, k), open_backward8<WHOLE>(x, k, live), live, WHOLE);
        return;
    }
    const __m256i old_windows =
        _mm256_blendv_epi8(_mm256_srli_epi32(load8(p.prev_old + i), 8), load8(p.prev_old + i + 1), from_above);
    const __m256i new_windows =
        _mm256_blendv_epi8(load8(p.prev_new + i), _mm256_srli_epi32(load8(p.prev_new + i + 1), 8), from_above);
    store8(p.out_old + i, old_windows, live, WHOLE);
    store8(p.out_new + i, new_windows, live, WHOLE);
    const unsigned equal = first_bytes_equal8(old_windows, new_windows);
    if (equal != 0) extend_backward_lanes(p, i, equal & lane_bits8(open_backward8<WHOLE>(x, k, live)));
}

// A pass: whole chunks, then the last one masked.
template <bool REFRESH>
AVX2_TARGET void forward_pass8(const WavePass& p) {
    const __m256i step = _mm256_set1_epi32(16);
    __m256i k = _mm256_add_epi32(_mm256_set1_epi32(p.k0), _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14));
    std::int32_t i = 0;
    for (; i + 8 <= p.count; i += 8, k = _mm256_add_epi32(k, step)) {
        forward_chunk8<REFRESH, true>(p, i, k, _mm256_setzero_si256());
    }
    if (i < p.count) forward_chunk8<REFRESH, false>(p, i, k, live_lanes8(p.count - i));
}

template <bool REFRESH>
AVX2_TARGET void backward_pass8(const WavePass& p) {
    const __m256i step = _mm256_set1_epi32(16);
    __m256i k = _mm256_add_epi32(_mm256_set1_epi32(p.k0 - p.delta), _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14));
    std::int32_t i = 0;
    for (; i + 8 <= p.count; i += 8, k = _mm256_add_epi32(k, step)) {
        backward_chunk8<REFRESH, true>(p, i, k, _mm256_setzero_si256());
    }
    if (i < p.count) backward_chunk8<REFRESH, false>(p, i, k, live_lanes8(p.count - i));
}

AVX2_TARGET void forward_avx2(const WavePass& p) { p.refresh ? forward_pass8<true>(p) : forward_pass8<false>(p); }
AVX2_TARGET void backward_avx2(const WavePass& p) { p.refresh ? backward_pass8<true>(p) : backward_pass8<false>(p); }

AVX2_TARGET std::int32_t first_meeting_avx2(const std::int32_t* front, const std::int32_t* other,
                                            std::int32_t count, bool forward) {
    for (std::int32_t i = 0; i < count; i += 8) {
        const __m256i live = live_lanes8(count - i);
        const __m256i f = load8(front + i);
        const __m256i o = load8(other + i);
        // forward: f >= o, that is not (o > f); backward: f <= o, that is not (f > o).
        const __m256i apart = forward ? _mm256_cmpgt_epi32(o, f) : _mm256_cmpgt_epi32(f, o);
        const unsigned bits = lane_bits8(_mm256_andnot_si256(apart, live));
        if (bits != 0) return i + static_cast<std::int32_t>(ctz32(bits));
    }
    return -1;
}

// -------------------------------------------------------------------------------- AVX-512

AVX512_TARGET inline __mmask16 live_lanes16(std::int32_t remaining) {
    return remaining >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << remaining) - 1);
}

// A bit per lane whose windows' first bytes are equal.
AVX512_TARGET inline unsigned first_bytes_equal16(__m512i old_windows, __m512i new_windows) {
    return _mm512_testn_epi32_mask(_mm512_xor_si512(old_windows, new_windows), _mm512_set1_epi32(0xFF));
}

// The windows of a refresh wave's open lanes, from one value: from a 128-byte stretch of the
// value (two loads and a byte permute) when their bytes all lie in one, else gathered (the
// positions of one chunk's diagonals usually lie within 64 bytes of each other). `at`: the
// position of each lane's first window byte (forward: p; backward: p - WINDOW_BYTES), the
// caller has checked that every open lane's window lies inside the value. Backward windows
// come out in memory order and are reversed by the caller.
AVX512_TARGET inline __m512i windows_at16(const std::uint8_t* value, std::int64_t length, __m512i at, __mmask16 open) {
    if (length >= 128) {
        // A stretch centred on lane 0's position (a number even when lane 0 is not open).
        std::int64_t base = static_cast<std::int64_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(at))) - 64;
        if (base > length - 128) base = length - 128;
        if (base < 0) base = 0;
        const __m512i offsets = _mm512_sub_epi32(at, _mm512_set1_epi32(static_cast<std::int32_t>(base)));
        if (_mm512_mask_cmplt_epu32_mask(open, offsets, _mm512_set1_epi32(128 - WINDOW_BYTES + 1)) == open) {
            // Byte j of each lane's window is byte offset + j of the stretch.
            const __m512i index = _mm512_add_epi32(_mm512_mullo_epi32(offsets, _mm512_set1_epi32(0x01010101)),
                                                   _mm512_set1_epi32(0x03020100));
            return _mm512_permutex2var_epi8(_mm512_loadu_si512(value + base), index,
                                            _mm512_loadu_si512(value + base + 64));
        }
    }
    return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), open, at, value, 1);
}

AVX512_TARGET inline void refresh_forward16(const WavePass& p, std::int32_t i, __m512i x, __m512i y, __mmask16 open,
                                            __mmask16 live) {
    const __m512i old_at = _mm512_add_epi32(x, _mm512_set1_epi32(p.a));
    const __m512i new_at = _mm512_add_epi32(y, _mm512_set1_epi32(p.c));
    const __mmask16 near_end =
        _mm512_cmpgt_epi32_mask(old_at, _mm512_set1_epi32(static_cast<std::int32_t>(p.old_length - WINDOW_BYTES))) |
        _mm512_cmpgt_epi32_mask(new_at, _mm512_set1_epi32(static_cast<std::int32_t>(p.new_length - WINDOW_BYTES)));
    if ((near_end & open) != 0) {
        refresh_lanes(p, i, open, refresh_forward_lane);
        return;
    }
    const __m512i old_windows = windows_at16(p.old_value, p.old_length, old_at, open);
    const __m512i new_windows = windows_at16(p.new_value, p.new_length, new_at, open);
    _mm512_mask_storeu_epi32(p.out_old + i, live, old_windows);
    _mm512_mask_storeu_epi32(p.out_new + i, live, new_windows);
    extend_forward_lanes(p, i, first_bytes_equal16(old_windows, new_windows) & open);
}

AVX512_TARGET inline __m512i reverse_bytes16(__m512i words) {
    const __m512i order = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
    return _mm512_shuffle_epi8(words, order);
}

AVX512_TARGET inline void refresh_backward16(const WavePass& p, std::int32_t i, __m512i x, __m512i y, __mmask16 open,
                                             __mmask16 live) {
    const __m512i old_from = _mm512_add_epi32(x, _mm512_set1_epi32(p.a - WINDOW_BYTES));
    const __m512i new_from = _mm512_add_epi32(y, _mm512_set1_epi32(p.c - WINDOW_BYTES));
    const __m512i zero = _mm512_setzero_si512();
    if (((_mm512_cmplt_epi32_mask(old_from, zero) | _mm512_cmplt_epi32_mask(new_from, zero)) & open) != 0) {
        refresh_lanes(p, i, open, refresh_backward_lane);
        return;
    }
    const __m512i old_windows = reverse_bytes16(windows_at16(p.old_value, p.old_length, old_from, open));
    const __m512i new_windows = reverse_bytes16(windows_at16(p.new_value, p.new_length, new_from, open));
    _mm512_mask_storeu_epi32(p.out_old + i, live, old_windows);
    _mm512_mask_storeu_epi32(p.out_new + i, live, new_windows);
    extend_backward_lanes(p, i, first_bytes_equal16(old_windows, new_windows) & open);
}

// One chunk of 16 diagonals starting at entry i (k: their diagonal numbers), as the AVX2
// chunks, every store masked to the live lanes.
template <bool REFRESH>
AVX512_TARGET inline void forward_chunk16(const WavePass& p, std::int32_t i, __m512i k, __mmask16 live) {
    const __m512i before = _mm512_loadu_si512(p.prev + i);
    const __m512i after = _mm512_loadu_si512(p.prev + i + 1);
    const __mmask16 from_before = _mm512_cmpgt_epi32_mask(before, after);  // x stays, y moves on
    const __m512i x = _mm512_mask_blend_epi32(from_before, _mm512_add_epi32(after, _mm512_set1_epi32(1)), before);
    const __m512i y = _mm512_add_epi32(x, k);
    const __mmask16 open = _mm512_mask_cmpgt_epi32_mask(
        _mm512_mask_cmpgt_epi32_mask(live, _mm512_set1_epi32(p.n), x), _mm512_set1_epi32(p.m), y);
    _mm512_mask_storeu_epi32(p.out + i, live, x);
    if (REFRESH) {
        refresh_forward16(p, i, x, y, open, live);
        return;
    }
    const __m512i old_windows = _mm512_mask_blend_epi32(
        from_before, _mm512_srli_epi32(_mm512_loadu_si512(p.prev_old + i + 1), 8), _mm512_loadu_si512(p.prev_old + i));
    const __m512i new_windows = _mm512_mask_blend_epi32(
        from_before, _mm512_loadu_si512(p.prev_new + i + 1), _mm512_srli_epi32(_mm512_loadu_si512(p.prev_new + i), 8));
    _mm512_mask_storeu_epi32(p.out_old + i, live, old_windows);
    _mm512_mask_storeu_epi32(p.out_new + i, live, new_windows);
    extend_forward_lanes(p, i, first_bytes_equal16(old_windows, new_windows) & open);
}

template <bool REFRESH>
AVX512_TARGET inline void backward_chunk16(const WavePass& p, std::int32_t i, __m512i k, __mmask16 live) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i below = _mm512_loadu_si512(p.prev + i);
    const __m512i above = _mm512_loadu_si512(p.prev + i + 1);
    const __mmask16 from_above = _mm512_cmpgt_epi32_mask(below, above);  // x stays, y moves down
    const __m512i x = _mm512_mask_blend_epi32(from_above, _mm512_sub_epi32(below, _mm512_set1_epi32(1)), above);
    const __m512i floor = _mm512_max_epi32(_mm512_sub_epi32(zero, k), zero);
    const __mmask16 open = _mm512_mask_cmpgt_epi32_mask(live, x, floor);
    _mm512_mask_storeu_epi32(p.out + i, live, x);
    if (REFRESH) {
        refresh_backward16(p, i, x, _mm512_add_epi32(x, k), open, live);
        return;
    }
    const __m512i old_windows = _mm512_mask_blend_epi32(
        from_above, _mm512_srli_epi32(_mm512_loadu_si512(p.prev_old + i), 8), _mm512_loadu_si512(p.prev_old + i + 1));
    const __m512i new_windows = _mm512_mask_blend_epi32(
        from_above, _mm512_loadu_si512(p.prev_new + i), _mm512_srli_epi32(_mm512_loadu_si512(p.prev_new + i + 1), 8));
    _mm512_mask_storeu_epi32(p.out_old + i, live, old_windows);
    _mm512_mask_storeu_epi32(p.out_new + i, live, new_windows);
    extend_backward_lanes(p, i, first_bytes_equal16(old_windows, new_windows) & open);
}

template <bool REFRESH>
AVX512_TARGET void forward_pass16(const WavePass& p) {
    const __m512i step = _mm512_set1_epi32(32);
    __m512i k = _mm512_add_epi32(_mm512_set1_epi32(p.k0),
                                 _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30));
    for (std::int32_t i = 0; i < p.count; i += 16, k = _mm512_add_epi32(k, step)) {
        forward_chunk16<REFRESH>(p, i, k, live_lanes16(p.count - i));
    }
}

template <bool REFRESH>
AVX512_TARGET void backward_pass16(const WavePass& p) {
    const __m512i step = _mm512_set1_epi32(32);
    __m512i k = _mm512_add_epi32(_mm512_set1_epi32(p.k0 - p.delta),
                                 _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30));
    for (std::int32_t i = 0; i < p.count; i += 16, k = _mm512_add_epi32(k, step)) {
        backward_chunk16<REFRESH>(p, i, k, live_lanes16(p.count - i));
    }
}

AVX512_TARGET void forward_avx512(const WavePass& p) {
    p.refresh ? forward_pass16<true>(p) : forward_pass16<false>(p);
}
AVX512_TARGET void backward_avx512(const WavePass& p) {
    p.refresh ? backward_pass16<true>(p) : backward_pass16<false>(p);
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

#else

// Other processors, and compilers without GNU target attributes and processor checks (MSVC):
// no vector kernels, so every diff takes the portable path.
const WaveKernels* avx2_kernels() { return nullptr; }
const WaveKernels* avx512_kernels() { return nullptr; }

#endif

}  // namespace wave
}  // namespace quorvane
