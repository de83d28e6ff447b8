// What each level of delta_compress does.
//
// Block mode runs the match finder (matcher.h) and compresses its streams with zstd; prefix
// mode compresses the whole new value with the old value as zstd's prefix, set up as zstd's
// own patch mode (entropy.h: zstd_prefix_settings), when old and new together fit zstd's
// 2 GiB window. Each row of the table below makes both modes, but for a mode far behind the
// other (MODE_GATE_RATIO); level k keeps the smallest frame of rows 1 to k (a row whose
// matcher and zstd levels equal the row before's adds nothing), so that a higher level's
// delta is never larger than a lower one's, at the cost of the lower rows' work (each row
// costs more than the rows below it together, or about as much). The top rows also try
// LZMA2 for every section and keep what is smallest.
//
// Memory beyond the inputs and the result: the index, 4 / 2^stride_log bytes per old byte
// (at most a quarter byte from LARGE_OLD_BYTES on: matcher.h); the streams, at most about the
// new value's size (copies of its literal bytes); zstd's tables (a few MiB at rows 1-2, up
// to 96 MiB for row 3's searched chains: entropy.h, up to a few hundred MiB at the top rows,
// where the prefix mode's window covers old and new); with two threads, both modes' at once.
#pragma once

#include <cstdint>

#include "delta/compressed/compress.h"
#include "delta/compressed/entropy.h"
#include "delta/compressed/matcher.h"

namespace quorvane {
namespace compressed {

struct LevelSettings {
    MatcherSettings matcher;  // block mode's match finder
    int block_zstd;           // zstd level of block mode's streams
    int prefix_zstd;          // zstd level of prefix mode
    int prefix_search;        // not 0: prefix mode's zstd searches hash chains over the whole
                              // window 2^prefix_search deep (entropy.h: zstd_prefix_settings)
    int lzma_preset;          // also try LZMA2 at this preset (0-6) and keep the smaller; -1: never
                              // (liblzma's 7-9 differ from 6 only in the dictionary size, which
                              // the format sets itself: lzma_dictionary_size)
    bool lzma_extreme;        // liblzma's slower search
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

// Rows after the first leave out a mode whose smallest frame so far is more than
// MODE_GATE_RATIO times the other mode's. Row 1's two frames are cheap (zstd's fastest
// setting), and a gap that wide between them does not close at the rows above: the prefix
// frames of binaries and archives of binaries are 2.1-4.3 times their block frames at row 1,
// still 1.9-2.8 times at row 3, and zstd's own patch mode at its top setting is 1.6-2.3
// times our block mode's top level on them, so they skip every prefix frame after row 1
// (40% of level 3's time, 80-90% of level 9's; no level's delta changed on the benchmark's
// twelve pairs). Texts and documents, whose two frames at row 1 are within 1.4 times of each
// other, make both.
constexpr std::uint64_t MODE_GATE_RATIO = 2;

// On a new value of LARGE_VALUE_BYTES or more, rows after the first also leave out the prefix
// mode while it is behind at all (its smallest frame so far is not smaller than the block
// mode's). There one prefix frame costs seconds, as zstd loads the whole old value into its
// tables again at each level (0.4, 1.0 and 2.3 s at rows 1-3 on a 256 MiB database-like pair
// with sparse edits), and on such pairs its higher levels gained nothing (the same size at
// rows 1-3, 36% above the block frame). Where the prefix mode leads, it goes on as below.
constexpr std::uint64_t LARGE_VALUE_BYTES = std::uint64_t{64} << 20;

// One row per level, 1 to 9. The matcher's columns: stride_log (index every 2^k-th old
// position), bucket_size (candidates per bucket), min_gain (bytes a new alignment must win
// by), skip_shift (faster steps after 2^k unmatched bytes; 0: never). Rows 1-2 switch
// alignments only for a gain of 16 bytes (fewer, longer copies: JSON with repeated stanzas
// took 7,449 bytes with a gain of 8 and 4,779 with 16 at level 1), the rows from 3 on for 8
// (4% smaller on binaries). Rows 1-5 index every 2nd old position in buckets of 8 and so share
// one index (rows 3 and 4 their streams too): row 3 at every 4th position made libcrypto's
// delta 7% larger (324,820 against 304,793 bytes) for no time saved once the index is shared.
// Block mode's streams go to zstd 18 from row 3 (btultra2, which prices literals before it
// parses): the differences and gaps of a rebuilt binary are a stream of small, repeating
// values that the lazy parser of 15 codes 9% larger (libcrypto 304,793 against 276,753 bytes;
// 16 and 17 gave 289,448 and 283,181, 19 only 0.2% more than 18 for a third more time), for
// about 60 ms more on its 830 KB of streams. LZMA2 at preset 1 was 3% smaller again, but
// decodes those streams about six times slower than zstd, beyond decompress's budget of
// three times patch. Row 4 keeps 18, so that it adds only its prefix frame.
// Prefix mode climbs zstd's strategies: 1-6 (fast, greedy and lazy parsing), 11 at row 3
// (lazy2 with a deep search: JSON documents with scattered edits 5-43% smaller than at 6 for
// about three times 6's time, which is 10-50 ms on a MB), 16 at row
// 4 (the optimal parser: a further 5-25% on documents; levels 13-15 are slower than 11-12
// and often larger) and 19 from row 5. 17 in between was never smaller than 19 on the
// benchmark's texts and documents for about the same time, so row 5 goes to 19 at once: its
// deltas 1-12% smaller there (emoji.json 39,989 -> 37,660 bytes, botocore's endpoints.json
// 1,848 -> 1,621), and every level from 6 on makes one prefix frame fewer (on pydoc's 0.8 MB
// each of 16, 17 and 19 cost 145-160 ms). 16 stays at row 4: it was the smaller of the two
// on a certificate bundle (4,758 against 4,772 bytes) and on CBOR records (3,390 against
// 3,422), which the levels above keep through it.
// Row 3's search column has zstd keep hash chains over the whole window and search them 2^9
// deep, where level 11's own row match finder keeps a few dozen recent
// positions per hash: the documents whose records begin alike (JSON stanzas, database pages,
// CBOR records, source archives) find their copies further back, 3-20% smaller (botocore's
// endpoints.json 2,396 -> 1,914 bytes of zstd frame, a 6 MB pip tarball 14,595 -> 13,151),
// for 1.3-4 times level 11's time (the cost of level 16's optimal parser is 10-30 times);
// 2^10 was a further 0-4% for up to twice 2^9's time on JSON with many like stanzas.
constexpr LevelSettings LEVELS[COMPRESS_MAX_LEVEL] = {
    // stride bucket gain skip    block  prefix  search  lzma  extreme      level
    {{1,     8,     16,  7},      1,     1,      0,      -1,   false},   // 1
    {{1,     8,     16,  7},      6,     6,      0,      -1,   false},   // 2
    {{1,     8,     8,   7},      18,    11,     9,      -1,   false},   // 3
    {{1,     8,     8,   7},      18,    16,     0,      -1,   false},   // 4
    {{1,     8,     8,   8},      19,    19,     0,      -1,   false},   // 5
    {{1,     16,    8,   8},      19,    19,     0,      -1,   false},   // 6
    {{0,     16,    8,   8},      19,    19,     0,      6,    false},   // 7
    {{0,     16,    8,   0},      19,    21,     0,      6,    false},   // 8
    {{0,     16,    8,   0},      22,    22,     0,      6,    true},    // 9
};

inline const LevelSettings& level_settings(int level) { return LEVELS[level - COMPRESS_MIN_LEVEL]; }

enum Modes : int {
    BOTH_MODES = 0,
    BLOCK_MODE_ONLY = 1,
    PREFIX_MODE_ONLY = 2,
};

// The frame of one row of settings alone: the smaller of its block and prefix frames, or the
// one mode asked for (the tests check with it that every field of every row changes the
// bytes of their corpus).
ByteVector* compress_with(const ByteVector* old_value, const ByteVector* new_value, const LevelSettings& settings,
                          Modes modes = BOTH_MODES, CompressFailure* failure = nullptr,
                          const CompressObserver* observer = nullptr);

}  // namespace compressed
}  // namespace quorvane
