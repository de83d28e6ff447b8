// Inside the diff engine: the wave passes over the parity-split diagonal store, with one
// implementation per instruction set (the portable one in wave_portable.cpp, AVX2 and
// AVX-512 ones in wave_x86.cpp). Every implementation gives the same values as the portable
// one.
#pragma once

#include <cstdint>

#include "delta/paths.h"

namespace quorvane {
namespace wave {

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

// The portable passes (wave_portable.cpp), which the vector paths take for short waves.
extern const WaveKernels PORTABLE_KERNELS;

// The kernels a path runs (from the list in paths.cpp); null for the portable path, whose
// search is the reference one over the interleaved store.
const WaveKernels* path_kernels(DiffPath path);

// The kernels of the processor-specific paths, or null when this build has none.
const WaveKernels* avx2_kernels();
const WaveKernels* avx512_kernels();
// Whether the processor has the instructions each path needs.
bool cpu_has_avx2();
bool cpu_has_avx512();

}  // namespace wave
}  // namespace quorvane
