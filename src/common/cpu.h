// What the processor can run: the one place that asks it, for every implementation chosen at
// run time (the diff search's wave passes, the frame checksums).
#pragma once

#include <atomic>

namespace quorvane {

// AVX2 with BMI1, BMI2 and POPCNT; false on other processors and with compilers that cannot
// ask (MSVC).
bool cpu_has_avx2();
// The above and AVX-512 F, BW, VL and VBMI.
bool cpu_has_avx512();

// The implementation chosen for one concern (its paths numbered by an enum): the default,
// asked once on first use, or the one a test forced. Every thread sees the same choice.
class ChosenPath {
public:
    // The chosen path; on first use, `default_path()` (the first one this processor runs).
    template <class Default>
    int get(Default default_path) {
        int path = chosen_.load(std::memory_order_relaxed);
        if (path >= 0) return path;
        int unset = -1;
        chosen_.compare_exchange_strong(unset, default_path(), std::memory_order_relaxed);
        return chosen_.load(std::memory_order_relaxed);
    }

    // Forces `path` when it is available here; false (and the choice unchanged) otherwise.
    bool set(int path, bool available) {
        if (available) chosen_.store(path, std::memory_order_relaxed);
        return available;
    }

private:
    std::atomic<int> chosen_{-1};
};

}  // namespace quorvane
