// The wave passes of the diff search in portable code, over the parity-split store of the
// vector paths (which take them for waves too short for a vector step). They give, wave by
// wave, the values of the reference search in diff.cpp.
#include <algorithm>

#include "delta/compare.h"
#include "delta/wave.h"

namespace quorvane {
namespace wave {
namespace {

using compare::equal_backward;
using compare::equal_forward;

void forward_portable(const WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    for (std::int32_t i = 0; i < p.count; ++i) {
        const std::int32_t before = p.prev[i];
        const std::int32_t after = p.prev[i + 1];
        const std::int32_t x = after < before ? before : after + 1;
        const std::int32_t y = x + p.k0 + 2 * i;
        const std::int32_t room = std::min(p.n - x, p.m - y);
        p.out[i] = x + (room > 0 ? equal_forward(old_base + x, new_base + y, room) : 0);
    }
}

void backward_portable(const WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    for (std::int32_t i = 0; i < p.count; ++i) {
        const std::int32_t below = p.prev[i];
        const std::int32_t above = p.prev[i + 1];
        const std::int32_t x = above < below ? above : below - 1;
        const std::int32_t k = p.k0 + 2 * i - p.delta;
        const std::int32_t floor = std::max(-k, 0);
        p.out[i] = x - (x > floor ? equal_backward(old_base + x, new_base + k + x, x - floor) : 0);
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
