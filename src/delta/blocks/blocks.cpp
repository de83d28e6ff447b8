#include "delta/blocks/blocks.h"

#include <cstring>

#include "cbor/writer.h"
#include "common/compiler.h"
#include "common/memory.h"
#include "delta/match/compare.h"

namespace quorvane {
namespace {

constexpr std::int32_t WINDOW = 8;             // bytes hashed per indexed position
constexpr std::int32_t MIN_MATCH = 4;          // shortest match tried at a remembered alignment
constexpr std::int32_t NICE_LENGTH = 64;       // a match this long is taken without looking ahead
constexpr std::uint32_t EMPTY_SLOT = 0xFFFFFFFFu;
constexpr std::uint64_t HASH_MULTIPLIER = 0x9E3779B97F4A7C15ull;
constexpr int ALIGNMENTS = 4;                  // recent (old - new) offsets of chosen matches
constexpr int PREFETCH_AHEAD = 8;              // indexed positions hashed ahead while building
constexpr std::int32_t SCAN_AHEAD = 4;         // new positions between the two prefetch stages of the scan

// The 8 bytes at p as a little-endian number, the same on every platform.
inline std::uint64_t load_window(const std::uint8_t* p) { return load_le64(p); }

inline void prefetch(const void* p) { QUORVANE_PREFETCH(p); }

// Byte comparisons a machine word at a time (compare.h), shared with the diff search.
using compare::equal_backward;
using compare::equal_forward;

inline std::int32_t head(std::int64_t n) { return static_cast<std::int32_t>(cbor_head_size(static_cast<std::uint64_t>(n))); }

struct Layout {
    std::uint64_t slots;    // 0: no index
    std::uint64_t buckets;
};

// Two slots per indexed position (a table at most half full), in whole buckets.
Layout layout_for(std::uint64_t old_length, const BlocksOptions& options) {
    if (old_length < static_cast<std::uint64_t>(WINDOW)) return {0, 0};
    const std::uint64_t indexed = (old_length - WINDOW) / options.stride + 1;
    const std::uint64_t buckets = (2 * indexed + options.bucket_size - 1) / options.bucket_size;
    return {buckets * options.bucket_size, buckets};
}

struct Match {
    std::int32_t new_start;
    std::int32_t old_start;
    std::int32_t length;  // 0: none
};

class BlockScan {
public:
    BlockScan(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
              EditCoalescer* coalescer)
        : old_(old_value->data),
          new_(new_value->data),
          old_length_(static_cast<std::int32_t>(old_value->length)),
          new_length_(static_cast<std::int32_t>(new_value->length)),
          options_(options),
          coalescer_(coalescer) {}

    ~BlockScan() { heap_free(slots_); }

    bool out_of_memory = false;

    // Fills the index; false when memory runs out.
    bool build_index() {
        const Layout layout = layout_for(static_cast<std::uint64_t>(old_length_), options_);
        if (layout.slots == 0) return true;
        slots_ = static_cast<std::uint32_t*>(heap_malloc(layout.slots * sizeof(std::uint32_t)));
        if (slots_ == nullptr) {
            out_of_memory = true;
            return false;
        }
        std::memset(slots_, 0xFF, layout.slots * sizeof(std::uint32_t));
        buckets_ = layout.buckets;
        const std::int64_t stride = options_.stride;
        const std::int64_t last = old_length_ - WINDOW;
        const std::uint32_t size = options_.bucket_size;
        std::uint64_t ahead[PREFETCH_AHEAD];
        int filled = 0;
        // Buckets of the next positions are computed and prefetched a few positions early.
        std::int64_t next = 0;
        for (; filled < PREFETCH_AHEAD && next <= last; ++filled, next += stride) {
            ahead[filled] = bucket_of(load_window(old_ + next));
            prefetch(slots_ + ahead[filled] * size);
        }
        std::int64_t position = 0;
        for (int k = 0; position <= last; position += stride, k = (k + 1) % PREFETCH_AHEAD) {
            std::uint32_t* bucket = slots_ + ahead[k] * size;
            if (next <= last) {
                ahead[k] = bucket_of(load_window(old_ + next));
                prefetch(slots_ + ahead[k] * size);
                next += stride;
            }
            for (std::uint32_t j = 0; j < size; ++j) {  // the first positions of a window are kept
                if (bucket[j] == EMPTY_SLOT) {
                    bucket[j] = static_cast<std::uint32_t>(position);
                    break;
                }
            }
        }
        return true;
    }

    // Emits the whole script; false when an emission fails (the budget is spent).
    bool run() {
        // Positions are 64-bit here so that stepping past the end cannot overflow.
        const std::int64_t m = new_length_;
        std::int64_t i = 0;
        while (i + MIN_MATCH <= m) {
            warm(i);
            Match best = find_best(static_cast<std::int32_t>(i));
            if (best.length == 0) {
                std::int64_t step = 1;
                if (options_.skip_shift != 0) step += (i - literal_start_) >> options_.skip_shift;
                i += step;
                continue;
            }
            // Look ahead: a short match may give way to a longer one a step later, and any
            // match to one found at the next positions of another stride phase (which extends
            // back over these bytes), such as the old value going on in order after a deletion.
            // A match at a remembered alignment is the old value going on as before already.
            std::uint32_t ahead = remembered(best) ? 0 : options_.stride - 1;
            if (best.length < NICE_LENGTH && options_.lazy_steps > ahead) ahead = options_.lazy_steps;
            for (std::uint32_t k = 1; k <= ahead && i + k + MIN_MATCH <= m; ++k) {
                const Match later = find_best(static_cast<std::int32_t>(i + k));
                if (later.length == 0) continue;
                const std::int32_t skipped = later.new_start > best.new_start ? later.new_start - best.new_start : 0;
                if (gain(later) > gain(best) + skipped) best = later;
            }
            if (!emit(best)) return false;
            i = literal_start_;
        }
        return emit_insert(coalescer_, literal_start_, new_length_ - literal_start_);
    }

private:
    // The high half of the product, scaled to the bucket count (no division).
    std::uint64_t bucket_of(std::uint64_t window) const { return (((window * HASH_MULTIPLIER) >> 32) * buckets_) >> 32; }

    // Prefetches the buckets of the positions a little ahead (after a jump all of them at
    // once, so that their fetches overlap), and the old bytes that the bucket of a nearer
    // position (fetched earlier) points to, so that the scan rarely waits for memory.
    void warm(std::int64_t i) {
        if (slots_ == nullptr) return;
        if (warmed_ < i) warmed_ = i;
        const std::int64_t until = i + 2 * SCAN_AHEAD;
        for (; warmed_ <= until && warmed_ + WINDOW <= new_length_; ++warmed_) {
            prefetch(slots_ + bucket_of(load_window(new_ + warmed_)) * options_.bucket_size);
        }
        if (i + SCAN_AHEAD + WINDOW <= new_length_) {
            const std::uint32_t* bucket = slots_ + bucket_of(load_window(new_ + i + SCAN_AHEAD)) * options_.bucket_size;
            for (std::uint32_t j = 0; j < options_.bucket_size && bucket[j] != EMPTY_SLOT; ++j) prefetch(old_ + bucket[j]);
        }
    }

    bool remembered(const Match& match) const {
        const std::int64_t alignment = static_cast<std::int64_t>(match.old_start) - match.new_start;
        for (int k = 0; k < alignment_count_; ++k) {
            if (alignments_[k] == alignment) return true;
        }
        return false;
    }

    // Bytes a match saves against carrying its bytes literally (roughly: the heads it costs).
    static std::int32_t gain(const Match& match) { return match.length - head(match.old_start) - head(match.length); }

    // Whether taking the match beats leaving its bytes in the literal run, by the exact head sizes.
    bool worthwhile(const Match& match) const {
        const std::int32_t gap = match.new_start - literal_start_;
        if (gap == 0 && match.old_start == previous_old_end_) return true;  // continues the last match
        const std::int32_t length = match.length;
        const std::int32_t as_literal = length + (gap > 0 ? head(gap + length) - head(gap) : head(length));
        const std::int32_t as_match = head(match.old_start) + head(length) + 1;  // +1: the next literal's head
        return as_literal > as_match;
    }

    // The candidate at old position c for new position i, extended both ways; length 0 if too short.
    Match extend(std::int32_t c, std::int32_t i, std::int32_t verified) const {
        const std::int32_t forward_limit = old_length_ - c < new_length_ - i ? old_length_ - c : new_length_ - i;
        const std::int32_t forward = verified + equal_forward(old_ + c + verified, new_ + i + verified, forward_limit - verified);
        if (forward < MIN_MATCH) return {0, 0, 0};
        const std::int32_t backward_limit = c < i - literal_start_ ? c : i - literal_start_;
        const std::int32_t backward = equal_backward(old_ + c, new_ + i, backward_limit);
        return {i - backward, c - backward, forward + backward};
    }

    // Whether a is a better choice than b: more bytes saved, then nearer the previous match.
    bool better(const Match& a, const Match& b) const {
        if (b.length == 0) return true;
        const std::int32_t ga = gain(a), gb = gain(b);
        if (ga != gb) return ga > gb;
        const std::int64_t da = static_cast<std::int64_t>(a.old_start) - previous_old_end_;
        const std::int64_t db = static_cast<std::int64_t>(b.old_start) - previous_old_end_;
        const std::int64_t ada = da < 0 ? -da : da, adb = db < 0 ? -db : db;
        if (ada != adb) return ada < adb;
        return a.old_start < b.old_start;
    }

    void consider(const Match& candidate, Match* best) const {
        if (candidate.length != 0 && better(candidate, *best)) *best = candidate;
    }

    // The best worthwhile match covering new position i (extended back into the literal run).
    Match find_best(std::int32_t i) const {
        Match best{0, 0, 0};
        for (int k = 0; k < alignment_count_; ++k) {
            const std::int64_t c = static_cast<std::int64_t>(i) + alignments_[k];
            if (c < 0 || c + MIN_MATCH > old_length_) continue;
            consider(extend(static_cast<std::int32_t>(c), i, 0), &best);
        }
        // The old value going on where the last match ended (bytes were inserted in between).
        if (previous_old_end_ >= 0 && std::int64_t{previous_old_end_} + MIN_MATCH <= old_length_) {
            consider(extend(previous_old_end_, i, 0), &best);
        }
        if (slots_ != nullptr && std::int64_t{i} + WINDOW <= new_length_) {
            const std::uint64_t window = load_window(new_ + i);
            const std::uint32_t* bucket = slots_ + bucket_of(window) * options_.bucket_size;
            for (std::uint32_t j = 0; j < options_.bucket_size && bucket[j] != EMPTY_SLOT; ++j) {
                const auto c = static_cast<std::int32_t>(bucket[j]);
                if (load_window(old_ + c) != window) continue;
                consider(extend(c, i, WINDOW), &best);
            }
        }
        if (best.length != 0 && !worthwhile(best)) best.length = 0;
        return best;
    }

    bool emit(const Match& match) {
        if (match.new_start > literal_start_) {
            if (!emit_insert(coalescer_, literal_start_, match.new_start - literal_start_)) return false;
        } else if (previous_old_end_ >= 0 && match.old_start != previous_old_end_) {
            if (!emit_delete(coalescer_)) return false;  // the next match does not continue the last one
        }
        if (!emit_match(coalescer_, match.old_start, match.length)) return false;
        literal_start_ = match.new_start + match.length;
        previous_old_end_ = match.old_start + match.length;
        // Most recent alignment first; an alignment already remembered moves to the front.
        const std::int64_t alignment = static_cast<std::int64_t>(match.old_start) - match.new_start;
        int at = -1;
        for (int k = 0; k < alignment_count_; ++k) {
            if (alignments_[k] == alignment) {
                at = k;
                break;
            }
        }
        if (at < 0) {
            if (alignment_count_ < ALIGNMENTS) ++alignment_count_;
            at = alignment_count_ - 1;
        }
        for (int k = at; k > 0; --k) alignments_[k] = alignments_[k - 1];
        alignments_[0] = alignment;
        return true;
    }

    const std::uint8_t* old_;
    const std::uint8_t* new_;
    std::int32_t old_length_;
    std::int32_t new_length_;
    BlocksOptions options_;
    EditCoalescer* coalescer_;
    std::uint32_t* slots_ = nullptr;
    std::uint64_t buckets_ = 0;
    std::int32_t literal_start_ = 0;      // first new byte not yet emitted
    std::int64_t warmed_ = 0;             // first new position whose bucket is not prefetched yet
    std::int32_t previous_old_end_ = -1;  // end of the last match in the old value; -1: none yet
    std::int64_t alignments_[ALIGNMENTS] = {};  // the first: 0, the values aligned as they start
    int alignment_count_ = 1;
};

}  // namespace

BlocksOptions blocks_options_default() { return BlocksOptions{4, 4, 2, 6}; }
BlocksOptions blocks_options_compact() { return BlocksOptions{2, 8, 2, 8}; }

std::uint64_t blocks_index_bytes(std::uint64_t old_length, const BlocksOptions& options) {
    return layout_for(old_length, options).slots * sizeof(std::uint32_t);
}

int diff_blocks_edits(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
                      DeltaWriter* writer, std::vector<EditCall>* trace) {
    EditCoalescer coalescer;
    edit_coalescer_init(&coalescer, writer, 0, 0);
    coalescer.trace = trace;
    const std::uint64_t n = old_value->length;
    bool solved;
    if (n == new_value->length && (n == 0 || std::memcmp(old_value->data, new_value->data, n) == 0)) {
        solved = emit_match(&coalescer, 0, static_cast<std::int32_t>(n));  // equal values need no index
    } else {
        BlockScan scan(old_value, new_value, options, &coalescer);
        if (!scan.build_index()) return DIFF_NO_MEMORY;
        solved = scan.run();
    }
    if (writer->out_of_memory) return DIFF_NO_MEMORY;
    if (!solved) return DIFF_WHOLE_VALUE;
    const int code = finish_edits(&coalescer, static_cast<std::int32_t>(old_value->length),
                                  static_cast<std::int32_t>(new_value->length));
    return writer->out_of_memory ? DIFF_NO_MEMORY : code;
}

ByteVector* delta_diff_blocks(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
                              DiffFailure* failure) {
    BlocksOptions chosen = options;
    const DeltaProducer producer{
        [](void* context, const ByteVector* a, const ByteVector* b, int, DeltaWriter* writer) {
            return diff_blocks_edits(a, b, *static_cast<const BlocksOptions*>(context), writer);
        },
        &chosen};
    return drive_delta(nullptr, old_value, new_value, producer, failure);
}

}  // namespace quorvane
