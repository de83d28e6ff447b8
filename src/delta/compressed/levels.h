// What each level of delta_compress does.
//
// Block mode runs the match finder (compress_matcher.h) and compresses its streams with zstd;
// prefix mode compresses the whole new value with the old value as zstd's prefix (when old
// and new together fit zstd's 2 GiB window and are at most prefix_max_bytes). Level 1 makes
// block mode only; levels 2-3 choose by the new value's kind (text: prefix mode); levels 4-9
// try both quickly and finish the one that wins clearly, or both (keeping the smaller). The
// top levels also try LZMA2 for every section and keep what is smallest.
//
// Memory beyond the inputs and the result: the index, 4 / 2^stride_log bytes per old byte;
// the streams, at most about the new value's size (copies of its literal bytes); zstd's
// tables (a few MiB at the low levels, up to a few hundred MiB at the top ones, where the
// prefix mode's window covers old and new).
#pragma once

#include <cstdint>

#include "delta/compressed/compress.h"
#include "delta/compressed/entropy.h"
#include "delta/compressed/matcher.h"

namespace quorvane {
namespace compressed {

// How a level chooses between block and prefix mode.
enum ModeChoice : int {
    CHOOSE_BLOCK = 0,     // block mode only
    CHOOSE_BY_KIND = 1,   // prefix mode for text, block mode for anything else
    CHOOSE_BY_TRIAL = 2,  // both at zstd's level 3 first; the final levels for the one that wins
                          // clearly, or for both when they are close
};

struct LevelSettings {
    ModeChoice choice;
    MatcherSettings matcher;
    int block_zstd;                  // zstd level of block mode's streams
    int prefix_zstd;                 // zstd level of prefix mode; 0: block mode only
    bool prefix_long;                // long-distance matching in prefix mode (for pairs of 8 MiB or more)
    std::uint64_t prefix_max_bytes;  // prefix mode only when old + new is at most this many bytes
    int lzma_preset;                 // also try LZMA2 at this preset (0-9) and keep the smaller; -1: never
    bool lzma_extreme;
};

// LZMA2 is tried for block streams of at most this size (its encoder takes about 11 bytes
// per dictionary byte), and in prefix mode when old + new is at most LZMA_PREFIX_MAX_BYTES:
// its match finder walks the whole old value as preset dictionary, which took 22-47 s on a
// 12 MB pair of source tarballs (for a delta no smaller than zstd's) but 2 s on 1.5 MB of
// text (1-9% smaller than zstd's).
constexpr std::uint64_t LZMA_STREAM_MAX_BYTES = std::uint64_t{64} << 20;
constexpr std::uint64_t LZMA_PREFIX_MAX_BYTES = std::uint64_t{2} << 20;

constexpr std::uint64_t MiB = std::uint64_t{1} << 20;
// zstd's largest window on 64-bit machines: 2 GiB.
constexpr std::uint64_t PREFIX_WINDOW_BYTES = std::uint64_t{1} << 31;

inline LevelSettings level_settings(int level) {
    switch (level) {
        case 1: return {CHOOSE_BLOCK, {3, 4, 8, 5}, 1, 0, false, 0, -1, false};
        case 2: return {CHOOSE_BY_KIND, {2, 4, 8, 6}, 6, 4, true, 256 * MiB, -1, false};
        case 3: return {CHOOSE_BY_KIND, {2, 8, 8, 6}, 15, 6, true, PREFIX_WINDOW_BYTES, -1, false};
        case 4: return {CHOOSE_BY_TRIAL, {1, 8, 8, 7}, 16, 12, true, PREFIX_WINDOW_BYTES, -1, false};
        case 5: return {CHOOSE_BY_TRIAL, {1, 8, 8, 8}, 17, 15, true, PREFIX_WINDOW_BYTES, -1, false};
        case 6: return {CHOOSE_BY_TRIAL, {1, 16, 8, 8}, 19, 17, true, PREFIX_WINDOW_BYTES, -1, false};
        case 7: return {CHOOSE_BY_TRIAL, {0, 16, 8, 8}, 19, 19, true, PREFIX_WINDOW_BYTES, 6, false};
        case 8: return {CHOOSE_BY_TRIAL, {0, 16, 8, 0}, 19, 21, true, PREFIX_WINDOW_BYTES, 9, false};
        default: return {CHOOSE_BY_TRIAL, {0, 16, 8, 0}, 22, 22, true, PREFIX_WINDOW_BYTES, 9, true};
    }
}

}  // namespace compressed
}  // namespace quorvane
