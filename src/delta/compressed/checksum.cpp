// Checksums of the compressed delta's frame: XXH3, 64 bits, seed 0, from the xxHash
// library's header (inlined, so that nothing is linked).
#include "delta/compressed/format.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace quorvane {
namespace compressed {

std::uint64_t checksum(const std::uint8_t* data, std::uint64_t length, Ticker* ticker) {
    constexpr std::uint64_t SLICE = std::uint64_t{1} << 24;
    if (length <= SLICE) return XXH3_64bits(data, static_cast<std::size_t>(length));
    XXH3_state_t state;
    XXH3_INITSTATE(&state);
    XXH3_64bits_reset(&state);
    for (std::uint64_t at = 0; at < length; at += SLICE) {
        const std::uint64_t slice = length - at < SLICE ? length - at : SLICE;
        XXH3_64bits_update(&state, data + at, static_cast<std::size_t>(slice));
        if (ticker != nullptr) ticker->tick(slice);
    }
    return XXH3_64bits_digest(&state);
}

}  // namespace compressed
}  // namespace quorvane
