// Fuzz target: apply_delta over an arbitrary old value and delta.
//
// The first two bytes give the old value's length (at most 1024, so that a delta of many
// matches stays small in memory), the old value follows, the rest is the delta. Both are
// handed to patch in blocks of exactly their size, so any read past either is caught. It
// checks that patch returns the result that the reference patch makes of the delta, or
// rejects it exactly when the reference does, naming a failure and a byte inside the delta;
// and that with allocations failing part way it returns the same result or a rejection
// for want of memory, leaking nothing.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/memory.h"
#include "common/bytes.h"
#include "delta/raw/patch.h"
#include "fuzz_check.h"
#include "reference_patch.h"

using namespace quorvane;

namespace {

void check(bool condition, const char* what) {
    if (!condition) fuzz_fail("fuzz_apply_delta", what);
}

std::unique_ptr<std::uint8_t[]> exact_copy(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(copy.get(), data, size);
    return copy;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t old_size = (static_cast<std::size_t>(data[0]) << 8 | data[1]) % 1025;
    if (old_size > size - 2) old_size = size - 2;
    const std::uint8_t* old_bytes = data + 2;
    const std::uint8_t* delta_bytes = old_bytes + old_size;
    const std::size_t delta_size = size - 2 - old_size;

    const auto old_copy = exact_copy(old_bytes, old_size);
    const auto delta_copy = exact_copy(delta_bytes, delta_size);
    const ByteVector old_view = byte_vector_view(old_size == 0 ? nullptr : old_copy.get(), old_size);
    const ByteVector delta_view = byte_vector_view(delta_size == 0 ? nullptr : delta_copy.get(), delta_size);

    const auto expected = fuzz_reference::patch(old_bytes, old_size, delta_bytes, delta_size);

    PatchError error{PATCH_FAILURE_NONE, 0};
    ByteVector* result = apply_delta(&old_view, &delta_view, &error);
    if (expected) {
        check(result != nullptr, "apply_delta rejects a delta that the reference applies");
        check(error.failure == PATCH_FAILURE_NONE, "a result with a failure set");
        check(result->length == expected->size(), "apply_delta result has the wrong length");
        check(result->length <= result->capacity, "result length beyond its capacity");
        check(expected->empty() || std::memcmp(result->data, expected->data(), expected->size()) == 0,
              "apply_delta result differs from the reference");
    } else {
        check(result == nullptr, "apply_delta applies a delta that the reference rejects");
        check(error.failure != PATCH_FAILURE_NONE && error.failure != PATCH_FAILURE_NO_MEMORY &&
                  error.failure != PATCH_FAILURE_TOO_LARGE,
              "a rejection without a fitting failure");
        check(error.offset < delta_size, "a rejection that names a byte outside the delta");
        check(patch_failure_text(error.failure) != nullptr, "no text for a failure");
    }
    byte_vector_free(result);

    // Allocation failure part way: the same result or a rejection for want of memory.
    heap_fail_after(data[size - 1] % 8);
    error = PatchError{PATCH_FAILURE_NONE, 0};
    result = apply_delta(&old_view, &delta_view, &error);
    heap_fail_after(-1);
    if (result != nullptr) {
        check(expected && result->length == expected->size() &&
                  (expected->empty() || std::memcmp(result->data, expected->data(), expected->size()) == 0),
              "apply_delta under allocation failure gave a wrong result");
    } else {
        check(!expected || error.failure == PATCH_FAILURE_NO_MEMORY, "a valid delta rejected for another reason than memory");
    }
    byte_vector_free(result);
    return 0;
}
