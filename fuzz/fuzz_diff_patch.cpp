// Fuzz target: diff then patch over arbitrary pairs of values.
//
// The input is a configuration byte, then the material of the two values: either split in
// two at a point taken from the input, or (derived mode) one value plus a list of edits
// that turns it into a similar second value, so that the search meets long shared stretches
// with scattered differences. For the driver (delta_diff) and for the engine entry
// (diff_ranges) at effort levels 0 to 4, with large and tiny effort and store limits, on the
// whole values and on sub-ranges, it checks:
//   - the delta is the whole-value delta, the unchanged marker (only for equal values of two
//     bytes or more), or an edit script strictly shorter than the new value;
//   - patching the old value with the delta gives the new value (with the reference patch
//     and with apply_delta);
//   - invalid ranges are refused; running out of memory gives no result and leaks nothing;
//   - every path of the wave passes this processor has (portable, AVX2, AVX-512) gives the
//     reference search's bytes, at every level, on whole values and sub-ranges.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/memory.h"
#include "common/bytes.h"
#include "delta/search/diff.h"
#include "delta/raw/patch.h"
#include "delta/raw/writer.h"
#include "fuzz_check.h"
#include "fuzz_values.h"
#include "reference_patch.h"

using namespace quorvane;

namespace {

void check(bool condition, const char* what) {
    if (!condition) fuzz_fail("fuzz_diff_patch", what);
}

using Bytes = FuzzBytes;

// The new value: the old one with up to 32 edits (replace, insert, delete, move a block).
Bytes derive(const Bytes& old, std::uint64_t seed, unsigned edits) {
    Bytes out = old;
    Generator gen{seed};
    for (unsigned i = 0; i < edits; ++i) {
        const std::uint32_t r = gen.next();
        const std::size_t pos = out.empty() ? 0 : gen.next() % (out.size() + 1);
        const std::size_t length = 1 + gen.next() % (r & 0x100 ? 64 : 6);
        switch (r % 4) {
            case 0:  // replace
                for (std::size_t k = pos; k < std::min(out.size(), pos + length); ++k) out[k] = static_cast<std::uint8_t>(gen.next());
                break;
            case 1: {  // insert fresh bytes
                Bytes fresh(length);
                for (auto& b : fresh) b = static_cast<std::uint8_t>(gen.next() % 4);
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), fresh.begin(), fresh.end());
                break;
            }
            case 2:  // delete
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(pos),
                          out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), pos + length)));
                break;
            default: {  // copy a block from elsewhere
                if (out.empty()) break;
                const std::size_t from = gen.next() % out.size();
                const Bytes block(out.begin() + static_cast<std::ptrdiff_t>(from),
                                  out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), from + length)));
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(pos), block.begin(), block.end());
            }
        }
    }
    return out;
}

bool is_whole_value_delta(const Bytes& delta, const std::uint8_t* value, std::size_t size) {
    // One definite byte string in shortest form holding exactly the value.
    Bytes expected;
    const std::uint64_t n = size;
    if (n < 24) {
        expected.push_back(static_cast<std::uint8_t>(0x40 + n));
    } else {
        const unsigned width = n <= 0xFF ? 1 : n <= 0xFFFF ? 2 : 4;
        expected.push_back(static_cast<std::uint8_t>(width == 1 ? 0x58 : width == 2 ? 0x59 : 0x5A));
        for (unsigned i = 0; i < width; ++i) expected.push_back(static_cast<std::uint8_t>(n >> (8 * (width - 1 - i))));
    }
    expected.insert(expected.end(), value, value + size);
    return delta == expected;
}

// The checks every delta must pass for old -> new.
void check_delta(const Bytes& delta, const std::uint8_t* old, std::size_t old_size, const std::uint8_t* neu,
                 std::size_t new_size) {
    const bool equal = old_size == new_size && (old_size == 0 || std::memcmp(old, neu, old_size) == 0);
    if (delta.size() == 1 && delta[0] == 0xF6) {
        check(equal && new_size >= 2, "unchanged marker for values that differ or are shorter than two bytes");
    } else {
        check(delta.size() < new_size || is_whole_value_delta(delta, neu, new_size),
              "a delta that is neither shorter than the new value nor the whole-value delta");
    }
    const auto rebuilt = fuzz_reference::patch(old, old_size, delta.data(), delta.size());
    check(rebuilt.has_value(), "the reference patch rejects a delta that diff made");
    check(rebuilt->size() == new_size && (new_size == 0 || std::memcmp(rebuilt->data(), neu, new_size) == 0),
          "patching with the delta does not give the new value");
    // apply_delta over exact-size copies, so that AddressSanitizer sees any overread.
    const Exact old_copy(Bytes(old, old + old_size)), delta_copy(delta);
    const ByteVector old_view = old_copy.view();
    const ByteVector delta_view = delta_copy.view();
    ByteVector* result = apply_delta(&old_view, &delta_view);
    check(result != nullptr, "apply_delta rejects a delta that diff made");
    check(result->length == new_size && (new_size == 0 || std::memcmp(result->data, neu, new_size) == 0),
          "apply_delta does not give the new value");
    byte_vector_free(result);
}

Bytes to_bytes(const ByteVector* vector) {
    return vector->length == 0 ? Bytes() : Bytes(vector->data, vector->data + vector->length);
}

// diff_ranges on old[a, a+n) -> new[c, c+m) at one level; the result chosen as the driver does.
std::optional<Bytes> run_ranges(const ByteVector* old, std::int32_t a, std::int32_t n, const ByteVector* neu,
                                std::int32_t c, std::int32_t m, std::int32_t store_limit, std::int32_t effort_limit,
                                int level) {
    DeltaWriter* writer = delta_writer_new(old, neu);
    check(writer != nullptr, "delta_writer_new failed");
    DiffStatistics statistics;
    DiffObserver observer;
    observer.statistics = &statistics;
    const int code = diff_ranges(old, a, n, neu, c, m, writer, store_limit, effort_limit, level, &observer);
    if (code == DIFF_DELTA) check(writer->output->length != 0 || m == 0, "an empty edit script for a non-empty new range");
    // The result as the driver chooses it, for the new range alone.
    const ByteVector sub = byte_vector_view(m == 0 ? nullptr : neu->data + c, static_cast<std::uint64_t>(m));
    bool no_memory = false;
    ByteVector* result = select_diff_result(code, writer, &sub, &no_memory);
    delta_writer_free(writer);
    std::optional<Bytes> out;
    if (result == nullptr) {
        check(code == -1 && !no_memory, "no result for a valid range");
    } else {
        out = to_bytes(result);
        byte_vector_free(result);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > 8192) return 0;
    const std::uint8_t config = data[0];
    const std::uint8_t extra = data[1];
    Bytes old, neu;
    if (config & 0x80) {
        // Derived mode: the rest is the old value, repeated to give it some length.
        const Bytes payload(data + 2, data + size);
        const unsigned repeats = 1 + (extra >> 5);
        for (unsigned i = 0; i < repeats; ++i) old.insert(old.end(), payload.begin(), payload.end());
        neu = derive(old, (static_cast<std::uint64_t>(extra) << 32) | size, 1 + (extra & 31));
    } else {
        const std::size_t split = 2 + (size - 2) * extra / 255;
        old.assign(data + 2, data + split);
        neu.assign(data + split, data + size);
    }

    static const std::int32_t effort_limits[] = {10000, 0, 1, 2, 8, 64, 300, 10000};
    static const std::int32_t store_limits[] = {0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 11, 15, 40, 100, 1000};
    const std::int32_t effort_limit = effort_limits[config & 7];
    const std::int32_t store_limit = store_limits[(config >> 3) & 7];

    // Exact-size heap copies for the engine.
    const Exact old_exact(old), new_exact(neu);
    const ByteVector old_view = old_exact.view();
    const ByteVector new_view = new_exact.view();

    // The driver, as diff calls it (no monitor), with the limits of this input.
    DiffFailure failure = DIFF_FAILURE_NONE;
    ByteVector* result = delta_diff(nullptr, &old_view, &new_view, 0x7FFFFFFF, effort_limit, &failure);
    check(result != nullptr, "delta_diff gave no result for values in range");
    check_delta(to_bytes(result), old.data(), old.size(), neu.data(), neu.size());
    byte_vector_free(result);

    // The engine entry at every level, with this input's store limit, on the reference path and
    // then on every other path (which must give the same bytes).
    const auto n = static_cast<std::int32_t>(old.size()), m = static_cast<std::int32_t>(neu.size());
    const std::int32_t a = n == 0 ? 0 : extra % (n + 1), c = m == 0 ? 0 : (extra * 7) % (m + 1);
    const DiffPath default_path = diff_path();
    static const DiffPath fast_paths[] = {DIFF_PATH_PORTABLE, DIFF_PATH_AVX2, DIFF_PATH_AVX512};
    for (int level = 0; level <= 5; ++level) {
        const bool whole = level <= 4;  // level 5 stands for the sub-ranges at this input's level
        const auto run = [&] {
            return whole ? run_ranges(&old_view, 0, n, &new_view, 0, m, store_limit, effort_limit, level)
                         : run_ranges(&old_view, a, n - a, &new_view, c, m - c, store_limit, effort_limit, config % 5);
        };
        diff_set_path(DIFF_PATH_REFERENCE);
        const auto delta = run();
        check(delta.has_value(), "diff_ranges refused valid ranges");
        if (whole) {
            check_delta(*delta, old.data(), old.size(), neu.data(), neu.size());
        } else {
            check_delta(*delta, old.data() + a, static_cast<std::size_t>(n - a), neu.data() + c,
                        static_cast<std::size_t>(m - c));
        }
        for (const DiffPath path : fast_paths) {
            if (!diff_set_path(path)) continue;
            check(run() == delta, "a path gives other bytes than the reference search");
        }
    }
    diff_set_path(default_path);

    // Ranges that must be refused.
    check(!run_ranges(&old_view, -1, 1, &new_view, 0, m, store_limit, effort_limit, 0), "a negative start was accepted");
    check(!run_ranges(&old_view, 0, n + 1, &new_view, 0, m, store_limit, effort_limit, 0), "an old range past the end was accepted");
    check(!run_ranges(&old_view, 0, n, &new_view, m, 1, store_limit, effort_limit, 0), "a new range past the end was accepted");
    check(!run_ranges(&old_view, 1, 0x7FFFFFFF, &new_view, 0, m, store_limit, effort_limit, 0), "an overflowing range was accepted");

    // Out of memory part way: no result (or a correct one), nothing leaked.
    heap_fail_after(extra % 24);
    failure = DIFF_FAILURE_NONE;
    result = delta_diff(nullptr, &old_view, &new_view, store_limit, effort_limit, &failure);
    heap_fail_after(-1);
    if (result == nullptr) {
        check(failure == DIFF_FAILURE_NO_MEMORY, "delta_diff failed without saying it ran out of memory");
    } else {
        check_delta(to_bytes(result), old.data(), old.size(), neu.data(), neu.size());
        byte_vector_free(result);
    }
    return 0;
}
