// The diff engine: a bidirectional furthest-reaching search over the edit graph of two byte
// values, applied recursively around the shared stretches it finds, bounded by an effort
// limit (after which it splits at the best points reached), by the delta writer's byte
// budget and by the size of its diagonal store.
#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.h"
#include "common/stop.h"
#include "delta/raw/driver.h"
#include "delta/search/paths.h"
#include "delta/raw/writer.h"

namespace quorvane {

struct LoadMonitor;

// Which ways out of an exhausted search were taken (for tests that must reach each one).
struct DiffStatistics {
    std::uint64_t searches = 0;
    std::uint64_t snake_splits = 0;
    std::uint64_t progress_cuts = 0;       // the progress test lowered the effort
    std::uint64_t met_forward = 0;         // fallback split at the forward point
    std::uint64_t met_backward = 0;        // fallback split at the backward point
    std::uint64_t box_searched = 0;
    std::uint64_t box_halved = 0;
    std::uint64_t box_given_up = 0;
    std::uint64_t wave_bound_hits = 0;
};

// Optional observers of one engine call; null members are ignored.
struct DiffObserver {
    std::vector<EditCall>* trace = nullptr;
    DiffStatistics* statistics = nullptr;
    // Asked every few milliseconds of search work (every DIFF_KEEP_GOING_STEPS diagonal
    // steps); when it says stop the search stops at once, frees what it holds and the call
    // gives no result (DIFF_CANCELLED).
    StopCheck stop;
};

// Diagonal steps of search work between two questions of the stop check (a few milliseconds:
// a step is a nanosecond or two), counted without a clock.
constexpr std::int64_t DIFF_KEEP_GOING_STEPS = std::int64_t{1} << 21;

// The engine entry: the delta turning old[old_start, +old_length) into new[new_start, +new_length),
// written through `writer`. Returns -1 for invalid ranges, DIFF_NO_MEMORY, DIFF_CANCELLED, or
// a result code.
int diff_ranges(const ByteVector* old_value, std::int32_t old_start, std::int32_t old_length,
                const ByteVector* new_value, std::int32_t new_start, std::int32_t new_length, DeltaWriter* writer,
                std::int32_t store_limit, std::int32_t effort_limit, int level, const DiffObserver* observer = nullptr);

// The diff through the delta driver: a new vector with the delta (free it with
// byte_vector_free), or null with *failure set (failure may be null). A monitor, when given,
// chooses the effort level; an observer, when given, is handed to the engine entry.
ByteVector* delta_diff(LoadMonitor* monitor, const ByteVector* old_value, const ByteVector* new_value,
                       std::int32_t store_limit, std::int32_t effort_limit, DiffFailure* failure = nullptr,
                       const DiffObserver* observer = nullptr);

}  // namespace quorvane
