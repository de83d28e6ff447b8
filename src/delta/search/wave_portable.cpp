// The wave passes of the diff search in portable code, over the parity-split store with its
// windows (the portable path's, and the vector paths' for waves too short for a vector
// step). They give, wave by wave, the values of the reference search in diff.cpp.
#include <algorithm>

#include "delta/search/wave.h"

namespace quorvane {
namespace wave {
namespace {

// A pass is done in loops without a branch per diagonal (compilers vectorise them), a block
// of diagonals at a time: a step takes every diagonal's x and windows from its neighbours and
// notes whether any has windows whose first bytes are equal; only in blocks that have some
// are the diagonals tested one by one and their snakes run (when they have room). In a
// refresh wave the step covers the whole pass, then a loop loads the windows of the diagonals
// with room where they are, then every diagonal is tested.
constexpr std::int32_t BLOCK = 32;

// Whether the first bytes of two windows are equal, as 1 or 0.
QUORVANE_INLINE Window first_bytes_equal(Window old_window, Window new_window) {
    return (((old_window ^ new_window) & 0xFF) - 1) >> 31;
}

// The lanes [i, end) whose windows' first bytes are equal: a bit per lane (without a branch),
// then the lanes of the set bits.
template <typename Lane>
QUORVANE_INLINE void matching_lanes(const WavePass& p, std::int32_t i, std::int32_t end, Lane lane) {
    for (; i < end; i += BLOCK) {
        const std::int32_t count = std::min(BLOCK, end - i);
        std::uint32_t bits = 0;
        for (std::int32_t j = 0; j < count; ++j) bits |= first_bytes_equal(p.out_old[i + j], p.out_new[i + j]) << j;
        while (bits != 0) {
            lane(i + static_cast<std::int32_t>(ctz32(bits)));
            bits &= bits - 1;
        }
    }
}

// The x and windows of `count` diagonals from their neighbours' (restrict: the arrays of
// the previous wave and of this one are apart), and whether any of them has windows whose
// first bytes are equal (not 0).
QUORVANE_INLINE Window forward_step(std::int32_t count, const std::int32_t* __restrict prev, const Window* __restrict prev_old,
                  const Window* __restrict prev_new, std::int32_t* __restrict out, Window* __restrict out_old,
                  Window* __restrict out_new) {
    Window any = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t before = prev[i];
        const std::int32_t after = prev[i + 1];
        const Window from_before = 0 - static_cast<Window>(after < before);  // x stays, y moves on
        const Window old_window = (prev_old[i] & from_before) | ((prev_old[i + 1] >> 8) & ~from_before);
        const Window new_window = ((prev_new[i] >> 8) & from_before) | (prev_new[i + 1] & ~from_before);
        out[i] = std::max(before, after + 1);
        out_old[i] = old_window;
        out_new[i] = new_window;
        any |= first_bytes_equal(old_window, new_window);
    }
    return any;
}

QUORVANE_INLINE Window backward_step(std::int32_t count, const std::int32_t* __restrict prev, const Window* __restrict prev_old,
                   const Window* __restrict prev_new, std::int32_t* __restrict out, Window* __restrict out_old,
                   Window* __restrict out_new) {
    Window any = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t below = prev[i];
        const std::int32_t above = prev[i + 1];
        const Window from_above = 0 - static_cast<Window>(above < below);  // x stays, y moves down
        const Window old_window = (prev_old[i + 1] & from_above) | ((prev_old[i] >> 8) & ~from_above);
        const Window new_window = ((prev_new[i + 1] >> 8) & from_above) | (prev_new[i] & ~from_above);
        out[i] = std::min(above, below - 1);
        out_old[i] = old_window;
        out_new[i] = new_window;
        any |= first_bytes_equal(old_window, new_window);
    }
    return any;
}

// Outside the refresh waves: blocks of diagonals, each tested one by one only when its
// step found equal first bytes.
template <typename Step, typename Lane>
QUORVANE_INLINE void blocks(const WavePass& p, Step step, Lane lane) {
    std::int32_t i = 0;
    for (; i + BLOCK <= p.count; i += BLOCK) {
        if (step(i, BLOCK) != 0) matching_lanes(p, i, i + BLOCK, lane);
    }
    if (i < p.count && step(i, p.count - i) != 0) matching_lanes(p, i, p.count, lane);
}

void forward_portable(const WavePass& p) {
    const std::int32_t n = p.n, m = p.m, k0 = p.k0;
    const auto extend = [&](std::int32_t i) {
        const std::int32_t x = p.out[i];
        if (n - x > 0 && m - (x + k0 + 2 * i) > 0) extend_forward_lane(p, i);
    };
    if (!p.refresh) {
        blocks(
            p,
            [&](std::int32_t i, std::int32_t count) {
                return forward_step(count, p.prev + i, p.prev_old + i, p.prev_new + i, p.out + i, p.out_old + i,
                                    p.out_new + i);
            },
            extend);
        return;
    }
    forward_step(p.count, p.prev, p.prev_old, p.prev_new, p.out, p.out_old, p.out_new);
    const std::int32_t count = p.count;
    std::int32_t* out = p.out;
    Window* out_old = p.out_old;
    Window* out_new = p.out_new;
    if (std::int64_t{p.a} + n + WINDOW_BYTES <= p.old_length &&
        std::int64_t{p.c} + m + WINDOW_BYTES <= p.new_length) {
        // The windows of the diagonals with room loaded where they are; every position of the
        // sub-problem has a whole window in its value, so every diagonal loads one, without a
        // branch, at its position held inside the sub-problem (the same position when it has
        // room).
        const std::uint8_t* old_base = p.old_value + p.a;
        const std::uint8_t* new_base = p.new_value + p.c;
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t x = std::min(out[i], n);
            const std::int32_t y = std::min(std::max(x + k0 + 2 * i, 0), m);
            out_old[i] = window_forward(old_base + x, WINDOW_BYTES);
            out_new[i] = window_forward(new_base + y, WINDOW_BYTES);
        }
    } else {
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t x = out[i], y = x + k0 + 2 * i;
            if (n - x <= 0 || m - y <= 0) continue;
            out_old[i] = window_forward(p.old_value + p.a + x, p.old_length - p.a - x);
            out_new[i] = window_forward(p.new_value + p.c + y, p.new_length - p.c - y);
        }
    }
    matching_lanes(p, 0, count, extend);
}

void backward_portable(const WavePass& p) {
    const std::int32_t k0 = p.k0 - p.delta;
    const auto extend = [&](std::int32_t i) {
        const std::int32_t k = k0 + 2 * i;
        if (p.out[i] > (k < 0 ? -k : 0)) extend_backward_lane(p, i);
    };
    if (!p.refresh) {
        blocks(
            p,
            [&](std::int32_t i, std::int32_t count) {
                return backward_step(count, p.prev + i, p.prev_old + i, p.prev_new + i, p.out + i, p.out_old + i,
                                     p.out_new + i);
            },
            extend);
        return;
    }
    backward_step(p.count, p.prev, p.prev_old, p.prev_new, p.out, p.out_old, p.out_new);
    const std::int32_t count = p.count;
    std::int32_t* out = p.out;
    Window* out_old = p.out_old;
    Window* out_new = p.out_new;
    if (p.a >= WINDOW_BYTES && p.c >= WINDOW_BYTES) {  // as in the forward pass
        const std::uint8_t* old_base = p.old_value + p.a;
        const std::uint8_t* new_base = p.new_value + p.c;
        const std::int32_t n = p.n, m = p.m;
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t x = std::min(std::max(out[i], 0), n);
            const std::int32_t y = std::min(std::max(x + k0 + 2 * i, 0), m);
            out_old[i] = window_backward(old_base + x, WINDOW_BYTES);
            out_new[i] = window_backward(new_base + y, WINDOW_BYTES);
        }
    } else {
        for (std::int32_t i = 0; i < count; ++i) {
            const std::int32_t x = out[i], k = k0 + 2 * i;
            if (x <= (k < 0 ? -k : 0)) continue;
            out_old[i] = window_backward(p.old_value + p.a + x, std::int64_t{p.a} + x);
            out_new[i] = window_backward(p.new_value + p.c + k + x, std::int64_t{p.c} + k + x);
        }
    }
    matching_lanes(p, 0, count, extend);
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

}  // namespace

extern const WaveKernels PORTABLE_KERNELS{forward_portable, backward_portable, first_meeting_portable, 1};

}  // namespace wave
}  // namespace quorvane
