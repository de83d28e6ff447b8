// Inside the diff engine: the wave passes over the parity-split diagonal store, with one
// implementation per instruction set (the portable one in wave_portable.cpp, AVX2 and
// AVX-512 ones in wave_x86.cpp). Every implementation gives the same values as the portable
// one.
#pragma once

#include <cstdint>

#include "common/compiler.h"
#include "delta/match/compare.h"
#include "delta/search/paths.h"

namespace quorvane {
namespace wave {

// Entries of padding before and after each array of the parity-split store, so that a
// vector of up to 16 lanes that starts inside an array stays inside its block.
constexpr std::int64_t STORE_PADDING = 32;

// Each diagonal's entry in the store keeps, beside its x, a window of the next bytes of both
// values from that point on: the old value's bytes at x, x + 1, ... and the new value's at
// y, y + 1, ... (backward: the bytes before x and y, going down), in bits 0-7, 8-15, ... of
// one 32-bit word each, the width of x itself. A diagonal's x comes from a neighbour's, with
// one of the two positions moved on by one byte, so its windows are that neighbour's with one
// of them shifted by 8 bits: the first bytes of the next snake are tested from the store,
// without loads from positions far apart. A pass loads windows only after a snake and in every
// REFRESH_WAVES-th wave (d a multiple of it, and the search's start), so that a window has
// served at most REFRESH_WAVES - 1 waves, and has lost at most that many of its bytes, when it
// is read. Windows of diagonals that have reached the end of their sub-problem are not kept up
// (nor are any of theirs read: every diagonal that comes from such a diagonal is at the end too).
using Window = std::uint32_t;
constexpr std::int32_t WINDOW_BYTES = 4;
constexpr std::int32_t REFRESH_WAVES = WINDOW_BYTES;

// One pass of one wave over `count` diagonals k0, k0 + 2, ... of the wave's parity (for the
// backward pass: k' = k0, k0 + 2, ..., with k = k' - delta).
//   prev[i], prev[i + 1]: the front's values of the previous wave on diagonals k - 1, k + 1;
//   out[i]: receives the furthest x on diagonal k (prev and out are different arrays, each
//   padded by STORE_PADDING entries); prev_old/prev_new and out_old/out_new: the windows of
//   the same entries.
// The sub-problem's first bytes lie at absolute positions a and c of values of old_length
// and new_length bytes starting at old_value and new_value. Only entries [0, count) of the
// out arrays are written. refresh: this wave loads every window; valid: WINDOW_BYTES less the
// waves since the last refresh.
struct WavePass {
    const std::uint8_t* old_value;
    const std::uint8_t* new_value;
    std::int64_t old_length;
    std::int64_t new_length;
    std::int32_t a, c, n, m;
    std::int32_t delta;
    std::int32_t k0;
    std::int32_t count;
    bool refresh;
    std::int32_t valid;  // the leading bytes of every window that are surely the value's (1 to 4)
    const std::int32_t* prev;
    std::int32_t* out;
    const Window* prev_old;
    const Window* prev_new;
    Window* out_old;
    Window* out_new;
};

// The window of the bytes at p, p + 1, ... of a value with `available` bytes from p on.
QUORVANE_INLINE Window window_forward(const std::uint8_t* p, std::int64_t available) {
    if (QUORVANE_LIKELY(available >= WINDOW_BYTES)) {
        const Window word = load_native<Window>(p);
        return QUORVANE_BIG_ENDIAN ? bswap32(word) : word;
    }
    Window window = 0;
    for (std::int64_t i = 0; i < available; ++i) window |= Window{p[i]} << (8 * i);
    return window;
}

// The window of the bytes at p - 1, p - 2, ... of a value with `available` bytes before p.
QUORVANE_INLINE Window window_backward(const std::uint8_t* p, std::int64_t available) {
    if (QUORVANE_LIKELY(available >= WINDOW_BYTES)) return load_be32(p - WINDOW_BYTES);
    Window window = 0;
    for (std::int64_t i = 0; i < available; ++i) window |= Window{p[-1 - i]} << (8 * i);
    return window;
}

// The snake of lane i of a forward pass, whose first bytes are equal: out[i] moves to its end
// and the lane's windows are loaded there.
// A snake that ends inside the windows' valid bytes is measured from them.
QUORVANE_INLINE std::int32_t equal_in_windows(const WavePass& p, std::int32_t i) {
    const Window difference = p.out_old[i] ^ p.out_new[i];
    const std::int32_t equal = difference == 0 ? WINDOW_BYTES : static_cast<std::int32_t>(ctz32(difference) / 8);
    return equal < p.valid ? equal : -1;  // -1: the snake may go on past them
}

QUORVANE_INLINE void extend_forward_lane(const WavePass& p, std::int32_t i) {
    const std::int32_t x = p.out[i];
    const std::int32_t y = x + p.k0 + 2 * i;
    const std::int32_t room = p.n - x < p.m - y ? p.n - x : p.m - y;
    const std::int32_t known = equal_in_windows(p, i);
    const std::int32_t s = known >= 0 ? (known < room ? known : room)
                                      : compare::equal_forward_words(p.old_value + p.a + x, p.new_value + p.c + y, room);
    p.out[i] = x + s;
    if (s < room) {
        p.out_old[i] = window_forward(p.old_value + p.a + x + s, p.old_length - p.a - x - s);
        p.out_new[i] = window_forward(p.new_value + p.c + y + s, p.new_length - p.c - y - s);
    }
}

QUORVANE_INLINE void extend_backward_lane(const WavePass& p, std::int32_t i) {
    const std::int32_t x = p.out[i];
    const std::int32_t k = p.k0 + 2 * i - p.delta;
    const std::int32_t floor = k < 0 ? -k : 0;
    const std::int32_t known = equal_in_windows(p, i);
    const std::int32_t s =
        known >= 0 ? (known < x - floor ? known : x - floor)
                   : compare::equal_backward_words(p.old_value + p.a + x, p.new_value + p.c + k + x, x - floor);
    p.out[i] = x - s;
    if (x - s > floor) {
        p.out_old[i] = window_backward(p.old_value + p.a + x - s, std::int64_t{p.a} + x - s);
        p.out_new[i] = window_backward(p.new_value + p.c + k + x - s, std::int64_t{p.c} + k + x - s);
    }
}

// Lane i of a refresh wave whose x is stored and open (room after it): its windows loaded
// there, and its snake when the first bytes match.
QUORVANE_INLINE void refresh_forward_lane(const WavePass& p, std::int32_t i) {
    const std::int32_t x = p.out[i];
    const std::int32_t y = x + p.k0 + 2 * i;
    const Window old_window = window_forward(p.old_value + p.a + x, p.old_length - p.a - x);
    const Window new_window = window_forward(p.new_value + p.c + y, p.new_length - p.c - y);
    p.out_old[i] = old_window;
    p.out_new[i] = new_window;
    if (((old_window ^ new_window) & 0xFF) == 0) extend_forward_lane(p, i);
}

QUORVANE_INLINE void refresh_backward_lane(const WavePass& p, std::int32_t i) {
    const std::int32_t x = p.out[i];
    const std::int32_t k = p.k0 + 2 * i - p.delta;
    const Window old_window = window_backward(p.old_value + p.a + x, std::int64_t{p.a} + x);
    const Window new_window = window_backward(p.new_value + p.c + k + x, std::int64_t{p.c} + k + x);
    p.out_old[i] = old_window;
    p.out_new[i] = new_window;
    if (((old_window ^ new_window) & 0xFF) == 0) extend_backward_lane(p, i);
}

// Lane i of a pass in portable code: its x and windows from the previous wave's neighbours,
// the first-byte test from the windows and, when it matches, the snake.
QUORVANE_INLINE void forward_lane(const WavePass& p, std::int32_t i) {
    const std::int32_t before = p.prev[i];
    const std::int32_t after = p.prev[i + 1];
    const bool from_before = after < before;  // x stays, y moves on
    const std::int32_t x = from_before ? before : after + 1;
    Window old_window = from_before ? p.prev_old[i] : p.prev_old[i + 1] >> 8;
    Window new_window = from_before ? p.prev_new[i] >> 8 : p.prev_new[i + 1];
    const std::int32_t y = x + p.k0 + 2 * i;
    const bool open = p.n - x > 0 && p.m - y > 0;
    if (open && p.refresh) {
        old_window = window_forward(p.old_value + p.a + x, p.old_length - p.a - x);
        new_window = window_forward(p.new_value + p.c + y, p.new_length - p.c - y);
    }
    p.out[i] = x;
    p.out_old[i] = old_window;
    p.out_new[i] = new_window;
    if (open && ((old_window ^ new_window) & 0xFF) == 0) extend_forward_lane(p, i);
}

QUORVANE_INLINE void backward_lane(const WavePass& p, std::int32_t i) {
    const std::int32_t below = p.prev[i];
    const std::int32_t above = p.prev[i + 1];
    const bool from_above = above < below;  // x stays, y moves down
    const std::int32_t x = from_above ? above : below - 1;
    Window old_window = from_above ? p.prev_old[i + 1] : p.prev_old[i] >> 8;
    Window new_window = from_above ? p.prev_new[i + 1] >> 8 : p.prev_new[i];
    const std::int32_t k = p.k0 + 2 * i - p.delta;
    const std::int32_t floor = k < 0 ? -k : 0;
    const bool open = x > floor;
    if (open && p.refresh) {
        old_window = window_backward(p.old_value + p.a + x, std::int64_t{p.a} + x);
        new_window = window_backward(p.new_value + p.c + k + x, std::int64_t{p.c} + k + x);
    }
    p.out[i] = x;
    p.out_old[i] = old_window;
    p.out_new[i] = new_window;
    if (open && ((old_window ^ new_window) & 0xFF) == 0) extend_backward_lane(p, i);
}

struct WaveKernels {
    void (*forward)(const WavePass& pass);
    void (*backward)(const WavePass& pass);
    // The first i < count with front[i] >= other[i] (reaching = forward) or front[i] <= other[i]
    // (backward), or -1.
    std::int32_t (*first_meeting)(const std::int32_t* front, const std::int32_t* other, std::int32_t count,
                                  bool forward);
    int lanes;  // diagonals per vector step
};

// The portable passes (wave_portable.cpp).
extern const WaveKernels PORTABLE_KERNELS;

// The overlap test lane by lane, for waves of a few diagonals (their passes go lane by lane
// too, forward_lane and backward_lane, on every path).
inline std::int32_t first_meeting_lanes(const std::int32_t* front, const std::int32_t* other, std::int32_t count,
                                        bool forward) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (forward ? front[i] >= other[i] : front[i] <= other[i]) return i;
    }
    return -1;
}

// The kernels a path runs (from the list in paths.cpp); null for the reference path, whose
// search runs over the interleaved store with the byte comparisons inline.
const WaveKernels* path_kernels(DiffPath path);

// The kernels of the processor-specific paths, or null when this build has none.
const WaveKernels* avx2_kernels();
const WaveKernels* avx512_kernels();

}  // namespace wave
}  // namespace quorvane
