// The wave passes of the diff search in portable code, over the parity-split store with its
// windows (the portable path's, and the vector paths' for waves too short for a vector
// step). They give, wave by wave, the values of the reference search in diff.cpp.
#include <algorithm>

#include "delta/wave.h"

namespace quorvane {
namespace wave {
namespace {

// A pass is done in loops without a branch per diagonal (compilers vectorise them): the first
// takes every diagonal's x and windows from its neighbours (in a refresh wave, a second loop
// then loads the windows of the diagonals with room where they are), the last looks for
// windows whose first bytes are equal a group of diagonals at a time; only in groups that have
// some are the diagonals tested one by one and their snakes run (when they have room).
constexpr std::int32_t GROUP = 16;

// Whether the first bytes of two windows are equal, as 1 or 0.
QUORVANE_INLINE Window first_bytes_equal(Window old_window, Window new_window) {
    return (((old_window ^ new_window) & 0xFF) - 1) >> 31;
}

template <typename Lane>
QUORVANE_INLINE void matching_lanes(const WavePass& p, Lane lane) {
    const Window* __restrict old_windows = p.out_old;
    const Window* __restrict new_windows = p.out_new;
    for (std::int32_t i = 0; i < p.count; i += GROUP) {
        const std::int32_t count = std::min(GROUP, p.count - i);
        Window any = 0;
        for (std::int32_t j = i; j < i + count; ++j) any |= first_bytes_equal(old_windows[j], new_windows[j]);
        if (any == 0) continue;
        for (std::int32_t j = i; j < i + count; ++j) {
            if (first_bytes_equal(p.out_old[j], p.out_new[j]) != 0) lane(j);
        }
    }
}

// The x and windows of `count` diagonals from their neighbours' (restrict: the arrays of
// the previous wave and of this one are apart).
void forward_step(std::int32_t count, const std::int32_t* __restrict prev, const Window* __restrict prev_old,
                  const Window* __restrict prev_new, std::int32_t* __restrict out, Window* __restrict out_old,
                  Window* __restrict out_new) {
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t before = prev[i];
        const std::int32_t after = prev[i + 1];
        const Window from_before = 0 - static_cast<Window>(after < before);  // x stays, y moves on
        out[i] = std::max(before, after + 1);
        out_old[i] = (prev_old[i] & from_before) | ((prev_old[i + 1] >> 8) & ~from_before);
        out_new[i] = ((prev_new[i] >> 8) & from_before) | (prev_new[i + 1] & ~from_before);
    }
}

void backward_step(std::int32_t count, const std::int32_t* __restrict prev, const Window* __restrict prev_old,
                   const Window* __restrict prev_new, std::int32_t* __restrict out, Window* __restrict out_old,
                   Window* __restrict out_new) {
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t below = prev[i];
        const std::int32_t above = prev[i + 1];
        const Window from_above = 0 - static_cast<Window>(above < below);  // x stays, y moves down
        out[i] = std::min(above, below - 1);
        out_old[i] = (prev_old[i + 1] & from_above) | ((prev_old[i] >> 8) & ~from_above);
        out_new[i] = ((prev_new[i + 1] >> 8) & from_above) | (prev_new[i] & ~from_above);
    }
}

void forward_portable(const WavePass& p) {
    forward_step(p.count, p.prev, p.prev_old, p.prev_new, p.out, p.out_old, p.out_new);
    const std::int32_t count = p.count;
    std::int32_t* out = p.out;
    Window* out_old = p.out_old;
    Window* out_new = p.out_new;
    const std::int32_t n = p.n, m = p.m, k0 = p.k0;
    if (p.refresh) {  // the windows of the diagonals with room loaded where they are
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t x = out[i], y = x + k0 + 2 * i;
            if (n - x <= 0 || m - y <= 0) continue;
            out_old[i] = window_forward(p.old_value + p.a + x, p.old_length - p.a - x);
            out_new[i] = window_forward(p.new_value + p.c + y, p.new_length - p.c - y);
        }
    }
    matching_lanes(p, [&](std::int32_t i) {
        const std::int32_t x = p.out[i];
        if (n - x > 0 && m - (x + k0 + 2 * i) > 0) extend_forward_lane(p, i);
    });
}

void backward_portable(const WavePass& p) {
    backward_step(p.count, p.prev, p.prev_old, p.prev_new, p.out, p.out_old, p.out_new);
    const std::int32_t count = p.count;
    std::int32_t* out = p.out;
    Window* out_old = p.out_old;
    Window* out_new = p.out_new;
    const std::int32_t k0 = p.k0 - p.delta;
    if (p.refresh) {
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t x = out[i], k = k0 + 2 * i;
            if (x <= (k < 0 ? -k : 0)) continue;
            out_old[i] = window_backward(p.old_value + p.a + x, std::int64_t{p.a} + x);
            out_new[i] = window_backward(p.new_value + p.c + k + x, std::int64_t{p.c} + k + x);
        }
    }
    matching_lanes(p, [&](std::int32_t i) {
        const std::int32_t k = k0 + 2 * i;
        if (p.out[i] > (k < 0 ? -k : 0)) extend_backward_lane(p, i);
    });
}

// A span of diagonals at a time: whether any meets, without a branch (compilers vectorise
// it), then which.
template <bool FORWARD>
std::int32_t first_meeting_spans(const std::int32_t* __restrict front, const std::int32_t* __restrict other,
                                 std::int32_t count) {
    constexpr std::int32_t SPAN = 32;
    const auto meets = [](std::int32_t f, std::int32_t o) { return FORWARD ? f >= o : f <= o; };
    std::int32_t i = 0;
    for (; i + SPAN <= count; i += SPAN) {
        std::uint32_t any = 0;
        for (std::int32_t j = 0; j < SPAN; ++j) any |= meets(front[i + j], other[i + j]) ? 1u : 0u;
        if (any != 0) break;
    }
    for (; i < count; ++i) {
        if (meets(front[i], other[i])) return i;
    }
    return -1;
}

std::int32_t first_meeting_portable(const std::int32_t* front, const std::int32_t* other, std::int32_t count,
                                    bool forward) {
    return forward ? first_meeting_spans<true>(front, other, count) : first_meeting_spans<false>(front, other, count);
}

// The passes lane by lane, for waves of a few diagonals (on every path).
void forward_lanes(const WavePass& p) {
    for (std::int32_t i = 0; i < p.count; ++i) forward_lane(p, i);
}

void backward_lanes(const WavePass& p) {
    for (std::int32_t i = 0; i < p.count; ++i) backward_lane(p, i);
}

std::int32_t first_meeting_lanes(const std::int32_t* front, const std::int32_t* other, std::int32_t count,
                                 bool forward) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (forward ? front[i] >= other[i] : front[i] <= other[i]) return i;
    }
    return -1;
}

}  // namespace

extern const WaveKernels PORTABLE_KERNELS{forward_portable, backward_portable, first_meeting_portable, 1};
extern const WaveKernels SHORT_WAVE_KERNELS{forward_lanes, backward_lanes, first_meeting_lanes, 1};

}  // namespace wave
}  // namespace quorvane
