#include "delta/search/diff.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "common/memory.h"
#include "delta/match/compare.h"
#include "delta/search/search_tunables.h"
#include "delta/search/wave.h"

namespace quorvane {
namespace {

constexpr std::int32_t UNREACHED_FORWARD = -1;
constexpr std::int32_t UNREACHED_BACKWARD = std::numeric_limits<std::int32_t>::max();

using compare::equal_backward;
using compare::equal_forward;

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

// The limits alone, without entries (the other paths keep their fronts in a WaveStore).
void store_limits_init(DiagonalStore* store, std::int32_t store_limit) {
    *store = DiagonalStore{nullptr, 0, 11, store_limit, (store_limit - 3) / 4, 11};
}

bool store_init(DiagonalStore* store, std::int32_t store_limit) {
    store_limits_init(store, store_limit);
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

// ---------------------------------------------------------------------------------------
// The parity-split store of the wave passes: the same values per diagonal as the store
// above, laid out so that the diagonals of one wave are contiguous. Forward and backward x
// live in separate arrays, each split by the parity of the diagonal; diagonal k is at index
// (k + radius) >> 1 of its array, so F(k - 1) and F(k + 1) of the previous wave are adjacent
// entries. Beside each array of x, two arrays of the same shape hold the entries' windows of
// the old and the new value (see wave.h). Every array has STORE_PADDING entries on either
// side for the vector steps.

struct WaveStore {
    std::int32_t* block = nullptr;
    wave::Window* windows = nullptr;
    std::int64_t radius = 0;  // even; diagonals -radius .. radius
    std::int64_t stride = 0;  // entries per array, padding included
    // Where diagonal 0 (or 1) of each array would be: x by [front][parity] (front 0: forward),
    // windows by [front][value][parity] (value 0: old); diagonal k's entry is k / 2 (rounded
    // down) entries on.
    std::int32_t* x_base[2][2] = {};
    wave::Window* window_base[2][2][2] = {};

    static std::int32_t half(std::int32_t k) { return (k - (k & 1)) / 2; }
    std::int32_t* forward_at(std::int32_t k) const { return x_base[0][k & 1] + half(k); }
    std::int32_t* backward_at(std::int32_t k) const { return x_base[1][k & 1] + half(k); }
    std::int32_t& forward(std::int32_t k) const { return *forward_at(k); }
    std::int32_t& backward(std::int32_t k) const { return *backward_at(k); }
    wave::Window* window_at(int front, int value, std::int32_t k) const {
        return window_base[front][value][k & 1] + half(k);
    }
};

// Makes diagonals -magnitude .. magnitude addressable, keeping the values stored so far.
bool wave_store_grow(WaveStore* store, std::int64_t magnitude) {
    std::int64_t radius = std::max<std::int64_t>(64, 2 * store->radius);
    while (radius < magnitude) radius *= 2;
    const std::int64_t stride = radius + 1 + 2 * wave::STORE_PADDING;
    auto* block = static_cast<std::int32_t*>(heap_malloc(static_cast<std::size_t>(4 * stride) * sizeof(std::int32_t)));
    auto* windows =
        static_cast<wave::Window*>(heap_malloc(static_cast<std::size_t>(8 * stride) * sizeof(wave::Window)));
    if (block == nullptr || windows == nullptr) {
        heap_free(block);
        heap_free(windows);
        return false;
    }
    const std::int64_t shift = wave::STORE_PADDING + (radius - store->radius) / 2;
    for (int a = 0; a < 4; ++a) {
        std::fill(block + a * stride, block + (a + 1) * stride, a < 2 ? UNREACHED_FORWARD : UNREACHED_BACKWARD);
        if (store->block != nullptr) {
            const std::int32_t* from = store->block + a * store->stride + wave::STORE_PADDING;
            std::copy(from, from + store->radius + 1, block + a * stride + shift);
        }
    }
    for (int a = 0; a < 8; ++a) {
        std::fill(windows + a * stride, windows + (a + 1) * stride, wave::Window{0});
        if (store->windows != nullptr) {
            const wave::Window* from = store->windows + a * store->stride + wave::STORE_PADDING;
            std::copy(from, from + store->radius + 1, windows + a * stride + shift);
        }
    }
    heap_free(store->block);
    heap_free(store->windows);
    store->block = block;
    store->windows = windows;
    store->radius = radius;
    store->stride = stride;
    for (int front = 0; front < 2; ++front) {
        for (int parity = 0; parity < 2; ++parity) {
            const std::int64_t array = 2 * front + parity;
            store->x_base[front][parity] = block + array * stride + wave::STORE_PADDING + radius / 2;
            for (int value = 0; value < 2; ++value) {
                store->window_base[front][value][parity] =
                    windows + (2 * array + value) * stride + wave::STORE_PADDING + radius / 2;
            }
        }
    }
    return true;
}

inline bool wave_store_reserve(WaveStore* store, std::int64_t magnitude) {
    return magnitude <= store->radius || wave_store_grow(store, magnitude);
}

inline void wave_store_fresh(const WaveStore& store, std::int32_t magnitude) {
    store.forward(magnitude) = UNREACHED_FORWARD;
    store.forward(-magnitude) = UNREACHED_FORWARD;
    store.backward(magnitude) = UNREACHED_BACKWARD;
    store.backward(-magnitude) = UNREACHED_BACKWARD;
}

// Waves of fewer diagonals than this take the passes lane by lane on every path.
constexpr std::int32_t SHORT_WAVE_DIAGONALS = 8;

// The fronts of either store, read through one interface by the progress test and the fallback.
struct InterleavedFronts {
    const DiagonalStore* store;
    std::int32_t forward(std::int32_t k) const { return store->entries[diagonal_index(k)]; }
    std::int32_t backward(std::int32_t k) const { return store->entries[diagonal_index(k) + 2]; }
};

struct ParityFronts {
    const WaveStore* store;
    std::int32_t forward(std::int32_t k) const { return store->forward(k); }
    std::int32_t backward(std::int32_t k) const { return store->backward(k); }
};

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
               std::int32_t base_effort, DiagonalStore* store, WaveStore* wave_store,
               const wave::WaveKernels* kernels, const DiffObserver* observer)
        : old_(old_value->data), new_(new_value->data), old_length_(static_cast<std::int64_t>(old_value->length)),
          new_length_(static_cast<std::int64_t>(new_value->length)), coalescer_(coalescer),
          base_effort_(base_effort), store_(store), wave_store_(wave_store), kernels_(kernels),
          statistics_(observer != nullptr && observer->statistics != nullptr ? observer->statistics : &ignored_),
          ticker_(observer != nullptr ? &observer->stop : nullptr, DIFF_KEEP_GOING_STEPS, std::chrono::milliseconds(0)) {}

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
    // Books the diagonal steps of one wave; false when the stop check says stop.
    bool keep_going_after(std::int32_t lo, std::int32_t hi) {
        if (ticker_.tick(static_cast<std::uint64_t>(static_cast<std::int64_t>(lo) + hi + 2))) return true;
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

    template <typename Fronts>
    static Point best_forward_point(const Fronts& fronts, std::int32_t n, std::int32_t m, std::int32_t lo,
                                    std::int32_t hi) {
        Point best{0, 0};
        for (std::int32_t k = -lo; k <= hi; k += 2) {
            const std::int32_t x = std::min({fronts.forward(k), n, m - k});
            const std::int32_t y = x + k;
            if (static_cast<std::int64_t>(x) + y > static_cast<std::int64_t>(best.x) + best.y) best = {x, y};
        }
        return best;
    }

    template <typename Fronts>
    static Point best_backward_point(const Fronts& fronts, std::int32_t n, std::int32_t m, std::int32_t lo,
                                     std::int32_t hi) {
        Point best{n, m};
        for (std::int32_t k = -hi; k <= lo; k += 2) {
            const std::int32_t x = std::max({fronts.backward(k), 0, n - m - k});
            const std::int32_t y = x + k + m - n;
            if (static_cast<std::int64_t>(x) + y < static_cast<std::int64_t>(best.x) + best.y) best = {x, y};
        }
        return best;
    }

    // The progress test of wave d: true when it lowered the effort (the search may not stop
    // in this wave).
    template <typename Fronts>
    bool progress_test(const Fronts& fronts, std::int32_t n, std::int32_t m, std::int32_t d, std::int32_t lo,
                       std::int32_t hi, std::int32_t* f) {
        if (d % PROGRESS_CADENCE != 0) return false;
        const Point front = best_forward_point(fronts, n, m, lo, hi);
        const Point back = best_backward_point(fronts, n, m, lo, hi);
        const std::int64_t progress = static_cast<std::int64_t>(front.x) + front.y +
                                      (static_cast<std::int64_t>(n) - back.x) + (static_cast<std::int64_t>(m) - back.y);
        const std::int64_t o = std::int64_t{1} << base4_digit_count(d);
        if (progress >= static_cast<std::int64_t>(d) * o) return false;
        *f -= PROGRESS_CUT;
        ++statistics_->progress_cuts;
        return true;
    }

    // What ends a search after wave d, the same for every implementation of the waves: a
    // cancellation, the effort limit (after the progress test), or the store's wave bound.
    // Nothing means the next wave follows.
    template <typename Fronts>
    std::optional<bool> after_wave(const Fronts& fronts, std::int32_t a, std::int32_t n, std::int32_t c,
                                   std::int32_t m, std::int32_t d, std::int32_t lo, std::int32_t hi,
                                   std::int32_t* f) {
        if (!keep_going_after(lo, hi)) return false;
        if (!progress_test(fronts, n, m, d, lo, hi, f) && d > *f) {
            return fallback_split(a, n, c, m, best_forward_point(fronts, n, m, lo, hi),
                                  best_backward_point(fronts, n, m, lo, hi), *f);
        }
        if (d + 1 > store_->wave_bound) {
            ++statistics_->wave_bound_hits;
            return false;
        }
        return std::nullopt;
    }

    bool middle_search(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t f) {
        return kernels_ == nullptr ? middle_search_reference(a, n, c, m, f) : middle_search_waves(a, n, c, m, f);
    }

    // Every path's search but the reference's: the same waves over the parity-split store,
    // each pass done by the path's kernels (or the portable ones for short waves), the overlap
    // test after the pass that runs it.
    bool middle_search_waves(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t f) {
        ++statistics_->searches;
        const std::int32_t delta = n - m;
        const bool overlap_forward = (static_cast<std::uint32_t>(delta) & OVERLAP_FORWARD_MASK) == OVERLAP_FORWARD_MASK;
        WaveStore& store = *wave_store_;
        for (std::int32_t magnitude = 1; magnitude <= 3; ++magnitude) wave_store_fresh(store, magnitude);
        store.forward(0) = 0;
        store.backward(0) = n;
        // The windows of diagonal 0 (loaded whatever the lengths: at least one of n and m is not 0).
        *store.window_at(0, 0, 0) = wave::window_forward(old_ + a, old_length_ - a);
        *store.window_at(0, 1, 0) = wave::window_forward(new_ + c, new_length_ - c);
        *store.window_at(1, 0, 0) = wave::window_backward(old_ + a + n, std::int64_t{a} + n);
        *store.window_at(1, 1, 0) = wave::window_backward(new_ + c + m, std::int64_t{c} + m);
        const ParityFronts fronts{&store};
        wave::WavePass pass{old_,   new_,    old_length_, new_length_, a,       c,       n,       m,
                            delta,  0,       0,           false,       0,       nullptr, nullptr, nullptr,
                            nullptr, nullptr, nullptr};

        for (std::int32_t d = 1;; ++d) {
            const std::int32_t lo = diagonal_bound(d, n);
            const std::int32_t hi = diagonal_bound(d, m);
            pass.count = (lo + hi) / 2 + 1;
            // Short waves go lane by lane here (inlined), the others through the path's kernels.
            const bool short_wave = pass.count < SHORT_WAVE_DIAGONALS;

            pass.refresh = d % wave::REFRESH_WAVES == 0;
            pass.valid = wave::WINDOW_BYTES - d % wave::REFRESH_WAVES;
            pass.k0 = -lo;
            pass.prev = store.forward_at(-lo - 1);
            pass.out = store.forward_at(-lo);
            pass.prev_old = store.window_at(0, 0, -lo - 1);
            pass.prev_new = store.window_at(0, 1, -lo - 1);
            pass.out_old = store.window_at(0, 0, -lo);
            pass.out_new = store.window_at(0, 1, -lo);
            if (short_wave) {
                for (std::int32_t i = 0; i < pass.count; ++i) wave::forward_lane(pass, i);
            } else {
                kernels_->forward(pass);
            }
            if (overlap_forward) {
                // Diagonals k of this wave with |k + delta| <= d - 1, in diagonal order.
                const std::int32_t first = first_of_parity(clamped(-(d - 1) - std::int64_t{delta}, -lo, hi + 2), -lo);
                const std::int32_t last = clamped(d - 1 - std::int64_t{delta}, -lo - 2, hi);
                if (first <= last) {
                    const std::int32_t count = (last - first) / 2 + 1;
                    const std::int32_t i = short_wave ? wave::first_meeting_lanes(store.forward_at(first),
                                                                                   store.backward_at(first + delta), count, true)
                                                      : kernels_->first_meeting(store.forward_at(first),
                                                                                store.backward_at(first + delta), count, true);
                    if (i >= 0) {
                        const std::int32_t k = first + 2 * i;
                        const std::int32_t before = store.forward(k - 1);
                        const std::int32_t after = store.forward(k + 1);
                        const std::int32_t x = after < before ? before : after + 1;
                        return split_at_snake(a, n, c, m, x, store.forward(k), k);
                    }
                }
            }

            pass.k0 = -hi;
            pass.prev = store.backward_at(-hi - 1);
            pass.out = store.backward_at(-hi);
            pass.prev_old = store.window_at(1, 0, -hi - 1);
            pass.prev_new = store.window_at(1, 1, -hi - 1);
            pass.out_old = store.window_at(1, 0, -hi);
            pass.out_new = store.window_at(1, 1, -hi);
            if (short_wave) {
                for (std::int32_t i = 0; i < pass.count; ++i) wave::backward_lane(pass, i);
            } else {
                kernels_->backward(pass);
            }
            if (!overlap_forward) {
                // Diagonals k' of this wave with |k' - delta| <= d, in diagonal order.
                const std::int32_t first = first_of_parity(clamped(std::int64_t{delta} - d, -hi, lo + 2), -hi);
                const std::int32_t last = clamped(std::int64_t{delta} + d, -hi - 2, lo);
                if (first <= last) {
                    const std::int32_t count = (last - first) / 2 + 1;
                    const std::int32_t i = short_wave ? wave::first_meeting_lanes(store.backward_at(first),
                                                                                   store.forward_at(first - delta), count, false)
                                                      : kernels_->first_meeting(store.backward_at(first),
                                                                                store.forward_at(first - delta), count, false);
                    if (i >= 0) {
                        const std::int32_t kb = first + 2 * i;
                        const std::int32_t above = store.backward(kb + 1);
                        const std::int32_t below = store.backward(kb - 1);
                        const std::int32_t x = above < below ? above : below - 1;
                        return split_at_snake(a, n, c, m, store.backward(kb), x, kb - delta);
                    }
                }
            }

            if (const std::optional<bool> ended = after_wave(fronts, a, n, c, m, d, lo, hi, &f)) return *ended;
            if (!wave_store_reserve(&store, static_cast<std::int64_t>(d) + 3)) {
                out_of_memory = true;
                return false;
            }
            wave_store_fresh(store, d + 2);
            wave_store_fresh(store, d + 3);
        }
    }

    // value limited to [low, high] (computed in 64 bits: the bounds of an overlap range may lie
    // far outside the 32-bit range of diagonals).
    static std::int32_t clamped(std::int64_t value, std::int32_t low, std::int32_t high) {
        return static_cast<std::int32_t>(std::min<std::int64_t>(std::max<std::int64_t>(value, low), high));
    }

    // The least value >= from with the parity of `like`.
    static std::int32_t first_of_parity(std::int32_t from, std::int32_t like) { return from + ((from ^ like) & 1); }

    bool middle_search_reference(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t f) {
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

            const InterleavedFronts fronts{store_};
            if (const std::optional<bool> ended = after_wave(fronts, a, n, c, m, d, lo, hi, &f)) return *ended;
            if (!store_prepare_wave(store_, d + 1)) {
                out_of_memory = true;
                return false;
            }
        }
    }

    // The effort is spent before the fronts met, at the best points they reached.
    bool fallback_split(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, Point front, Point back,
                        std::int32_t f) {
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
    std::int64_t old_length_;
    std::int64_t new_length_;
    EditCoalescer* coalescer_;
    std::int32_t base_effort_;
    DiagonalStore* store_;          // the reference path's store
    WaveStore* wave_store_;         // the other paths' store
    const wave::WaveKernels* kernels_;  // null: the reference path
    DiffStatistics ignored_;
    DiffStatistics* statistics_;
    WorkTicker ticker_;
};

bool range_is_valid(const ByteVector* value, std::int32_t start, std::int32_t length) {
    const std::int64_t end = static_cast<std::int64_t>(start) + length;
    return start >= 0 && length >= 0 && end <= static_cast<std::int64_t>(DIFF_MAX_LENGTH) &&
           static_cast<std::uint64_t>(end) <= value->length;
}

}  // namespace

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

    const wave::WaveKernels* kernels = wave::path_kernels(diff_path());
    DiagonalStore store;
    WaveStore wave_store;
    const bool stored = kernels == nullptr ? store_init(&store, store_limit)
                                           : (store_limits_init(&store, store_limit), wave_store_reserve(&wave_store, 4));
    if (!stored) {
        heap_free(store.entries);
        return DIFF_NO_MEMORY;
    }
    DiffSearch search(old_value, new_value, &coalescer, effort, &store, &wave_store, kernels, observer);

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
    heap_free(wave_store.block);
    heap_free(wave_store.windows);

    if (search.cancelled) return DIFF_CANCELLED;
    if (search.out_of_memory || writer->out_of_memory) return DIFF_NO_MEMORY;
    if (!solved) return DIFF_WHOLE_VALUE;
    const int code = finish_edits(&coalescer, old_length, new_length);
    return writer->out_of_memory ? DIFF_NO_MEMORY : code;
}

ByteVector* delta_diff(LoadMonitor* monitor, const ByteVector* old_value, const ByteVector* new_value,
                       std::int32_t store_limit, std::int32_t effort_limit, DiffFailure* failure,
                       const DiffObserver* observer) {
    struct Run {
        std::int32_t store_limit;
        std::int32_t effort_limit;
        const DiffObserver* observer;
    } run{store_limit, effort_limit, observer};
    const DeltaProducer producer{
        [](void* context, const ByteVector* a, const ByteVector* b, int level, DeltaWriter* writer) {
            const Run& r = *static_cast<const Run*>(context);
            return diff_ranges(a, 0, static_cast<std::int32_t>(a->length), b, 0, static_cast<std::int32_t>(b->length),
                               writer, r.store_limit, r.effort_limit, level, r.observer);
        },
        &run};
    return drive_delta(monitor, old_value, new_value, producer, failure);
}

}  // namespace quorvane
