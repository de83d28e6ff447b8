// Fuzz target: diff_blocks then patch over arbitrary pairs of values.
//
// The input is a configuration byte (the index stride, bucket size, look-ahead and skipping
// of the scan), a second byte, then the material of the two values: either split in two at
// a point taken from the second byte, or (derived mode) one value repeated and a second
// made from it by moving, copying, replacing, inserting and deleting blocks. It checks:
//   - the delta is the whole-value delta, the unchanged marker (only for equal values of two
//     bytes or more), or a script strictly shorter than the new value whose entries each
//     cover a byte or more and whose matches lie within the old value;
//   - the plain reference patch and apply_delta both rebuild the new value from it;
//   - a second call gives the same bytes; running out of memory gives no result or the same
//     result, and leaks nothing.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/memory.h"
#include "delta/blocks/blocks.h"
#include "delta/raw/patch.h"
#include "fuzz_check.h"
#include "fuzz_values.h"
#include "reference_patch.h"

using namespace quorvane;

namespace {

void check(bool condition, const char* what) {
    if (!condition) fuzz_fail("fuzz_blocks_patch", what);
}

using Bytes = FuzzBytes;

// The new value: blocks of the old one in a shuffled order, some repeated, with small edits.
Bytes derive(const Bytes& old, std::uint64_t seed, unsigned pieces) {
    Bytes out;
    Generator gen{seed};
    for (unsigned i = 0; i < pieces; ++i) {
        const std::uint32_t r = gen.next();
        const std::size_t length = 1 + gen.below(r & 0x100 ? 200 : 12);
        if (r % 5 == 0 || old.empty()) {
            for (std::size_t k = 0; k < length; ++k) out.push_back(static_cast<std::uint8_t>(gen.next() % (r & 0x200 ? 256 : 3)));
        } else {
            const std::size_t from = gen.below(old.size());
            const std::size_t to = std::min(old.size(), from + length * (r & 0x400 ? 8 : 1));
            out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(from), old.begin() + static_cast<std::ptrdiff_t>(to));
        }
    }
    return out;
}

Bytes to_bytes(const ByteVector* vector) {
    return vector->length == 0 ? Bytes() : Bytes(vector->data, vector->data + vector->length);
}

bool is_whole_value_delta(const Bytes& delta, const Bytes& value) {
    const ByteVector v = byte_vector_view(value.data(), value.size());
    ByteVector* whole = whole_value_delta(&v);
    check(whole != nullptr, "whole_value_delta failed");
    const bool same = to_bytes(whole) == delta;
    byte_vector_free(whole);
    return same;
}

// Entries cover a byte or more and matches lie within the old value.
void check_entries(const Bytes& delta, std::size_t old_size) {
    std::size_t pos = 0;
    while (pos < delta.size()) {
        const auto head = fuzz_reference::read_head(delta.data(), delta.size(), pos);
        check(head.has_value(), "a cut-short head");
        pos = head->end;
        if (head->major == 0) {
            const auto length = fuzz_reference::read_head(delta.data(), delta.size(), pos);
            check(length.has_value() && length->major == 0, "a match without its length");
            pos = length->end;
            check(length->argument >= 1, "a match of no bytes");
            check(head->argument <= old_size && length->argument <= old_size - head->argument, "a match outside the old value");
        } else {
            check(head->major == 2 && head->info <= 27, "an entry that is neither a match nor a byte string");
            check(head->argument >= 1, "an insert of no bytes");
            pos += static_cast<std::size_t>(head->argument);
        }
    }
}

void check_delta(const Bytes& delta, const Bytes& old, const Bytes& neu) {
    if (delta.size() == 1 && delta[0] == 0xF6) {
        check(old == neu && neu.size() >= 2, "unchanged marker for values that differ or are shorter than two bytes");
    } else if (!is_whole_value_delta(delta, neu)) {
        check(delta.size() < neu.size(), "a script not shorter than the new value");
        check_entries(delta, old.size());
    }
    const auto rebuilt = fuzz_reference::patch(old.data(), old.size(), delta.data(), delta.size());
    check(rebuilt.has_value(), "the reference patch rejects the delta");
    check(*rebuilt == neu, "the reference patch does not give the new value");
    const Exact old_copy(old), delta_copy(delta);
    const ByteVector old_view = old_copy.view(), delta_view = delta_copy.view();
    ByteVector* result = apply_delta(&old_view, &delta_view);
    check(result != nullptr, "apply_delta rejects the delta");
    check(to_bytes(result) == neu, "apply_delta does not give the new value");
    byte_vector_free(result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3 || size > 16384) return 0;
    const std::uint8_t config = data[0];
    const std::uint8_t extra = data[1];
    Bytes old, neu;
    if (config & 0x80) {
        const Bytes payload(data + 2, data + size);
        const unsigned repeats = 1 + (extra >> 6);
        for (unsigned i = 0; i < repeats; ++i) old.insert(old.end(), payload.begin(), payload.end());
        neu = derive(old, (static_cast<std::uint64_t>(extra) << 32) | size, 1 + (extra & 63));
    } else {
        const std::size_t split = 2 + (size - 2) * extra / 255;
        old.assign(data + 2, data + split);
        neu.assign(data + split, data + size);
    }
    BlocksOptions options = (config & 0x40) ? blocks_options_compact() : blocks_options_default();
    if (config & 0x20) {  // a setting of its own
        options.stride = 1u << (config & 3);
        options.bucket_size = 1u << ((config >> 2) & 3);
        options.lazy_steps = (extra >> 3) % 3;
        options.skip_shift = ((config >> 4) & 1) * (1 + extra % 7);
    }

    const Exact old_exact(old), new_exact(neu);
    const ByteVector old_view = old_exact.view(), new_view = new_exact.view();
    DiffFailure failure = DIFF_FAILURE_NONE;
    ByteVector* result = delta_diff_blocks(&old_view, &new_view, options, &failure);
    check(result != nullptr, "no result for values in range");
    const Bytes delta = to_bytes(result);
    byte_vector_free(result);
    check_delta(delta, old, neu);

    result = delta_diff_blocks(&old_view, &new_view, options, &failure);
    check(result != nullptr && to_bytes(result) == delta, "a second call gives other bytes");
    byte_vector_free(result);

    heap_fail_after(extra % 8);
    failure = DIFF_FAILURE_NONE;
    result = delta_diff_blocks(&old_view, &new_view, options, &failure);
    heap_fail_after(-1);
    if (result == nullptr) {
        check(failure == DIFF_FAILURE_NO_MEMORY, "no result without running out of memory");
    } else {
        check(to_bytes(result) == delta, "a call that had memory enough gives other bytes");
        byte_vector_free(result);
    }
    return 0;
}
