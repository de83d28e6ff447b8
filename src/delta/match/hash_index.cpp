#include "delta/match/hash_index.h"

#include <cstring>

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

HashIndex::Built HashIndex::build(const std::uint8_t* data, std::uint64_t length, const IndexShape& shape,
                                  WorkTicker* ticker) {
    const IndexLayout layout = index_layout(length, shape);
    stride_log_ = layout.stride_log;
    bucket_size_ = shape.bucket_size;
    buckets_ = 0;
    slots_.reset();
    if (layout.buckets == 0) return BUILT;
    slots_ = heap_array<std::uint32_t>(layout.slots);
    if (!slots_) return NO_MEMORY;
    std::memset(slots_.get(), 0xFF, layout.slots * sizeof(std::uint32_t));  // every slot EMPTY_SLOT
    buckets_ = layout.buckets;
    // Locals, not members: the stores into the table could alias the members.
    const std::uint32_t size = bucket_size_;
    const std::uint64_t buckets = buckets_;
    const int stride_log = stride_log_;
    std::uint32_t* const slots = slots_.get();
    const auto bucket_at = [slots, buckets, size](const std::uint8_t* p) {
        return slots + bucket_number(load_window(p), buckets) * size;
    };
    const std::uint64_t last = length - WINDOW;
    const std::uint64_t stride = std::uint64_t{1} << stride_log;
    const std::uint64_t ahead = std::uint64_t{shape.prefetch_ahead} * stride;
    // The ticker hears of the work a slice of positions at a time.
    constexpr std::uint64_t SLICE = std::uint64_t{1} << 14;
    for (std::uint64_t position = 0; position <= last; position += stride) {
        if (position + ahead <= last) prefetch(bucket_at(data + position + ahead));
        std::uint32_t* bucket = bucket_at(data + position);
        const auto slot = static_cast<std::uint32_t>(position >> stride_log);
        for (std::uint32_t j = 0; j < size; ++j) {  // the first positions of a window are kept
            if (bucket[j] == EMPTY_SLOT) {
                bucket[j] = slot;
                break;
            }
        }
        if ((slot & (SLICE - 1)) == SLICE - 1 && ticker != nullptr && !ticker->tick(SLICE)) {
            slots_.reset();
            buckets_ = 0;
            return STOPPED;
        }
    }
    return BUILT;
}

}  // namespace match
}  // namespace quorvane
