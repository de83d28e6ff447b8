// The delta driver shared by every producer of deltas (the diff search, the block diff):
// its opening steps (the size bound, the load monitor, a writer), the producer's run, and
// its closing steps (the monitor again, the choice among the writer's output, the
// whole-value delta and the unchanged marker, the failure reported when there is no delta).
// A producer only emits edits through the writer it is handed.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "delta/raw/writer.h"

namespace quorvane {

struct LoadMonitor;

enum DiffFailure : int {
    DIFF_FAILURE_NONE = 0,
    DIFF_FAILURE_TOO_LARGE = 1,  // a value of 2^31 bytes or more
    DIFF_FAILURE_NO_MEMORY = 2,
    DIFF_FAILURE_INVALID = 3,    // invalid ranges
    DIFF_FAILURE_CANCELLED = 4,  // the keep-going callback asked to stop
};

// diff_ranges result when memory ran out (besides -1 for invalid ranges and the result codes).
constexpr int DIFF_NO_MEMORY = -2;
// diff_ranges result when the keep-going callback asked to stop.
constexpr int DIFF_CANCELLED = -3;

// Largest value length the engine handles (its positions are signed 32-bit counts).
constexpr std::uint64_t DIFF_MAX_LENGTH = 0x7FFFFFFF;

// The driver's result for an engine result code: the writer's output (taken from the
// writer), the whole-value delta or the unchanged marker, replaced by the whole-value delta
// when not shorter than the new value; null for any other code, or with *no_memory set when
// memory runs out.
ByteVector* select_diff_result(int code, DeltaWriter* writer, const ByteVector* new_value, bool* no_memory);

// A producer: emits the edits turning old into new through `writer` at effort level `level`
// (0 when the driver has no monitor) and returns a result code of the writer,
// DIFF_NO_MEMORY, DIFF_CANCELLED or -1 (invalid ranges).
struct DeltaProducer {
    int (*produce)(void* context, const ByteVector* old_value, const ByteVector* new_value, int level,
                   DeltaWriter* writer);
    void* context;
};

// The driver: a new vector with the delta (free it with byte_vector_free), or null with
// *failure set (failure may be null). A monitor, when given, times the producer's run and
// chooses its effort level.
ByteVector* drive_delta(LoadMonitor* monitor, const ByteVector* old_value, const ByteVector* new_value,
                        const DeltaProducer& producer, DiffFailure* failure);

}  // namespace quorvane
