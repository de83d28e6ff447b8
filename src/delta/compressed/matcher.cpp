#include "delta/compressed/matcher.h"

#include <new>

#include "common/compiler.h"
#include "delta/match/compare.h"
#include "delta/match/hash_index.h"
#include "delta/match/recent.h"

namespace quorvane {
namespace compressed {
namespace {

// The index, its window, the recent alignments and the equal runs are the matching
// toolkit's (match/).
constexpr std::uint64_t WINDOW = match::WINDOW;
using match::load_window;

// A candidate is weighed against the current alignment over at most this many of its bytes:
// enough to tell a real move from a chance match of a few words, and a bound on the work of
// a position whose candidates all match far.
constexpr std::uint64_t SCORE_SPAN = 4096;

// The extension of a copy over the bytes between two copies (bsdiff's) stops once its score
// (agreeing bytes minus differing ones) falls this far below its best: a stretch of changed
// bytes that long is not inside the copy any more.
constexpr std::int64_t EXTEND_GIVE_UP = 128;

// Differing bytes kept inside a copy without weighing another alignment: a run this short
// (a changed address or constant in moved code) costs less as a difference inside the copy
// than a new copy would.
constexpr std::uint64_t ABSORBED_GAP = 8;

// Where the current alignment agrees with at least NEAR_AGREE of the next NEAR_SPAN bytes,
// the differing ones among them stay in the copy without a look-up (changed addresses in
// moved code come a few bytes apart).
constexpr std::uint64_t NEAR_SPAN = 16;
constexpr std::uint64_t NEAR_AGREE = 12;

// Equal leading bytes of a and b, at most `limit` (0 when the first ones differ), a word at
// a time (the runs here are short: see compare.h).
inline std::uint64_t equal_run(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t limit) {
    return compare::equal_forward<std::uint64_t, compare::NEVER_BLOCKS>(a, b, limit);
}

// Equal bytes of a and b over `length` (not necessarily leading).
std::uint64_t agreeing(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t length) {
    std::uint64_t count = 0;
    for (std::uint64_t k = 0; k < length; ++k) count += a[k] == b[k];
    return count;
}

int bit_length(std::uint64_t v) {
    int n = 0;
    while (v != 0) {
        ++n;
        v >>= 1;
    }
    return n;
}

// One slot per indexed position: a stride of 2^stride_log keeps the table at 4 / 2^stride_log
// bytes per old byte, the levels' memory bound (levels.h).
constexpr std::uint32_t SLOTS_PER_POSITION = 1;

// While the index is built, the bucket of the position PREFETCH_AHEAD indexed positions ahead
// is prefetched, so that the table's cache and TLB misses overlap: 8 positions ahead hid too
// little of them on large values (a 256 MiB pair's index took 5.7 s with 8, 3.4-4.7 s with 64).
constexpr std::uint32_t PREFETCH_AHEAD = 64;

class Scan {
public:
    Scan(const std::uint8_t* old_data, std::uint64_t old_length, const std::uint8_t* new_data, std::uint64_t new_length,
         const MatcherSettings& settings, const match::HashIndex& index, Ticker* ticker, BlockStreams* out)
        : old_(old_data), old_length_(old_length), new_(new_data), new_length_(new_length), settings_(settings),
          ticker_(ticker), out_(out), index_(index) {}

    void run() {
        const std::uint64_t n = new_length_;
        std::uint64_t i = 0;
        while (i + WINDOW <= n) {
            // The current alignment going on: absorb a short run of differing bytes, or weigh
            // a longer one as for a switch.
            const std::int64_t s = static_cast<std::int64_t>(i) + align_;
            if (s >= 0 && static_cast<std::uint64_t>(s) + WINDOW <= old_length_ &&
                load_window(old_ + s) == load_window(new_ + i)) {
                const std::uint64_t length = exact_length(static_cast<std::uint64_t>(s), i, n - i);
                if (i - last_scan_ <= ABSORBED_GAP) {
                    last_scan_ = i + length;
                } else {
                    switch_to(static_cast<std::uint64_t>(s), i, length);
                }
                ticker_->tick(last_scan_ - i + 1);
                i = last_scan_;
                continue;
            }
            // Bytes that differ inside a stretch that the current alignment still mostly matches
            // (changed addresses in moved code) stay in the copy without a look-up.
            if (i - last_scan_ <= ABSORBED_GAP && i + NEAR_SPAN <= n) {
                const std::uint64_t past = past_last_difference(i);
                if (past != 0) {
                    ticker_->tick(past - i);
                    i = past;
                    continue;
                }
            }
            std::uint64_t best_source = 0, best_length = 0;
            find_candidate(i, &best_source, &best_length);
            if (best_length == 0) {
                std::uint64_t step = 1;
                if (i - last_scan_ > out_->longest_unmatched) out_->longest_unmatched = i - last_scan_;
                if (settings_.skip_shift != 0) step += (i - last_scan_) >> settings_.skip_shift;
                ticker_->tick(step);
                i += step;
                continue;
            }
            // Weigh it against the current alignment over the same bytes.
            const std::uint64_t span = best_length < SCORE_SPAN ? best_length : SCORE_SPAN;
            const std::uint64_t current = agreeing_at(align_, i, span);
            const std::int64_t b = static_cast<std::int64_t>(best_source) - static_cast<std::int64_t>(i);
            const std::uint64_t distance = static_cast<std::uint64_t>(b > align_ ? b - align_ : align_ - b);
            const std::uint64_t needed = settings_.min_gain + static_cast<std::uint64_t>(bit_length(distance) >> 2);
            if (span >= current + needed) {
                if (best_length == SCORE_SPAN) best_length = exact_length(best_source, i, n - i);
                switch_to(best_source, i, best_length);
                ticker_->tick(last_scan_ - i + span);
                i = last_scan_;
            } else {
                ticker_->tick(span);
                ++i;
            }
        }
        finish();
    }

private:
    // Exact equal bytes from old position c and new position i, at most `limit` and within old.
    std::uint64_t exact_length(std::uint64_t c, std::uint64_t i, std::uint64_t limit) const {
        if (old_length_ - c < limit) limit = old_length_ - c;
        return equal_run(old_ + c, new_ + i, limit);
    }

    // Bytes of new[i, +span) equal to the old bytes at alignment a (outside old: not equal).
    std::uint64_t agreeing_at(std::int64_t a, std::uint64_t i, std::uint64_t span) const {
        std::int64_t from = static_cast<std::int64_t>(i) + a;
        std::int64_t to = from + static_cast<std::int64_t>(span);
        std::uint64_t skipped = 0;
        if (from < 0) {
            skipped = static_cast<std::uint64_t>(-from);
            from = 0;
        }
        if (to > static_cast<std::int64_t>(old_length_)) to = static_cast<std::int64_t>(old_length_);
        if (to <= from) return 0;
        return agreeing(old_ + from, new_ + i + skipped, static_cast<std::uint64_t>(to - from));
    }

    // The longest exact match at new position i (8 bytes or more) among the hashed old
    // positions and the recent alignments; on equal lengths, the one nearest the current
    // alignment, then the lower old position.
    void find_candidate(std::uint64_t i, std::uint64_t* best_source, std::uint64_t* best_length) const {
        const std::uint64_t window = load_window(new_ + i);
        const std::uint64_t limit = new_length_ - i < SCORE_SPAN ? new_length_ - i : SCORE_SPAN;
        for (int k = 0; k < recent_.size(); ++k) {
            const std::int64_t c = static_cast<std::int64_t>(i) + recent_[k];
            if (c >= 0) consider(static_cast<std::uint64_t>(c), i, window, limit, best_source, best_length);
        }
        if (index_.empty()) return;
        const std::uint32_t* bucket = index_.bucket(window);
        for (std::uint32_t j = 0; j < index_.bucket_size() && bucket[j] != match::EMPTY_SLOT; ++j) {
            consider(index_.position(bucket[j]), i, window, limit, best_source, best_length);
        }
    }

    // Old position c as a candidate for new position i (whose window is `window`). Always
    // inlined: the scan spends most of its time here.
    QUORVANE_INLINE void consider(std::uint64_t c, std::uint64_t i, std::uint64_t window, std::uint64_t limit,
                                  std::uint64_t* best_source, std::uint64_t* best_length) const {
        if (c + WINDOW > old_length_ || load_window(old_ + c) != window) return;
        const std::uint64_t length = exact_length(c, i, limit);
        if (length < *best_length) return;
        if (length == *best_length) {
            const std::int64_t a = static_cast<std::int64_t>(c) - static_cast<std::int64_t>(i) - align_;
            const std::int64_t b = static_cast<std::int64_t>(*best_source) - static_cast<std::int64_t>(i) - align_;
            const std::uint64_t da = static_cast<std::uint64_t>(a < 0 ? -a : a);
            const std::uint64_t db = static_cast<std::uint64_t>(b < 0 ? -b : b);
            if (da > db || (da == db && c >= *best_source)) return;
        }
        *best_source = c;
        *best_length = length;
    }

    // When the current alignment agrees with at least NEAR_AGREE of the NEAR_SPAN bytes from
    // new position i: the position after the last of them that differs; else 0.
    std::uint64_t past_last_difference(std::uint64_t i) const {
        const std::int64_t s = static_cast<std::int64_t>(i) + align_;
        if (s < 0 || static_cast<std::uint64_t>(s) + NEAR_SPAN > old_length_) return 0;
        std::uint64_t agree = 0, past = 0;
        for (std::uint64_t k = 0; k < NEAR_SPAN; ++k) {
            if (old_[s + static_cast<std::int64_t>(k)] == new_[i + k]) {
                ++agree;
            } else {
                past = k + 1;
            }
        }
        return agree >= NEAR_AGREE ? i + past : 0;
    }

    // Whether new byte j agrees with the old byte at alignment a.
    bool agrees(std::int64_t a, std::uint64_t j) const {
        const std::int64_t s = static_cast<std::int64_t>(j) + a;
        return s >= 0 && static_cast<std::uint64_t>(s) < old_length_ && old_[s] == new_[j];
    }

    // The current copy, extended forward over [last_scan_, until) while most bytes agree.
    std::uint64_t extend_forward(std::uint64_t until) const {
        std::int64_t score = 0, best = 0;
        std::uint64_t length = 0;
        for (std::uint64_t j = last_scan_; j < until; ++j) {
            const std::int64_t s = static_cast<std::int64_t>(j) + align_;
            if (s < 0 || static_cast<std::uint64_t>(s) >= old_length_) break;
            score += old_[s] == new_[j] ? 1 : -1;
            if (score > best) {
                best = score;
                length = j + 1 - last_scan_;
            } else if (score < best - EXTEND_GIVE_UP) {
                break;
            }
        }
        return length;
    }

    // A copy at old position c for new position i, extended backward over [last_scan_, i).
    std::uint64_t extend_backward(std::uint64_t c, std::uint64_t i) const {
        std::int64_t score = 0, best = 0;
        std::uint64_t length = 0;
        for (std::uint64_t k = 1; k <= i - last_scan_ && k <= c; ++k) {
            score += old_[c - k] == new_[i - k] ? 1 : -1;
            if (score > best) {
                best = score;
                length = k;
            } else if (score < best - EXTEND_GIVE_UP) {
                break;
            }
        }
        return length;
    }

    // Ends the current copy and starts one at old position c for new position i, whose exact
    // part is `length` bytes long, dividing the bytes between them (bsdiff's overlap rule).
    void switch_to(std::uint64_t c, std::uint64_t i, std::uint64_t length) {
        const std::int64_t b = static_cast<std::int64_t>(c) - static_cast<std::int64_t>(i);
        std::uint64_t forward = extend_forward(i);
        std::uint64_t backward = extend_backward(c, i);
        if (last_scan_ + forward > i - backward) {
            // Overlap [i - backward, last_scan_ + forward): split where the two agree best.
            const std::uint64_t from = i - backward, to = last_scan_ + forward;
            std::int64_t score = 0, best = 0;
            std::uint64_t split = from;
            for (std::uint64_t p = from; p < to; ++p) {
                score += (agrees(align_, p) ? 1 : 0) - (agrees(b, p) ? 1 : 0);
                if (score > best) {
                    best = score;
                    split = p + 1;
                }
            }
            forward = split - last_scan_;
            backward = i - split;
        }
        const std::uint64_t copy_end = last_scan_ + forward;
        const std::uint64_t next_start = i - backward;
        if (b == align_ && next_start == copy_end) {
            last_scan_ = i + length;  // the same copy goes on
            return;
        }
        emit_copy(copy_end);
        copy_start_ = next_start;
        align_ = b;
        last_scan_ = i + length;
        recent_.remember(b);
    }

    // Emits the literal bytes before the current copy and the copy [copy_start_, end).
    void emit_copy(std::uint64_t end) {
        if (end == copy_start_) return;
        const std::uint64_t length = end - copy_start_;
        const std::uint64_t source = static_cast<std::uint64_t>(static_cast<std::int64_t>(copy_start_) + align_);
        put_varint(&out_->stream[STREAM_COMMANDS], copy_start_ - literal_start_);
        put_varint(&out_->stream[STREAM_COMMANDS], length);
        put_varint(&out_->stream[STREAM_OFFSETS],
                   zigzag(static_cast<std::int64_t>(source) - static_cast<std::int64_t>(previous_source_end_)));
        auto& literals = out_->stream[STREAM_LITERALS];
        literals.insert(literals.end(), new_ + literal_start_, new_ + copy_start_);
        const std::uint8_t* from = old_ + source;
        const std::uint8_t* to = new_ + copy_start_;
        std::uint64_t position = 0, last = 0;
        auto& gaps = out_->stream[STREAM_GAPS];
        auto& diffs = out_->stream[STREAM_DIFFS];
        while (position < length) {
            position += equal_run(from + position, to + position, length - position);
            if (position == length) break;
            put_varint(&gaps, position - last + 1);
            diffs.push_back(static_cast<std::uint8_t>(to[position] - from[position]));
            last = ++position;
        }
        gaps.push_back(0);
        literal_start_ = end;
        previous_source_end_ = source + length;
    }

    void finish() {
        const std::uint64_t forward = extend_forward(new_length_);
        emit_copy(last_scan_ + forward);
        if (literal_start_ < new_length_) {
            put_varint(&out_->stream[STREAM_COMMANDS], new_length_ - literal_start_);
            put_varint(&out_->stream[STREAM_COMMANDS], 0);
            auto& literals = out_->stream[STREAM_LITERALS];
            literals.insert(literals.end(), new_ + literal_start_, new_ + new_length_);
        }
    }

    const std::uint8_t* old_;
    std::uint64_t old_length_;
    const std::uint8_t* new_;
    std::uint64_t new_length_;
    MatcherSettings settings_;
    Ticker* ticker_;
    BlockStreams* out_;
    const match::HashIndex& index_;
    std::int64_t align_ = 0;            // old position - new position of the current copy
    std::uint64_t copy_start_ = 0;      // new position where the current copy starts
    std::uint64_t last_scan_ = 0;       // end of the current copy's bytes so far
    std::uint64_t literal_start_ = 0;   // first new byte not yet emitted
    std::uint64_t previous_source_end_ = 0;
    match::RecentAlignments recent_{0, true};
};

}  // namespace

match::IndexShape matcher_index_shape(const MatcherSettings& settings, std::uint64_t old_length) {
    int stride_log = settings.stride_log;
    if (old_length >= LARGE_OLD_BYTES && stride_log < LARGE_OLD_LEAST_STRIDE_LOG) stride_log = LARGE_OLD_LEAST_STRIDE_LOG;
    return {stride_log, settings.bucket_size, SLOTS_PER_POSITION, PREFETCH_AHEAD};
}

std::uint64_t matcher_index_bytes(std::uint64_t old_length, const MatcherSettings& settings) {
    return match::index_layout(old_length, matcher_index_shape(settings, old_length)).slots * sizeof(std::uint32_t);
}

bool same_index(const MatcherSettings& a, const MatcherSettings& b, std::uint64_t old_length) {
    const match::IndexShape x = matcher_index_shape(a, old_length), y = matcher_index_shape(b, old_length);
    return x.stride_log == y.stride_log && x.bucket_size == y.bucket_size;
}

bool same_scan(const MatcherSettings& made, const BlockStreams& made_streams, const MatcherSettings& wanted) {
    const auto steps_one_at_a_time = [&](std::uint32_t skip_shift) {
        return skip_shift == 0 || (made_streams.longest_unmatched >> skip_shift) == 0;
    };
    return made.stride_log == wanted.stride_log && made.bucket_size == wanted.bucket_size &&
           made.min_gain == wanted.min_gain &&
           (made.skip_shift == wanted.skip_shift ||
            (steps_one_at_a_time(made.skip_shift) && steps_one_at_a_time(wanted.skip_shift)));
}

void build_block_index(const std::uint8_t* old_data, std::uint64_t old_length, const MatcherSettings& settings,
                       int threads, Ticker* ticker, match::HashIndex* index) {
    switch (index->build(old_data, old_length, matcher_index_shape(settings, old_length), ticker->work(), threads)) {
        case match::HashIndex::BUILT: return;
        case match::HashIndex::NO_MEMORY: throw std::bad_alloc();
        case match::HashIndex::STOPPED: throw Cancelled{};
    }
}

void find_blocks(const std::uint8_t* old_data, std::uint64_t old_length, const std::uint8_t* new_data,
                 std::uint64_t new_length, const MatcherSettings& settings, const match::HashIndex& index,
                 Ticker* ticker, BlockStreams* out) {
    for (auto& s : out->stream) s.clear();
    out->longest_unmatched = 0;
    Scan scan(old_data, old_length, new_data, new_length, settings, index, ticker, out);
    scan.run();
}

}  // namespace compressed
}  // namespace quorvane
