// Block diff: finds the blocks of the new value that occur anywhere in the old value (moved,
// repeated, reordered), in one linear pass, and writes them in the ordinary delta format.
//
// The old value is indexed by a multiplicative hash of 8-byte windows, at every position
// or every 4th, in a table of 4-byte slots grouped in buckets: two slots per indexed
// position (so 8 bytes per indexed position, rounded up to whole buckets), at most half
// full. The new value is scanned once; every candidate is verified byte for byte and
// extended forward and backward; matches and literals go through the EditCoalescer, so
// the budget, the absorption of short copies and the whole-value fallback apply as for
// diff.
#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.h"
#include "common/stop.h"
#include "delta/raw/driver.h"
#include "delta/raw/writer.h"

namespace quorvane {

struct BlocksOptions {
    std::uint32_t stride;        // index every stride-th old position (1, 2, 4, ...: a power of two)
    std::uint32_t bucket_size;   // candidates per hash bucket (a power of two, at most 16)
    std::uint32_t lazy_steps;    // positions tried ahead before a short match is taken (any match: stride - 1)
    std::uint32_t skip_shift;    // after 2^skip_shift unmatched bytes the scan steps faster; 0: never
};

// The default setting (balanced) and the compact one (smaller deltas, more time and index).
BlocksOptions blocks_options_default();
BlocksOptions blocks_options_compact();

// Bytes of the index for an old value of `old_length` bytes under `options`.
std::uint64_t blocks_index_bytes(std::uint64_t old_length, const BlocksOptions& options);

// The engine entry: emits the edits turning old into new through `writer` (trace, when
// given, records every emission). Returns a result code of the writer, DIFF_NO_MEMORY or
// DIFF_CANCELLED (when `stop`, if given, said stop). Both values must be shorter than 2^31 bytes.
int diff_blocks_edits(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
                      DeltaWriter* writer, std::vector<EditCall>* trace = nullptr, const StopCheck* stop = nullptr);

// The block diff through the delta driver: a new vector with the delta (free it with
// byte_vector_free), or null with *failure set (failure may be null): DIFF_FAILURE_TOO_LARGE,
// DIFF_FAILURE_NO_MEMORY or DIFF_FAILURE_CANCELLED.
ByteVector* delta_diff_blocks(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
                              DiffFailure* failure = nullptr, const StopCheck* stop = nullptr);

}  // namespace quorvane
