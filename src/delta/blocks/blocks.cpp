#include "delta/blocks/blocks.h"

#include <cstring>

#include "cbor/writer.h"
#include "common/compiler.h"
#include "common/memory.h"
#include "delta/match/compare.h"
#include "delta/match/hash_index.h"
#include "delta/match/recent.h"

namespace quorvane {
namespace {

// The index, its window and the recent alignments are the matching toolkit's (match/).
constexpr std::int32_t WINDOW = static_cast<std::int32_t>(match::WINDOW);

// Shortest match tried at a remembered alignment or where the last match ended: there a
// match needs no look-up to be found, and 4 bytes already save more than their heads cost
// when the copy continues the last one (worthwhile() decides by the exact head sizes).
constexpr std::int32_t MIN_MATCH = 4;

// A match this long is taken without looking ahead for a longer one a step later: the look
// ahead costs a look-up per step, and what it could win back is small beside such a match.
constexpr std::int32_t NICE_LENGTH = 64;

// The scan prefetches the buckets of the next 2 * SCAN_AHEAD positions, and the old bytes
// that the bucket of the position SCAN_AHEAD ahead points to (fetched earlier), so that the
// two dependent misses of a look-up are overlapped with the work on the positions before.
constexpr std::int32_t SCAN_AHEAD = 4;

using match::load_window;

inline void prefetch(const void* p) { QUORVANE_PREFETCH(p); }

// Byte comparisons a machine word at a time (compare.h), shared with the diff search.
using compare::equal_backward;
using compare::equal_forward;

inline std::int32_t head(std::int64_t n) { return static_cast<std::int32_t>(cbor_head_size(static_cast<std::uint64_t>(n))); }

// Two slots per indexed position: a table at most half full, so that the buckets of common
// windows keep room for the positions of rarer ones that land beside them.
constexpr std::uint32_t SLOTS_PER_POSITION = 2;

// While the index is built, the bucket of the position PREFETCH_AHEAD indexed positions ahead
// is prefetched, so that the table's cache misses overlap: 8, as this index was always built
// (compress's matcher takes 64, measured on its own tables only).
constexpr std::uint32_t PREFETCH_AHEAD = 8;

match::IndexShape index_shape(const BlocksOptions& options) {
    return {static_cast<int>(ctz64(options.stride)), options.bucket_size, SLOTS_PER_POSITION, PREFETCH_AHEAD};
}

struct Match {
    std::int32_t new_start;
    std::int32_t old_start;
    std::int32_t length;  // 0: none
};

class BlockScan {
public:
    BlockScan(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
              EditCoalescer* coalescer, const StopCheck* stop)
        : old_(old_value->data),
          new_(new_value->data),
          old_length_(static_cast<std::int32_t>(old_value->length)),
          new_length_(static_cast<std::int32_t>(new_value->length)),
          options_(options),
          coalescer_(coalescer),
          ticker_(stop) {}

    bool out_of_memory = false;

    bool stopped() const { return ticker_.stopped(); }

    // Fills the index; false when memory runs out or the stop check said stop.
    bool build_index() {
        if (!ticker_.check()) return false;
        const match::HashIndex::Built built =
            index_.build(old_, static_cast<std::uint64_t>(old_length_), index_shape(options_), &ticker_);
        out_of_memory = built == match::HashIndex::NO_MEMORY;
        return built == match::HashIndex::BUILT;
    }

    // Emits the whole script; false when an emission fails (the budget is spent) or the stop
    // check said stop. The ticker counts a unit per look-up and per byte matched.
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
                if (!ticker_.tick(1)) return false;
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
            if (!emit(best) || !ticker_.tick(1 + ahead + static_cast<std::uint64_t>(best.length))) return false;
            i = literal_start_;
        }
        return emit_insert(coalescer_, literal_start_, new_length_ - literal_start_);
    }

private:

    // Prefetches the buckets of the positions a little ahead (after a jump all of them at
    // once, so that their fetches overlap), and the old bytes that the bucket of a nearer
    // position (fetched earlier) points to, so that the scan rarely waits for memory.
    void warm(std::int64_t i) {
        if (index_.empty()) return;
        if (warmed_ < i) warmed_ = i;
        const std::int64_t until = i + 2 * SCAN_AHEAD;
        for (; warmed_ <= until && warmed_ + WINDOW <= new_length_; ++warmed_) {
            index_.prefetch_bucket(load_window(new_ + warmed_));
        }
        if (i + SCAN_AHEAD + WINDOW <= new_length_) {
            const std::uint32_t* bucket = index_.bucket(load_window(new_ + i + SCAN_AHEAD));
            for (std::uint32_t j = 0; j < options_.bucket_size && bucket[j] != match::EMPTY_SLOT; ++j) {
                prefetch(old_ + index_.position(bucket[j]));
            }
        }
    }

    bool remembered(const Match& match) const {
        return alignments_.contains(static_cast<std::int64_t>(match.old_start) - match.new_start);
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
        for (int k = 0; k < alignments_.size(); ++k) {
            const std::int64_t c = static_cast<std::int64_t>(i) + alignments_[k];
            if (c < 0 || c + MIN_MATCH > old_length_) continue;
            consider(extend(static_cast<std::int32_t>(c), i, 0), &best);
        }
        // The old value going on where the last match ended (bytes were inserted in between).
        if (previous_old_end_ >= 0 && std::int64_t{previous_old_end_} + MIN_MATCH <= old_length_) {
            consider(extend(previous_old_end_, i, 0), &best);
        }
        if (!index_.empty() && std::int64_t{i} + WINDOW <= new_length_) {
            const std::uint64_t window = load_window(new_ + i);
            const std::uint32_t* bucket = index_.bucket(window);
            for (std::uint32_t j = 0; j < options_.bucket_size && bucket[j] != match::EMPTY_SLOT; ++j) {
                const auto c = static_cast<std::int32_t>(index_.position(bucket[j]));
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
        alignments_.remember(static_cast<std::int64_t>(match.old_start) - match.new_start);
        return true;
    }

    const std::uint8_t* old_;
    const std::uint8_t* new_;
    std::int32_t old_length_;
    std::int32_t new_length_;
    BlocksOptions options_;
    EditCoalescer* coalescer_;
    match::HashIndex index_;
    std::int32_t literal_start_ = 0;      // first new byte not yet emitted
    std::int64_t warmed_ = 0;             // first new position whose bucket is not prefetched yet
    std::int32_t previous_old_end_ = -1;  // end of the last match in the old value; -1: none yet
    match::RecentAlignments alignments_{1, false};  // the first: 0, the values aligned as they start
    WorkTicker ticker_;
};

}  // namespace

BlocksOptions blocks_options_default() { return BlocksOptions{4, 4, 2, 6}; }
BlocksOptions blocks_options_compact() { return BlocksOptions{2, 8, 2, 8}; }

std::uint64_t blocks_index_bytes(std::uint64_t old_length, const BlocksOptions& options) {
    return match::index_layout(old_length, index_shape(options)).slots * sizeof(std::uint32_t);
}

int diff_blocks_edits(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
                      DeltaWriter* writer, std::vector<EditCall>* trace, const StopCheck* stop) {
    EditCoalescer coalescer;
    edit_coalescer_init(&coalescer, writer, 0, 0);
    coalescer.trace = trace;
    const std::uint64_t n = old_value->length;
    bool solved;
    if (n == new_value->length && (n == 0 || std::memcmp(old_value->data, new_value->data, n) == 0)) {
        solved = emit_match(&coalescer, 0, static_cast<std::int32_t>(n));  // equal values need no index
    } else {
        BlockScan scan(old_value, new_value, options, &coalescer, stop);
        if (!scan.build_index()) return scan.out_of_memory ? DIFF_NO_MEMORY : DIFF_CANCELLED;
        solved = scan.run();
        if (scan.stopped()) return DIFF_CANCELLED;
    }
    if (writer->out_of_memory) return DIFF_NO_MEMORY;
    if (!solved) return DIFF_WHOLE_VALUE;
    const int code = finish_edits(&coalescer, static_cast<std::int32_t>(old_value->length),
                                  static_cast<std::int32_t>(new_value->length));
    return writer->out_of_memory ? DIFF_NO_MEMORY : code;
}

ByteVector* delta_diff_blocks(const ByteVector* old_value, const ByteVector* new_value, const BlocksOptions& options,
                              DiffFailure* failure, const StopCheck* stop) {
    struct Call {
        BlocksOptions options;
        const StopCheck* stop;
    } call{options, stop};
    const DeltaProducer producer{
        [](void* context, const ByteVector* a, const ByteVector* b, int, DeltaWriter* writer) {
            const Call* c = static_cast<const Call*>(context);
            return diff_blocks_edits(a, b, c->options, writer, nullptr, c->stop);
        },
        &call};
    return drive_delta(nullptr, old_value, new_value, producer, failure);
}

}  // namespace quorvane
