// Stopping long engine calls: every call that may run for long (diff, diff_blocks, patch,
// compress, decompress) takes an optional StopCheck and asks it, every few milliseconds of
// work, whether to go on. When it says no, the call stops at once, frees what it holds and
// gives no result (a "cancelled" failure). The engine knows nothing of what the question
// means; the Python module asks the interpreter's signal handlers (module/signals.h), so
// that Ctrl-C raises KeyboardInterrupt.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace quorvane {

struct StopCheck {
    bool (*keep_going)(void* context) = nullptr;  // false: stop
    void* context = nullptr;
};

// The stop check of a helper thread: a flag that the calling thread raises when its own check
// says stop or its own work fails (only the calling thread asks the caller's check, which may
// need the interpreter).
struct SharedStop {
    std::atomic<bool> stop{false};
    StopCheck check() { return StopCheck{keep_going, this}; }
    static bool keep_going(void* context) {
        return !static_cast<SharedStop*>(context)->stop.load(std::memory_order_relaxed);
    }
};

// Raises a SharedStop when it goes: declared after the futures of helper threads, it is destroyed
// before them, so that their destructors wait only for helpers that have been told to stop
// (when the owner leaves by an exception; after a normal end they have ended already).
struct StopWhenLeaving {
    SharedStop* shared;
    ~StopWhenLeaving() { shared->stop.store(true, std::memory_order_relaxed); }
};

// Counts the work of one call and asks its StopCheck now and then.
//
// Work is counted in units of about a byte compared, hashed or copied (the diff search
// counts diagonal steps). The question is not asked at every unit: after every `period`
// units the ticker looks at the clock, and asks when `interval` has passed since it last
// asked. The period keeps the clock out of the inner loops; the interval keeps the question
// (for the module: taking the interpreter lock, which another thread may hold for up to
// its switch interval) from costing time when the units are cheap, as when checksumming.
// Work done inside a library call (zstd, liblzma) is fed to it in pieces, and poll() after
// each piece looks at the clock whatever the count. Whatever the clock says, the question
// comes after every ASK_EVERY units at the latest (so that a caller counting its questions
// sees the same number on a fast machine as on a slow one).
class WorkTicker {
public:
    // Units between two looks at the clock: 64 Ki units, under 100 ms even at the slowest
    // units of the block matchers (a bucket of candidates that all miss the cache).
    static constexpr std::uint64_t PERIOD = std::uint64_t{1} << 16;
    // Least time between two questions.
    static constexpr std::chrono::milliseconds INTERVAL{10};
    // Most units between two questions: 4 Mi (a millisecond or less of the cheapest units).
    static constexpr std::uint64_t ASK_EVERY = std::uint64_t{1} << 22;

    // `stop` may be null (never stops). A zero interval asks after every `period` units
    // without looking at the clock (the diff search, whose count of calls is fixed by its work).
    explicit WorkTicker(const StopCheck* stop, std::uint64_t period = PERIOD,
                        std::chrono::milliseconds interval = INTERVAL)
        : stop_(stop != nullptr && stop->keep_going != nullptr ? stop : nullptr),
          period_(period),
          interval_(interval),
          next_(stop_ != nullptr ? period : UINT64_MAX),
          last_(interval.count() != 0 && stop_ != nullptr ? std::chrono::steady_clock::now()
                                                          : std::chrono::steady_clock::time_point()) {}

    // Books `work` units; false when the call is to stop (then on every later call too).
    bool tick(std::uint64_t work) {
        done_ += work;
        return done_ < next_ || at_period();
    }

    // After a piece of work whose units are uncounted or slow: asks if the interval has passed.
    bool poll() {
        if (stop_ == nullptr) return true;
        if (stopped_) return false;
        if (interval_.count() != 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now - last_ < interval_) return true;
            last_ = now;
        }
        return ask();
    }

    // Asks at once (at the start of a call: a Ctrl-C pressed before it stops it before any work).
    bool check() {
        if (stop_ == nullptr) return true;
        if (stopped_) return false;
        if (interval_.count() != 0) last_ = std::chrono::steady_clock::now();
        return ask();
    }

    bool stopped() const { return stopped_; }

private:
    bool at_period() {
        next_ = done_ + period_;
        if (interval_.count() != 0 && done_ - asked_at_ >= ASK_EVERY && stop_ != nullptr && !stopped_) {
            last_ = std::chrono::steady_clock::now();
            return ask();
        }
        return poll();
    }

    bool ask() {
        asked_at_ = done_;
        if (!stop_->keep_going(stop_->context)) {
            stopped_ = true;
            next_ = 0;  // every later tick comes back here and says stop
        }
        return !stopped_;
    }

    const StopCheck* stop_;
    std::uint64_t period_;
    std::chrono::milliseconds interval_;
    std::uint64_t done_ = 0;
    std::uint64_t asked_at_ = 0;  // done_ when last asked
    std::uint64_t next_;
    std::chrono::steady_clock::time_point last_;
    bool stopped_ = false;
};

}  // namespace quorvane
