// Load monitor: a ring of time buckets over a sliding window recording how many
// milliseconds the watched diffs took; its figure lets the diff driver lower its effort.
#pragma once

#include <cstdint>

namespace quorvane {

// Milliseconds since 1970-01-01 UTC from the system's precise wall clock.
std::uint64_t wall_clock_ms();

struct LoadMonitor {
    std::uint32_t level;        // effort level last chosen by the driver
    std::uint64_t* buckets;     // ring of mask + 1 slots (owned by the creator)
    std::uint64_t window;       // buckets in the sliding window
    std::uint64_t full;         // value of a saturated bucket, in milliseconds
    std::uint32_t shift;        // bucket number = milliseconds >> shift
    std::int32_t mask;          // ring slot = bucket number AND mask
    std::uint64_t last;         // bucket number of the latest begin
    std::uint64_t start;        // clock reading at the latest begin
    std::uint64_t sum;          // total of the buckets in the window
    std::uint32_t scale;        // right shift applied to the figure
    std::uint64_t (*clock)();   // the clock to read; null: wall_clock_ms
};

void load_monitor_begin(LoadMonitor* monitor);
void load_monitor_end(LoadMonitor* monitor);
std::int32_t load_monitor_figure(const LoadMonitor* monitor);

// The effort level for a load figure: 0 below 128, 1 below 166, 2 below 204, 3 below 243, else 4.
int effort_level_for_figure(std::int32_t figure);

}  // namespace quorvane
