#include "delta/match/hash_index.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <new>
#include <system_error>
#include <vector>

namespace quorvane {
namespace match {

IndexLayout index_layout(std::uint64_t length, const IndexShape& shape) {
    int stride_log = shape.stride_log;
    // Slots hold position >> stride_log in 32 bits: a larger stride for values beyond that.
    while ((length >> stride_log) >= EMPTY_SLOT) ++stride_log;
    if (length < WINDOW) return {stride_log, 0, 0};
    const std::uint64_t indexed = ((length - WINDOW) >> stride_log) + 1;
    const std::uint64_t buckets = (shape.slots_per_position * indexed + shape.bucket_size - 1) / shape.bucket_size;
    return {stride_log, buckets, buckets * shape.bucket_size};
}

namespace {

// One thread's part of the table: the buckets [first, end).
struct Part {
    const std::uint8_t* data;
    std::uint64_t length;
    std::uint32_t* slots;
    std::uint64_t buckets;
    std::uint32_t bucket_size;
    int stride_log;
    std::uint32_t prefetch_ahead;
    std::uint64_t first, end;

    // Empties the part's slots, then puts every indexed position whose window lands in the
    // part into its bucket, in the order of the positions (a bucket keeps the first ones that
    // come). False when `ticker` says stop.
    bool fill(WorkTicker* ticker) const {
        std::memset(slots + first * bucket_size, 0xFF, (end - first) * bucket_size * sizeof(std::uint32_t));
        const std::uint64_t last = length - WINDOW;
        const std::uint64_t stride = std::uint64_t{1} << stride_log;
        const std::uint64_t ahead = std::uint64_t{prefetch_ahead} * stride;
        const bool whole = first == 0 && end == buckets;
        // The ticker hears of the work a slice of positions at a time.
        constexpr std::uint64_t SLICE = std::uint64_t{1} << 14;
        for (std::uint64_t position = 0; position <= last; position += stride) {
            if (position + ahead <= last) {
                const std::uint64_t b = HashIndex::bucket_number(load_window(data + position + ahead), buckets);
                if (whole || (b >= first && b < end)) prefetch(slots + b * bucket_size);
            }
            const std::uint64_t b = HashIndex::bucket_number(load_window(data + position), buckets);
            const auto slot = static_cast<std::uint32_t>(position >> stride_log);
            if (whole || (b >= first && b < end)) {
                std::uint32_t* bucket = slots + b * bucket_size;
                for (std::uint32_t j = 0; j < bucket_size; ++j) {
                    if (bucket[j] == EMPTY_SLOT) {
                        bucket[j] = slot;
                        break;
                    }
                }
            }
            if ((slot & (SLICE - 1)) == SLICE - 1 && ticker != nullptr && !ticker->tick(SLICE)) return false;
        }
        return true;
    }
};

}  // namespace

// With n threads, thread t fills the t-th n-th of the buckets (memset included, so that its
// pages are first touched by the thread that writes them). Every thread reads the whole value
// and hashes every indexed position, but writes only the slots of its own part: the writes,
// one cache miss each, are what the build waits on, and hashing a position costs a small
// part of that. Each bucket receives its positions in the same order as with one thread, so
// the table is the same whatever the number of threads.
HashIndex::Built HashIndex::build(const std::uint8_t* data, std::uint64_t length, const IndexShape& shape,
                                  WorkTicker* ticker, int threads) {
    const IndexLayout layout = index_layout(length, shape);
    stride_log_ = layout.stride_log;
    bucket_size_ = shape.bucket_size;
    buckets_ = 0;
    slots_.reset();
    if (layout.buckets == 0) return BUILT;
    slots_ = heap_array<std::uint32_t>(layout.slots);
    if (!slots_) return NO_MEMORY;
    const Part whole{data, length, slots_.get(), layout.buckets, bucket_size_, stride_log_, shape.prefetch_ahead,
                     0, layout.buckets};
    // A part of fewer buckets than this is not worth a thread.
    constexpr std::uint64_t LEAST_PART_BUCKETS = std::uint64_t{1} << 16;
    const auto parts = static_cast<std::uint64_t>(
        std::max(1, std::min<int>(threads, static_cast<int>(std::min<std::uint64_t>(
                                               64, layout.buckets / LEAST_PART_BUCKETS)))));
    // Helpers take the parts from the second on; this thread takes the first, and every part
    // whose helper could not be started (no thread to be had: one contiguous tail).
    SharedStop shared;
    const StopCheck check = shared.check();
    std::vector<std::future<bool>> helpers;
    std::uint64_t started = 0;
    try {
        helpers.reserve(parts - 1);
        for (std::uint64_t t = 1; t < parts; ++t) {
            Part part = whole;
            part.first = layout.buckets * t / parts;
            part.end = layout.buckets * (t + 1) / parts;
            helpers.push_back(std::async(std::launch::async, [part, &check] {
                WorkTicker helper_ticker(&check);
                return part.fill(&helper_ticker);
            }));
            ++started;
        }
    } catch (const std::system_error&) {  // the parts from `started + 1` on are this thread's
    } catch (const std::bad_alloc&) {     // (the same)
    }
    Part own = whole, tail = whole;
    own.end = layout.buckets / parts;
    tail.first = layout.buckets * (started + 1) / parts;
    bool done = own.fill(ticker) && (tail.first == tail.end || tail.fill(ticker));
    // Only this thread asks the caller's check, while it waits.
    for (auto& helper : helpers) {
        while (done && helper.wait_for(WorkTicker::INTERVAL) != std::future_status::ready) {
            if (ticker != nullptr && !ticker->poll()) done = false;
        }
        if (!done) break;
        done = helper.get();
    }
    if (!done) {
        shared.stop.store(true, std::memory_order_relaxed);
        for (auto& helper : helpers) {
            if (helper.valid()) helper.wait();
        }
        slots_.reset();
        return STOPPED;
    }
    buckets_ = layout.buckets;
    return BUILT;
}

}  // namespace match
}  // namespace quorvane
