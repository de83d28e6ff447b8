// Block mode's match finder: one linear scan of the new value against an index of the old
// one, producing the instruction streams of a compressed delta (before the entropy stage).
//
// The old value is indexed by a multiplicative hash of 8-byte windows at every stride-th
// position (4-byte slots in buckets, one slot per indexed position). The scan keeps a
// current copy at one alignment (old position - new position). Where an exact match of 8
// bytes or more at another alignment beats what the current alignment matches over the same
// bytes by `min_gain` bytes or more, the scan switches, in bsdiff's manner: the current copy
// is extended forward and the new one backward over the bytes between them while most of the
// bytes agree (each byte that agrees scores one, each that differs costs one; the extension
// keeps its best score), and what neither covers is literal. Copies therefore carry bytes
// that differ from their source; those are coded as the positions and differences of the
// differing bytes. Short runs of differing bytes between two stretches at the same alignment
// stay inside one copy.
#pragma once

#include <cstdint>
#include <vector>

#include "delta/compressed/format.h"
#include "delta/match/hash_index.h"

namespace quorvane {
namespace compressed {

struct MatcherSettings {
    int stride_log;             // index every 2^stride_log-th old position
    std::uint32_t bucket_size;  // candidates per hash bucket (a power of two)
    std::uint32_t min_gain;     // bytes a new alignment must match beyond the current one
    std::uint32_t skip_shift;   // after 2^skip_shift unmatched bytes the scan steps faster; 0: never
};

struct BlockStreams {
    HeapBytes stream[BLOCK_STREAMS];
    // The most unmatched bytes before any position where the scan found no candidate: the scan
    // stepped faster (skip_shift) only if this reached 2^skip_shift.
    std::uint64_t longest_unmatched = 0;
    std::uint64_t total() const {
        std::uint64_t sum = 0;
        for (const auto& s : stream) sum += s.size();
        return sum;
    }
};

// Old values of this size or more are indexed at every 16th position at least, whatever the
// settings say: the index then takes at most a quarter byte per old byte, and building it
// (a cache miss per position) no longer takes most of the call. A 256 MiB old value's index
// at every 2nd position took 512 MiB and 2.5 s to build; at every 16th the whole call took
// 1.1 s, for the same delta of that database-like pair with sparse edits. On a 107 MiB SQLite
// database after one transaction the delta was 0.4% larger than at every 8th position, and
// 5.5% larger at every 32nd.
constexpr std::uint64_t LARGE_OLD_BYTES = std::uint64_t{64} << 20;
constexpr int LARGE_OLD_LEAST_STRIDE_LOG = 4;

// The index's shape for these settings and an old value of `old_length` bytes.
match::IndexShape matcher_index_shape(const MatcherSettings& settings, std::uint64_t old_length);

// Bytes of the index for an old value of `old_length` bytes.
std::uint64_t matcher_index_bytes(std::uint64_t old_length, const MatcherSettings& settings);

// Whether two settings index an old value of `old_length` bytes alike (one index serves both).
bool same_index(const MatcherSettings& a, const MatcherSettings& b, std::uint64_t old_length);

// Whether a scan with `made` whose streams are `made_streams` scans as one with `wanted` would,
// making the same streams: the settings differ at most in skip_shift, and neither of the two
// skip_shifts would have stepped faster over the longest unmatched run that scan met.
bool same_scan(const MatcherSettings& made, const BlockStreams& made_streams, const MatcherSettings& wanted);

// Indexes the old value for find_blocks, with `threads` threads. Throws std::bad_alloc when
// memory runs out and Cancelled when the ticker says so.
void build_block_index(const std::uint8_t* old_data, std::uint64_t old_length, const MatcherSettings& settings,
                       int threads, Ticker* ticker, match::HashIndex* index);

// Fills `out` with the streams turning old into new, looking candidates up in `index` (built
// by build_block_index for these settings, or for settings that index alike). Throws
// std::bad_alloc when memory runs out and Cancelled when the ticker says so.
void find_blocks(const std::uint8_t* old_data, std::uint64_t old_length, const std::uint8_t* new_data,
                 std::uint64_t new_length, const MatcherSettings& settings, const match::HashIndex& index,
                 Ticker* ticker, BlockStreams* out);

}  // namespace compressed
}  // namespace quorvane
