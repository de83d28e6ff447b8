// XXH3 (64 bits, seed 0) of a value in slices, so that a long checksum can be stopped: the
// loop that checksum.cpp compiles once for any x86-64 processor and checksum_avx2.cpp once for
// AVX2. Everything here has internal linkage (xxHash's functions are static with
// XXH_INLINE_ALL, the loop is in an unnamed namespace), so that the AVX2 copy is never
// merged with the other one by the linker; include nothing else beside it in checksum_avx2.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quorvane {
namespace compressed {
namespace {

// Books `work` bytes with the caller's ticker (it may throw to stop the call).
using TickFunction = void (*)(void* context, std::uint64_t work);

// Values up to a slice are hashed in one call; longer ones slice by slice through a state,
// booked after each slice.
constexpr std::uint64_t CHECKSUM_SLICE = std::uint64_t{1} << 24;

std::uint64_t xxh3_in_slices(const std::uint8_t* data, std::uint64_t length, TickFunction tick, void* context) {
    if (length <= CHECKSUM_SLICE) return XXH3_64bits(data, static_cast<std::size_t>(length));
    XXH3_state_t state;
    XXH3_INITSTATE(&state);
    XXH3_64bits_reset(&state);
    for (std::uint64_t at = 0; at < length; at += CHECKSUM_SLICE) {
        const std::uint64_t slice = length - at < CHECKSUM_SLICE ? length - at : CHECKSUM_SLICE;
        XXH3_64bits_update(&state, data + at, static_cast<std::size_t>(slice));
        if (tick != nullptr) tick(context, slice);
    }
    return XXH3_64bits_digest(&state);
}

}  // namespace
}  // namespace compressed
}  // namespace quorvane
