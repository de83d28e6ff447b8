#include "delta/search/monitor.h"

#include <algorithm>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace quorvane {

std::uint64_t wall_clock_ms() {
#ifdef _WIN32
    FILETIME file_time;
    GetSystemTimePreciseAsFileTime(&file_time);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
    const std::uint64_t micros = ticks / 10 - 11644473600000000ull;  // 100 ns since 1601 -> us since 1970
    return micros / 1000000 * 1000 + micros % 1000000 / 1000;
#else
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
#endif
}

namespace {

std::uint64_t read_clock(const LoadMonitor* monitor) {
    return monitor->clock != nullptr ? monitor->clock() : wall_clock_ms();
}

std::uint64_t& slot(const LoadMonitor* monitor, std::uint64_t bucket) {
    return monitor->buckets[static_cast<std::int32_t>(bucket) & monitor->mask];
}

}  // namespace

void load_monitor_begin(LoadMonitor* monitor) {
    const std::uint64_t now = read_clock(monitor);
    const std::uint64_t e = now >> monitor->shift;
    for (std::uint64_t i = std::max(monitor->last + 1, e - monitor->window + 1); i <= e; ++i) {
        monitor->sum -= slot(monitor, i);
        slot(monitor, i) = 0;
    }
    monitor->start = now;
    monitor->last = e;
}

void load_monitor_end(LoadMonitor* monitor) {
    const std::uint64_t now = read_clock(monitor);
    const std::uint64_t elapsed = now - monitor->start;
    if (elapsed < monitor->full) {
        monitor->sum += elapsed;
        slot(monitor, monitor->last) += elapsed;
        return;
    }
    const std::uint64_t e = now >> monitor->shift;
    for (std::uint64_t i = std::max(monitor->last, e - monitor->window + 1); i <= e; ++i) {
        monitor->sum += monitor->full - slot(monitor, i);
        slot(monitor, i) = monitor->full;
    }
}

std::int32_t load_monitor_figure(const LoadMonitor* monitor) {
    const std::uint64_t total = slot(monitor, monitor->last - 1) - slot(monitor, monitor->last) + monitor->sum;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(total)) >> monitor->scale;
}

int effort_level_for_figure(std::int32_t figure) {
    if (figure < 128) return 0;
    if (figure < 166) return 1;
    if (figure < 204) return 2;
    if (figure < 243) return 3;
    return 4;
}

}  // namespace quorvane
