#include "delta/diff.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "cbor/format.h"
#include "common/memory.h"
#include "delta/monitor.h"
#include "delta/search_tunables.h"
#include "delta/wave.h"

namespace quorvane {
namespace {

constexpr std::int32_t UNREACHED_FORWARD = -1;
constexpr std::int32_t UNREACHED_BACKWARD = std::numeric_limits<std::int32_t>::max();

using wave::equal_backward;
using wave::equal_forward;

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

// The limits alone, without entries (the vector paths keep their fronts in a WaveStore).
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
// The parity-split store of the vector paths: the same values per diagonal as the store
// above, laid out so that the diagonals of one wave are contiguous. Forward and backward x
// live in separate arrays, each split by the parity of the diagonal; diagonal k is at index
// (k + radius) >> 1 of its array, so F(k - 1) and F(k + 1) of the previous wave are adjacent
// entries. Every array has STORE_PADDING entries on either side for the vector steps.

struct WaveStore {
    std::int32_t* block = nullptr;
    std::int64_t radius = 0;  // even; diagonals -radius .. radius
    std::int64_t stride = 0;  // entries per array, padding included

    std::int32_t* array(int front, std::int32_t k) const {  // front 0: forward, 1: backward
        return block + (2 * front + (k & 1)) * stride + wave::STORE_PADDING;
    }
    std::int64_t index(std::int32_t k) const { return (k + radius) >> 1; }
    std::int32_t& forward(std::int32_t k) const { return array(0, k)[index(k)]; }
    std::int32_t& backward(std::int32_t k) const { return array(1, k)[index(k)]; }
    // The entry of diagonal k in its array, as a pointer for a wave pass.
    std::int32_t* forward_at(std::int32_t k) const { return array(0, k) + index(k); }
    std::int32_t* backward_at(std::int32_t k) const { return array(1, k) + index(k); }
};

// Makes diagonals -magnitude .. magnitude addressable, keeping the values stored so far.
bool wave_store_grow(WaveStore* store, std::int64_t magnitude) {
    std::int64_t radius = std::max<std::int64_t>(64, 2 * store->radius);
    while (radius < magnitude) radius *= 2;
    const std::int64_t stride = radius + 1 + 2 * wave::STORE_PADDING;
    auto* block = static_cast<std::int32_t*>(heap_malloc(static_cast<std::size_t>(4 * stride) * sizeof(std::int32_t)));
    if (block == nullptr) return false;
    for (int a = 0; a < 4; ++a) {
        std::fill(block + a * stride, block + (a + 1) * stride, a < 2 ? UNREACHED_FORWARD : UNREACHED_BACKWARD);
        if (store->block != nullptr) {
            const std::int32_t* from = store->block + a * store->stride + wave::STORE_PADDING;
            std::copy(from, from + store->radius + 1, block + a * stride + wave::STORE_PADDING + (radius - store->radius) / 2);
        }
    }
    heap_free(store->block);
    store->block = block;
    store->radius = radius;
    store->stride = stride;
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

// The wave passes in portable code, over the same store (for waves too short for a vector step).
void forward_portable(const wave::WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    for (std::int32_t i = 0; i < p.count; ++i) {
        const std::int32_t before = p.prev[i];
        const std::int32_t after = p.prev[i + 1];
        const std::int32_t x = after < before ? before : after + 1;
        const std::int32_t y = x + p.k0 + 2 * i;
        const std::int32_t room = std::min(p.n - x, p.m - y);
        p.out[i] = x + (room > 0 ? equal_forward(old_base + x, new_base + y, room) : 0);
    }
}

void backward_portable(const wave::WavePass& p) {
    const std::uint8_t* old_base = p.old_value + p.a;
    const std::uint8_t* new_base = p.new_value + p.c;
    for (std::int32_t i = 0; i < p.count; ++i) {
        const std::int32_t below = p.prev[i];
        const std::int32_t above = p.prev[i + 1];
        const std::int32_t x = above < below ? above : below - 1;
        const std::int32_t k = p.k0 + 2 * i - p.delta;
        const std::int32_t floor = std::max(-k, 0);
        p.out[i] = x - (x > floor ? equal_backward(old_base + x, new_base + k + x, x - floor) : 0);
    }
}

std::int32_t first_meeting_portable(const std::int32_t* front, const std::int32_t* other, std::int32_t count,
                                    bool forward) {
    for (std::int32_t i = 0; i < count; ++i) {
        if (forward ? front[i] >= other[i] : front[i] <= other[i]) return i;
    }
    return -1;
}

const wave::WaveKernels PORTABLE_KERNELS{forward_portable, backward_portable, first_meeting_portable, 1};

// Waves of fewer diagonals than this take the portable passes even on a vector path.
constexpr std::int32_t SHORT_WAVE_DIAGONALS = 8;

std::atomic<int> chosen_path{-1};

const wave::WaveKernels* path_kernels(DiffPath path) {
    switch (path) {
        case DIFF_PATH_AVX2:
            return wave::avx2_kernels();
        case DIFF_PATH_AVX512:
            return wave::avx512_kernels();
        default:
            return nullptr;
    }
}

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

    // The vector paths' search: the same waves over the parity-split store, each pass done by
    // the path's kernels (or the portable ones for short waves), the overlap test after the
    // pass that runs it.
    bool middle_search_waves(std::int32_t a, std::int32_t n, std::int32_t c, std::int32_t m, std::int32_t f) {
        ++statistics_->searches;
        const std::int32_t delta = n - m;
        const bool overlap_forward = (static_cast<std::uint32_t>(delta) & OVERLAP_FORWARD_MASK) == OVERLAP_FORWARD_MASK;
        WaveStore& store = *wave_store_;
        for (std::int32_t magnitude = 1; magnitude <= 3; ++magnitude) wave_store_fresh(store, magnitude);
        store.forward(0) = 0;
        store.backward(0) = n;
        const ParityFronts fronts{&store};
        wave::WavePass pass{old_, new_, old_length_, new_length_, a, c, n, m, delta, 0, 0, nullptr, nullptr};

        for (std::int32_t d = 1;; ++d) {
            const std::int32_t lo = diagonal_bound(d, n);
            const std::int32_t hi = diagonal_bound(d, m);
            pass.count = (lo + hi) / 2 + 1;
            const wave::WaveKernels& kernels = pass.count < SHORT_WAVE_DIAGONALS ? PORTABLE_KERNELS : *kernels_;

            pass.k0 = -lo;
            pass.prev = store.forward_at(-lo - 1);
            pass.out = store.forward_at(-lo);
            kernels.forward(pass);
            if (overlap_forward) {
                // Diagonals k of this wave with |k + delta| <= d - 1, in diagonal order.
                const std::int32_t first = first_of_parity(clamped(-(d - 1) - std::int64_t{delta}, -lo, hi + 2), -lo);
                const std::int32_t last = clamped(d - 1 - std::int64_t{delta}, -lo - 2, hi);
                if (first <= last) {
                    const std::int32_t i = kernels.first_meeting(store.forward_at(first), store.backward_at(first + delta),
                                                                 (last - first) / 2 + 1, true);
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
            kernels.backward(pass);
            if (!overlap_forward) {
                // Diagonals k' of this wave with |k' - delta| <= d, in diagonal order.
                const std::int32_t first = first_of_parity(clamped(std::int64_t{delta} - d, -hi, lo + 2), -hi);
                const std::int32_t last = clamped(std::int64_t{delta} + d, -hi - 2, lo);
                if (first <= last) {
                    const std::int32_t i = kernels.first_meeting(store.backward_at(first), store.forward_at(first - delta),
                                                                 (last - first) / 2 + 1, false);
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
    WaveStore* wave_store_;         // the vector paths' store
    const wave::WaveKernels* kernels_;  // null: the reference path
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

bool diff_path_available(DiffPath path) {
    switch (path) {
        case DIFF_PATH_PORTABLE:
            return true;
        case DIFF_PATH_AVX2:
            return wave::avx2_kernels() != nullptr && wave::cpu_has_avx2();
        case DIFF_PATH_AVX512:
            return wave::avx512_kernels() != nullptr && wave::cpu_has_avx512();
    }
    return false;
}

bool diff_set_path(DiffPath path) {
    if (!diff_path_available(path)) return false;
    chosen_path.store(path, std::memory_order_relaxed);
    return true;
}

DiffPath diff_path() {
    int path = chosen_path.load(std::memory_order_relaxed);
    if (path < 0) {
        path = diff_path_available(DIFF_PATH_AVX512) ? DIFF_PATH_AVX512
               : diff_path_available(DIFF_PATH_AVX2) ? DIFF_PATH_AVX2
                                                     : DIFF_PATH_PORTABLE;
        int unset = -1;
        chosen_path.compare_exchange_strong(unset, path, std::memory_order_relaxed);
        path = chosen_path.load(std::memory_order_relaxed);
    }
    return static_cast<DiffPath>(path);
}

const char* diff_path_name(DiffPath path) {
    switch (path) {
        case DIFF_PATH_PORTABLE:
            return "portable";
        case DIFF_PATH_AVX2:
            return "avx2";
        case DIFF_PATH_AVX512:
            return "avx512";
    }
    return "?";
}

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

    // The vector kernels read the 32-bit word that ends at a byte, which needs values of 4 bytes.
    const wave::WaveKernels* kernels =
        old_value->length >= 4 && new_value->length >= 4 ? path_kernels(diff_path()) : nullptr;
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
            static const std::uint8_t marker = CBOR_UNCHANGED_MARKER;
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
