// The byte comparisons of the delta producers: how many bytes two positions have in common
// going forward or backward, a machine word at a time (the diff search's snakes, the block
// diff's match extension, the compressed matcher's exact runs). The length type is the
// caller's: 32-bit positions for the raw format's producers, 64-bit ones for compress.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/compiler.h"

namespace quorvane {
namespace compare {

inline std::uint64_t load_word(const std::uint8_t* p) { return load_native<std::uint64_t>(p); }

// Equal bytes before the first difference of two words loaded from memory (difference: their
// XOR, not zero), in memory order.
inline unsigned leading_equal_bytes(std::uint64_t difference) {
    return (QUORVANE_BIG_ENDIAN ? clz64(difference) : ctz64(difference)) / 8;
}

// Equal bytes after the last difference, in memory order.
inline unsigned trailing_equal_bytes(std::uint64_t difference) {
    return (QUORVANE_BIG_ENDIAN ? ctz64(difference) : clz64(difference)) / 8;
}

// Long runs of equal bytes (the stretches between sparse edits, identical values) are
// compared a block at a time by the C library's memcmp, which is vectorised; a run is only
// taken to be long after a few equal words, since most snakes end within their first words.
// A caller whose runs are mostly a few dozen bytes (compress's matcher: copies with a
// changed byte every 40-120 bytes) compares words only (NEVER_BLOCKS): there a failing
// memcmp of a block cost more than the word loop, and its scan took 1.4 times as long.
constexpr std::int32_t WORDS_BEFORE_BLOCKS = 4;
constexpr std::int32_t NEVER_BLOCKS = -1;
constexpr int EQUAL_BLOCK = 256;

// Number of equal bytes at the start of a and b, at most `limit` (at least 1 byte is equal).
template <typename Length, std::int32_t WordsBeforeBlocks = WORDS_BEFORE_BLOCKS>
inline Length equal_forward_words(const std::uint8_t* a, const std::uint8_t* b, Length limit) {
    Length n = 1;
    for (std::int32_t words = 0; limit - n >= 8; ++words) {
        if (words == WordsBeforeBlocks) {
            while (limit - n >= EQUAL_BLOCK && std::memcmp(a + n, b + n, EQUAL_BLOCK) == 0) n += EQUAL_BLOCK;
            if (limit - n < 8) break;
        }
        const std::uint64_t difference = load_word(a + n) ^ load_word(b + n);
        if (difference != 0) return n + static_cast<Length>(leading_equal_bytes(difference));
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// Number of equal bytes just before a_end and b_end, at most `limit` (at least 1 is equal).
template <typename Length>
inline Length equal_backward_words(const std::uint8_t* a_end, const std::uint8_t* b_end, Length limit) {
    Length n = 1;
    for (std::int32_t words = 0; limit - n >= 8; ++words) {
        if (words == WORDS_BEFORE_BLOCKS) {
            while (limit - n >= EQUAL_BLOCK &&
                   std::memcmp(a_end - n - EQUAL_BLOCK, b_end - n - EQUAL_BLOCK, EQUAL_BLOCK) == 0) {
                n += EQUAL_BLOCK;
            }
            if (limit - n < 8) break;
        }
        const std::uint64_t difference = load_word(a_end - n - 8) ^ load_word(b_end - n - 8);
        if (difference != 0) return n + static_cast<Length>(trailing_equal_bytes(difference));
        n += 8;
    }
    while (n < limit && a_end[-n - 1] == b_end[-n - 1]) ++n;
    return n;
}

// Equal bytes at the start of a and b, at most `limit` (0 when the first ones differ). Most
// extensions in a search end at their first byte, so that byte is tested inline.
template <typename Length, std::int32_t WordsBeforeBlocks = WORDS_BEFORE_BLOCKS>
inline Length equal_forward(const std::uint8_t* a, const std::uint8_t* b, Length limit) {
    return limit > 0 && a[0] == b[0] ? equal_forward_words<Length, WordsBeforeBlocks>(a, b, limit) : 0;
}

// Equal bytes just before a_end and b_end, at most `limit` (0 when the last ones differ).
template <typename Length>
inline Length equal_backward(const std::uint8_t* a_end, const std::uint8_t* b_end, Length limit) {
    return limit > 0 && a_end[-1] == b_end[-1] ? equal_backward_words(a_end, b_end, limit) : 0;
}

}  // namespace compare
}  // namespace quorvane
