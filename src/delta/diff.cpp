#include "delta/diff.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "common/memory.h"
#include "delta/monitor.h"
#include "delta/search_tunables.h"

namespace quorvane {
namespace {

constexpr std::int32_t UNREACHED_FORWARD = -1;
constexpr std::int32_t UNREACHED_BACKWARD = std::numeric_limits<std::int32_t>::max();

// ---------------------------------------------------------------------------------------
// Byte comparison a machine word at a time.

inline std::uint64_t load_word(const std::uint8_t* p) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

inline unsigned leading_equal_bytes(std::uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(__builtin_clzll(difference)) / 8;
#elif defined(_MSC_VER)
    unsigned long index;
    _BitScanForward64(&index, difference);
    return static_cast<unsigned>(index) / 8;
#else
    return static_cast<unsigned>(__builtin_ctzll(difference)) / 8;
#endif
}

inline unsigned trailing_equal_bytes(std::uint64_t difference) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(__builtin_ctzll(difference)) / 8;
#elif defined(_MSC_VER)
    unsigned long index;
    _BitScanReverse64(&index, difference);
    return (63 - static_cast<unsigned>(index)) / 8;
#else
    return static_cast<unsigned>(__builtin_clzll(difference)) / 8;
#endif
}

// Number of equal bytes at the start of a and b, at most `limit` (at least 1 byte is equal).
std::int32_t equal_forward_words(const std::uint8_t* a, const std::uint8_t* b, std::int32_t limit) {
    std::int32_t n = 1;
    while (limit - n >= 8) {
        const std::uint64_t difference = load_word(a + n) ^ load_word(b + n);
        if (difference != 0) return n + static_cast<std::int32_t>(leading_equal_bytes(difference));
        n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
}

// Number of equal bytes just before a_end and b_end, at most `limit` (at least 1 is equal).
std::int32_t equal_backward_words(const std::uint8_t* a_end, const std::uint8_t* b_end, std::int32_t limit) {
    std::int32_t n = 1;
    while (limit - n >= 8) {
        const std::uint64_t difference = load_word(a_end - n - 8) ^ load_word(b_end - n - 8);
        if (difference != 0) return n + static_cast<std::int32_t>(trailing_equal_bytes(difference));
        n += 8;
    }
    while (n < limit && a_end[-n - 1] == b_end[-n - 1]) ++n;
    return n;
}

// Most extensions in a search end at their first byte, so that byte is tested inline.
inline std::int32_t equal_forward(const std::uint8_t* a, const std::uint8_t* b, std::int32_t limit) {
    return limit > 0 && a[0] == b[0] ? equal_forward_words(a, b, limit) : 0;
}

inline std::int32_t equal_backward(const std::uint8_t* a_end, const std::uint8_t* b_end, std::int32_t limit) {
    return limit > 0 && a_end[-1] == b_end[-1] ? equal_backward_words(a_end, b_end, limit) : 0;
}

// ---------------------------------------------------------------------------------------
// The diagonal store: furthest-reaching x of both fronts, interleaved by diagonal magnitude.
// Entry index for diagonal k is 4k (k >= 0) or -4k - 1 (k < 0); the backward value of the
// same diagonal number sits two entries further.

struct DiagonalStore {
    std::int32_t* entries;
    std::int64_t allocated;    // entries really allocated
    std::int32_t capacity;     // entry count against which growth is decided
    std::int32_t store_limit;
    std::int32_t wave_bound;   // largest wave number allowed
    std::int32_t used;
};

inline std::int64_t diagonal_index(std::int32_t k) {
    return k >= 0 ? 4 * static_cast<std::int64_t>(k) : -4 * static_cast<std::int64_t>(k) - 1;
}

void fresh_group(DiagonalStore* store, std::int64_t magnitude) {
    std::int32_t* group = store->entries + 4 * magnitude - 1;
    group[0] = UNREACHED_FORWARD;
    group[1] = UNREACHED_FORWARD;
    group[2] = UNREACHED_BACKWARD;
    group[3] = UNREACHED_BACKWARD;
}

bool store_reserve(DiagonalStore* store, std::int64_t count) {
    if (count <= store->allocated) return true;
    const std::int64_t grown = std::max<std::int64_t>(count, 2 * store->allocated);
    void* block = heap_realloc(store->entries, static_cast<std::size_t>(grown) * sizeof(std::int32_t));
    if (block == nullptr) return false;
    store->entries = static_cast<std::int32_t*>(block);
    store->allocated = grown;
    return true;
}

bool store_init(DiagonalStore* store, std::int32_t store_limit) {
    *store = DiagonalStore{nullptr, 0, 11, store_limit, (store_limit - 3) / 4, 11};
    if (!store_reserve(store, 22)) return false;
    for (int group = 1; group <= 3; ++group) fresh_group(store, group);
    return true;
}

// Makes room for wave `wave` (groups up to wave + 2 initialised).
bool store_prepare_wave(DiagonalStore* store, std::int32_t wave) {
    const std::int64_t needed = 4 * static_cast<std::int64_t>(wave) + 11;
    if (needed > store->capacity) {
        if (!store_reserve(store, 2 * (needed - 4))) return false;
        store->capacity = static_cast<std::int32_t>(std::min<std::int64_t>(needed - 4, UNREACHED_BACKWARD));
    }
    store->used = static_cast<std::int32_t>(std::min<std::int64_t>(needed - 4, UNREACHED_BACKWARD));
    fresh_group(store, static_cast<std::int64_t>(wave) + 1);
    fresh_group(store, static_cast<std::int64_t>(wave) + 2);
    return true;
}

// ---------------------------------------------------------------------------------------

inline std::int32_t diagonal_bound(std::int32_t d, std::int32_t n) { return d <= n ? d : 2 * n - d; }

inline std::int32_t base4_digit_count(std::int32_t d) {
    std::int32_t digits = 0;
    while (d > 0) {
        ++digits;
        d >>= 2;
    }
    return digits;
}

struct Point {
    std::int32_t x;
    std::int32_t y;
};

class DiffSearch {
public:
    DiffSearch(const ByteVector* old_value, const ByteVector* new_value, EditCoalescer* coalescer,
               std::int32_t base_effort, DiagonalStore* store, const DiffObserver* observer)
        : old_(old_value->data), new_(new_value->data), coalescer_(coalescer), base_effort_(base_effort),
          store_(store),
          statistics_(observer != nullptr && observer->statistics != nullptr ? observer->statistics : &ignored_),
          keep_going_(observer != nullptr ? observer->keep_going : nullptr),
          keep_going_context_(observer != nullptr ? observer->keep_going_context : nullptr) {}

    bool out_of_memory = false;
    bool cancelled = false;

    std::int32_t common_prefix(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m) const {
        if (n <= 0 || m <= 0) return 0;
        return equal_forward(old_ + a, new_ + c, std::min(n, m));
    }

    std::int32_t common_suffix_start(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m,
                                     std::int32_t p) const {
        const std::int32_t lower = std::max(n - m, 0) + p;
        if (n <= lower) return n;
        return n - equal_backward(old_ + a + n, new_ + c + m, n - lower);
    }

    bool solve_after_prefix(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t p,
                            std::int32_t f) {
        const std::int32_t s = common_suffix_start(a, n, c, m, p);
        const std::int32_t t = m - (n - s);
        bool ok;
        if (s == p) {
            ok = emit_insert(coalescer_, c + p, t - p);
        } else if (t == p) {
            ok = emit_delete(coalescer_);
        } else {
            ok = middle_search(a + p, s - p, c + p, t - p, f);
        }
        return ok && emit_match(coalescer_, a + s, n - s);
    }

    bool solve_with_prefix(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t f) {
        const std::int32_t p = common_prefix(a, n, c, m);
        if (!emit_match(coalescer_, a, p)) return false;
        if (p == n) return emit_insert(coalescer_, c + p, m - p);
        if (p == m) return emit_delete(coalescer_);
        return middle_search(a + p, n - p, c + p, m - p, f);
    }

    std::int32_t base_effort() const { return base_effort_; }

private:
    // Books the diagonal steps of one wave; false when the keep-going callback says stop.
    bool keep_going_after(std::int32_t lo, std::int32_t hi) {
        steps_ += static_cast<std::int64_t>(lo) + hi + 2;
        if (keep_going_ == nullptr || steps_ < next_check_) return true;
        next_check_ = steps_ + DIFF_KEEP_GOING_STEPS;
        if (keep_going_(keep_going_context_)) return true;
        cancelled = true;
        return false;
    }

    std::int32_t& forward(std::int32_t k) { return store_->entries[diagonal_index(k)]; }
    std::int32_t& backward(std::int32_t k) { return store_->entries[diagonal_index(k) + 2]; }

    bool split_at_snake(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t xs,
                        std::int32_t xe, std::int32_t k) {
        ++statistics_->snake_splits;
        return solve_after_prefix(a, xs, c, xs + k, 0, base_effort_) && emit_match(coalescer_, a + xs, xe - xs) &&
               solve_with_prefix(a + xe, n - xe, c + xe + k, m - xe - k, base_effort_);
    }

    bool split_at_point(std::int32_t a, std::int32_t x, std::int32_t n, std::int32_t c, std::int32_t y,
                        std::int32_t m, std::int32_t f) {
        return solve_after_prefix(a, x, c, y, 0, f) && solve_with_prefix(a + x, n - x, c + y, m - y, f);
    }

    Point best_forward_point(std::int32_t n, std::int32_t m, std::int32_t lo, std::int32_t hi) {
        Point best{0, 0};
        for (std::int32_t k = -lo; k <= hi; k += 2) {
            const std::int32_t x = std::min({forward(k), n, m - k});
            const std::int32_t y = x + k;
            if (static_cast<std::int64_t>(x) + y > static_cast<std::int64_t>(best.x) + best.y) best = {x, y};
        }
        return best;
    }

    Point best_backward_point(std::int32_t n, std::int32_t m, std::int32_t lo, std::int32_t hi) {
        Point best{n, m};
        for (std::int32_t k = -hi; k <= lo; k += 2) {
            const std::int32_t x = std::max({backward(k), 0, n - m - k});
            const std::int32_t y = x + k + m - n;
            if (static_cast<std::int64_t>(x) + y < static_cast<std::int64_t>(best.x) + best.y) best = {x, y};
        }
        return best;
    }

    bool middle_search(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t f) {
        ++statistics_->searches;
        const std::int32_t delta = n - m;
        const bool overlap_forward = (static_cast<std::uint32_t>(delta) & OVERLAP_FORWARD_MASK) == OVERLAP_FORWARD_MASK;
        for (int group = 1; group <= 3; ++group) fresh_group(store_, group);
        forward(0) = 0;
        backward(0) = n;
        const std::uint8_t* old_base = old_ + a;
        const std::uint8_t* new_base = new_ + c;

        for (std::int32_t d = 1;; ++d) {
            const std::int32_t lo = diagonal_bound(d, n);
            const std::int32_t hi = diagonal_bound(d, m);

            for (std::int32_t k = -lo; k <= hi; k += 2) {
                const std::int32_t before = forward(k - 1);
                const std::int32_t after = forward(k + 1);
                const std::int32_t x = after < before ? before : after + 1;
                const std::int32_t y = x + k;
                const std::int32_t room = std::min(n - x, m - y);
                const std::int32_t s = room > 0 ? equal_forward(old_base + x, new_base + y, room) : 0;
                if (overlap_forward) {
                    const std::int32_t kb = k + delta;
                    if (kb <= d - 1 && kb >= -(d - 1) && x + s >= backward(kb)) {
                        return split_at_snake(a, n, c, m, x, x + s, k);
                    }
                }
                forward(k) = x + s;
            }

            for (std::int32_t kb = -hi; kb <= lo; kb += 2) {
                const std::int32_t k = kb - delta;
                const std::int32_t above = backward(kb + 1);
                const std::int32_t below = backward(kb - 1);
                const std::int32_t x = above < below ? above : below - 1;
                const std::int32_t floor = std::max(-k, 0);
                const std::int32_t s =
                    x > floor ? equal_backward(old_base + x, new_base + k + x, x - floor) : 0;
                if (!overlap_forward && k <= d && k >= -d && x - s <= forward(k)) {
                    return split_at_snake(a, n, c, m, x - s, x, k);
                }
                backward(kb) = x - s;
            }

            if (!keep_going_after(lo, hi)) return false;
            bool may_stop = true;
            if (d % PROGRESS_CADENCE == 0) {
                const Point front = best_forward_point(n, m, lo, hi);
                const Point back = best_backward_point(n, m, lo, hi);
                const std::int64_t progress = static_cast<std::int64_t>(front.x) + front.y +
                                              (static_cast<std::int64_t>(n) - back.x) +
                                              (static_cast<std::int64_t>(m) - back.y);
                const std::int64_t o = std::int64_t{1} << base4_digit_count(d);
                if (progress < static_cast<std::int64_t>(d) * o) {
                    f -= PROGRESS_CUT;
                    may_stop = false;
                    ++statistics_->progress_cuts;
                }
            }
            if (may_stop && d > f) return fallback_split(a, n, c, m, lo, hi, f);

            if (d + 1 > store_->wave_bound) {
                ++statistics_->wave_bound_hits;
                return false;
            }
            if (!store_prepare_wave(store_, d + 1)) {
                out_of_memory = true;
                return false;
            }
        }
    }

    bool fallback_split(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t lo,
                        std::int32_t hi, std::int32_t f) {
        const Point front = best_forward_point(n, m, lo, hi);
        const Point back = best_backward_point(n, m, lo, hi);
        if (front.x >= back.x || front.y >= back.y) {
            const std::int64_t behind = (static_cast<std::int64_t>(n) - back.x) + (static_cast<std::int64_t>(m) - back.y);
            if (behind <= static_cast<std::int64_t>(front.x) + front.y) {
                ++statistics_->met_forward;
                return split_at_point(a, front.x, n, c, front.y, m, base_effort_);
            }
            ++statistics_->met_backward;
            return split_at_point(a, back.x, n, c, back.y, m, base_effort_);
        }
        const std::int32_t w = back.x - front.x;
        const std::int32_t h = back.y - front.y;
        if (!solve_after_prefix(a, front.x, c, front.y, 0, base_effort_)) return false;
        const std::int32_t ba = a + front.x;
        const std::int32_t bc = c + front.y;
        bool ok;
        if (static_cast<std::int64_t>(w) * h <
            static_cast<std::int64_t>(n) * m / 2 + BOX_AREA_ALLOWANCE) {
            ++statistics_->box_searched;
            ok = middle_search(ba, w, bc, h, std::max(f, MIN_BOX_EFFORT));
        } else if (f > 0) {
            ++statistics_->box_halved;
            ok = split_at_point(ba, w / 2, w, bc, h / 2, h, f / 2);
        } else {
            ++statistics_->box_given_up;
            const std::int32_t qa = ba + w / 4;
            const std::int32_t qc = bc + h / 4;
            ok = emit_insert(coalescer_, bc, h / 4) && emit_delete(coalescer_);
            if (ok) {
                const std::int32_t p = common_prefix(qa, w / 2, qc, h / 2);
                ok = emit_match(coalescer_, qa, p) && solve_after_prefix(qa, w / 2, qc, h / 2, p, base_effort_) &&
                     emit_insert(coalescer_, qc + h / 2, h - h / 4 - h / 2) && emit_delete(coalescer_);
            }
        }
        return ok && solve_with_prefix(a + back.x, n - back.x, c + back.y, m - back.y, base_effort_);
    }

    const std::uint8_t* old_;
    const std::uint8_t* new_;
    EditCoalescer* coalescer_;
    std::int32_t base_effort_;
    DiagonalStore* store_;
    DiffStatistics ignored_;
    DiffStatistics* statistics_;
    bool (*keep_going_)(void*);
    void* keep_going_context_;
    std::int64_t steps_ = 0;
    std::int64_t next_check_ = DIFF_KEEP_GOING_STEPS;
};

bool range_is_valid(const ByteVector* value, std::int32_t start, std::int32_t length) {
    const std::int64_t end = static_cast<std::int64_t>(start) + length;
    return start >= 0 && length >= 0 && end <= static_cast<std::int64_t>(DIFF_MAX_LENGTH) &&
           static_cast<std::uint64_t>(end) <= value->length;
}

}  // namespace

int effort_level_for_figure(std::int32_t figure) {
    if (figure < 128) return 0;
    if (figure < 166) return 1;
    if (figure < 204) return 2;
    if (figure < 243) return 3;
    return 4;
}

int diff_ranges(const ByteVector* old_value, std::int32_t old_start, std::int32_t old_length,
                const ByteVector* new_value, std::int32_t new_start, std::int32_t new_length, DeltaWriter* writer,
                std::int32_t store_limit, std::int32_t effort_limit, int level, const DiffObserver* observer) {
    if (!range_is_valid(old_value, old_start, old_length) || !range_is_valid(new_value, new_start, new_length) ||
        level < 0 || level > 4) {
        return -1;
    }
    EditCoalescer coalescer;
    edit_coalescer_init(&coalescer, writer, old_start, new_start);
    if (observer != nullptr) coalescer.trace = observer->trace;

    std::int32_t effort = effort_limit;
    if (level == 1 || level == 2) {
        const std::int32_t v = std::min({effort_limit, old_length, new_length});
        effort = std::max(v >> 2, 64);
        if (level == 2) effort >>= 2;
    } else if (level == 3) {
        effort = 1;
    }

    DiagonalStore store;
    if (!store_init(&store, store_limit)) {
        heap_free(store.entries);
        return DIFF_NO_MEMORY;
    }
    DiffSearch search(old_value, new_value, &coalescer, effort, &store, observer);

    bool solved;
    const std::int32_t p = search.common_prefix(old_start, old_length, new_start, new_length);
    if (level == 4) {
        const std::int32_t s = search.common_suffix_start(old_start, old_length, new_start, new_length, p);
        const std::int32_t t = new_length - (old_length - s);
        solved = emit_match(&coalescer, old_start, p);
        if (solved) {
            if (s == p) {
                solved = emit_insert(&coalescer, new_start + p, t - p);
            } else if (t == p) {
                solved = emit_delete(&coalescer);
            } else {
                solved = emit_insert(&coalescer, new_start + p, t - p) && emit_delete(&coalescer);
            }
        }
        solved = solved && emit_match(&coalescer, old_start + s, old_length - s);
    } else {
        solved = emit_match(&coalescer, old_start, p) &&
                 search.solve_after_prefix(old_start, old_length, new_start, new_length, p, effort);
    }
    heap_free(store.entries);

    if (search.cancelled) return DIFF_CANCELLED;
    if (search.out_of_memory || writer->out_of_memory) return DIFF_NO_MEMORY;
    if (!solved) return DIFF_WHOLE_VALUE;
    const int code = finish_edits(&coalescer, old_length, new_length);
    return writer->out_of_memory ? DIFF_NO_MEMORY : code;
}

ByteVector* select_diff_result(int code, DeltaWriter* writer, const ByteVector* new_value, bool* no_memory) {
    ByteVector* result = nullptr;
    *no_memory = code == DIFF_NO_MEMORY;
    switch (code) {
        case DIFF_DELTA:
            result = std::exchange(writer->output, nullptr);  // handed over, not copied
            break;
        case DIFF_WHOLE_VALUE:
            result = whole_value_delta(new_value);
            break;
        case DIFF_UNCHANGED: {
            static const std::uint8_t marker = 0xF6;
            result = byte_vector_new();
            if (result != nullptr && !byte_vector_append(result, &marker, 1)) {
                byte_vector_free(result);
                result = nullptr;
            }
            break;
        }
        default:
            return nullptr;
    }
    if (result != nullptr && result->length >= new_value->length) {
        byte_vector_free(result);
        result = whole_value_delta(new_value);
    }
    *no_memory = result == nullptr;
    return result;
}

ByteVector* delta_diff(LoadMonitor* monitor, const ByteVector* old_value, const ByteVector* new_value,
                       std::int32_t store_limit, std::int32_t effort_limit, DiffFailure* failure,
                       const DiffObserver* observer) {
    DiffFailure ignored;
    if (failure == nullptr) failure = &ignored;
    *failure = DIFF_FAILURE_NONE;
    if (old_value->length > DIFF_MAX_LENGTH || new_value->length > DIFF_MAX_LENGTH) {
        *failure = DIFF_FAILURE_TOO_LARGE;
        return nullptr;
    }

    int level = 0;
    if (monitor != nullptr) {
        load_monitor_begin(monitor);
        level = effort_level_for_figure(load_monitor_figure(monitor));
        monitor->level = static_cast<std::uint32_t>(level);
    }

    DeltaWriter* writer = delta_writer_new(old_value, new_value);
    if (writer == nullptr) {
        if (monitor != nullptr) load_monitor_end(monitor);
        *failure = DIFF_FAILURE_NO_MEMORY;
        return nullptr;
    }
    const int code = diff_ranges(old_value, 0, static_cast<std::int32_t>(old_value->length), new_value, 0,
                                 static_cast<std::int32_t>(new_value->length), writer, store_limit, effort_limit, level,
                                 observer);
    if (monitor != nullptr) load_monitor_end(monitor);

    bool allocation_failed = false;
    ByteVector* result = select_diff_result(code, writer, new_value, &allocation_failed);
    delta_writer_free(writer);
    if (result == nullptr) {
        *failure = code == DIFF_CANCELLED  ? DIFF_FAILURE_CANCELLED
                   : allocation_failed     ? DIFF_FAILURE_NO_MEMORY
                                           : DIFF_FAILURE_INVALID;
    }
    return result;
}

}  // namespace quorvane
