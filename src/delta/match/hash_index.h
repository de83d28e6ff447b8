// The hash index of the block matchers (diff_blocks' scan and compress's block mode): where
// in the old value each 8-byte window occurs, looked up by the window's bytes.
//
// Every stride-th position of the old value (a power of two) is indexed by a multiplicative
// hash of the 8 bytes there, in a table of 4-byte slots grouped in buckets. A slot holds a
// position divided by the stride (so that 32 bits cover 2^32 strides); a bucket keeps the
// first positions whose windows land in it, in order, and is full after bucket_size of them.
// A look-up hands back the bucket of a window: candidates only, each to be verified byte for
// byte by the caller (other windows land in the same bucket too).
#pragma once

#include <cstdint>

#include "common/compiler.h"
#include "common/memory.h"
#include "common/stop.h"

namespace quorvane {
namespace match {

// Bytes hashed per indexed position. Eight bytes are one load on every machine, and a
// shared stretch shorter than that is rarely worth a copy in either format.
constexpr std::uint64_t WINDOW = 8;

// A slot that holds no position yet (no position divided by the stride reaches it).
constexpr std::uint32_t EMPTY_SLOT = 0xFFFFFFFFu;

// Fibonacci hashing: the window times 2^64 divided by the golden ratio mixes every byte of
// the window into the high half of the product, which is then scaled to the bucket count
// by a multiplication instead of a division.
constexpr std::uint64_t HASH_MULTIPLIER = 0x9E3779B97F4A7C15ull;


// The window at p as a little-endian number (the same hash on every platform).
inline std::uint64_t load_window(const std::uint8_t* p) { return load_le64(p); }

// Always inlined: GCC 12 takes a small function that only prefetches for one without effects
// and drops calls of it that it did not inline early.
QUORVANE_INLINE void prefetch(const void* p) { QUORVANE_PREFETCH(p); }

// How a producer wants its old value indexed.
struct IndexShape {
    int stride_log;                      // index every 2^stride_log-th position
    std::uint32_t bucket_size;           // slots per bucket (a power of two)
    std::uint32_t slots_per_position;    // table slots per indexed position: 1 fills the table
                                         // when every window differs, 2 keeps it at most half full
    std::uint32_t prefetch_ahead;        // while building, the bucket of the position this many
                                         // indexed positions ahead is prefetched (see the producers)
};

struct IndexLayout {
    int stride_log;          // the shape's, or larger for values beyond 2^32 strides
    std::uint64_t buckets;   // 0: no index (a value shorter than a window)
    std::uint64_t slots;
};

IndexLayout index_layout(std::uint64_t length, const IndexShape& shape);

class HashIndex {
public:
    enum Built { BUILT, NO_MEMORY, STOPPED };

    // Indexes data[0, length) (which must outlive the index); `ticker` (may be null) counts a
    // unit per indexed position. With `threads` above 1, helper threads fill parts of the
    // table beside the calling thread (see build's comment); the table is the same.
    Built build(const std::uint8_t* data, std::uint64_t length, const IndexShape& shape, WorkTicker* ticker,
                int threads = 1);

    bool empty() const { return buckets_ == 0; }
    std::uint32_t bucket_size() const { return bucket_size_; }
    int stride_log() const { return stride_log_; }

    // The bucket of a window among `buckets`: the high half of the product, scaled to the
    // bucket count.
    QUORVANE_INLINE static std::uint64_t bucket_number(std::uint64_t window, std::uint64_t buckets) {
        return (((window * HASH_MULTIPLIER) >> 32) * buckets) >> 32;
    }
    QUORVANE_INLINE std::uint64_t bucket_of(std::uint64_t window) const { return bucket_number(window, buckets_); }
    // The bucket of a window: bucket_size() slots, the filled ones first (then EMPTY_SLOT).
    QUORVANE_INLINE const std::uint32_t* bucket(std::uint64_t window) const { return slots_.get() + bucket_of(window) * bucket_size_; }
    // The old position a filled slot holds.
    QUORVANE_INLINE std::uint64_t position(std::uint32_t slot) const { return static_cast<std::uint64_t>(slot) << stride_log_; }
    QUORVANE_INLINE void prefetch_bucket(std::uint64_t window) const { prefetch(bucket(window)); }
    // Every slot, bucket after bucket (for the tests).
    const std::uint32_t* table() const { return slots_.get(); }
    std::uint64_t table_slots() const { return buckets_ * bucket_size_; }

private:
    HeapArray<std::uint32_t> slots_;
    std::uint64_t buckets_ = 0;
    std::uint32_t bucket_size_ = 0;
    int stride_log_ = 0;
};

}  // namespace match
}  // namespace quorvane
