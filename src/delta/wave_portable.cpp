// The wave passes of the diff search in portable code, over the parity-split store with its
// windows (the portable path's, and the vector paths' for waves too short for a vector
// step). They give, wave by wave, the values of the reference search in diff.cpp.
#include <algorithm>

#include "delta/wave.h"

namespace quorvane {
namespace wave {
namespace {

// Outside the refresh waves a pass is done in two loops: the first takes every diagonal's x
// and windows from its neighbours without a branch (compilers vectorise it), the second tests
// the first bytes from the stored windows and runs the snakes.
void forward_portable(const WavePass& p) {
    if (p.refresh) {
        for (std::int32_t i = 0; i < p.count; ++i) forward_lane(p, i);
        return;
    }
    const std::int32_t count = p.count;
    const std::int32_t* __restrict prev = p.prev;
    const std::uint64_t* __restrict prev_old = p.prev_old;
    const std::uint64_t* __restrict prev_new = p.prev_new;
    std::int32_t* __restrict out = p.out;
    std::uint64_t* __restrict out_old = p.out_old;
    std::uint64_t* __restrict out_new = p.out_new;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t before = prev[i];
        const std::int32_t after = prev[i + 1];
        const std::uint64_t from_before = 0 - static_cast<std::uint64_t>(after < before);  // x stays, y moves on
        out[i] = std::max(before, after + 1);
        out_old[i] = (prev_old[i] & from_before) | ((prev_old[i + 1] >> 8) & ~from_before);
        out_new[i] = ((prev_new[i] >> 8) & from_before) | (prev_new[i + 1] & ~from_before);
    }
    const std::int32_t n = p.n, m = p.m, k0 = p.k0;
    for (std::int32_t i = 0; i < count; ++i) {
        if (((out_old[i] ^ out_new[i]) & 0xFF) != 0) continue;
        const std::int32_t x = out[i];
        if (n - x > 0 && m - (x + k0 + 2 * i) > 0) extend_forward_lane(p, i);
    }
}

void backward_portable(const WavePass& p) {
    if (p.refresh) {
        for (std::int32_t i = 0; i < p.count; ++i) backward_lane(p, i);
        return;
    }
    const std::int32_t count = p.count;
    const std::int32_t* __restrict prev = p.prev;
    const std::uint64_t* __restrict prev_old = p.prev_old;
    const std::uint64_t* __restrict prev_new = p.prev_new;
    std::int32_t* __restrict out = p.out;
    std::uint64_t* __restrict out_old = p.out_old;
    std::uint64_t* __restrict out_new = p.out_new;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t below = prev[i];
        const std::int32_t above = prev[i + 1];
        const std::uint64_t from_above = 0 - static_cast<std::uint64_t>(above < below);  // x stays, y moves down
        out[i] = std::min(above, below - 1);
        out_old[i] = (prev_old[i + 1] & from_above) | ((prev_old[i] >> 8) & ~from_above);
        out_new[i] = ((prev_new[i + 1] >> 8) & from_above) | (prev_new[i] & ~from_above);
    }
    const std::int32_t k0 = p.k0 - p.delta;
    for (std::int32_t i = 0; i < count; ++i) {
        if (((out_old[i] ^ out_new[i]) & 0xFF) != 0) continue;
        const std::int32_t k = k0 + 2 * i;
        if (out[i] > (k < 0 ? -k : 0)) extend_backward_lane(p, i);
    }
}

std::int32_t first_meeting_portable(const std::int32_t* front, const std::int32_t* other, std::int32_t count,
                                    bool forward) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (forward ? front[i] >= other[i] : front[i] <= other[i]) return i;
    }
    return -1;
}

}  // namespace

extern const WaveKernels PORTABLE_KERNELS{forward_portable, backward_portable, first_meeting_portable, 1};

}  // namespace wave
}  // namespace quorvane
