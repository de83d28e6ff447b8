// Fuzz target: decompress over arbitrary compressed deltas and old values.
//
// The input is a flag byte, two bytes of old-value length, the old value, then the delta.
// With flag bit 0 set, the delta's checksums (sections, header) and its old length and
// checksum are rewritten to match before decoding, so that the decoder's deeper checks (the
// section table, zstd frames, the instruction streams) are reached, not only the checksums.
// It checks that decompress never crashes, reads or writes outside its buffers or leaks, that
// a failure names an offset within the delta (or just past it), and that a success gives
// exactly the declared length whose checksum matched.
#include <cstdint>
#include <cstring>

#include "delta/compress.h"
#include "fuzz_check.h"
#include "fuzz_values.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

using namespace quorvane;

namespace {

void check(bool condition, const char* what) {
    if (!condition) fuzz_fail("fuzz_decompress", what);
}

void put64(std::uint8_t* p, std::uint64_t v) {
    for (int k = 0; k < 8; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

std::uint64_t get64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int k = 7; k >= 0; --k) v = (v << 8) | p[k];
    return v;
}

// Rewrites the fields that a random delta would otherwise never get right.
void resign(FuzzBytes* delta, const FuzzBytes& old) {
    if (delta->size() < 40) return;
    std::uint8_t* d = delta->data();
    const std::uint64_t head = 40 + 17 * static_cast<std::uint64_t>(d[6]) + 16;
    if (delta->size() < head) return;
    put64(d + 8, old.size());
    put64(d + 24, XXH3_64bits(old.data(), old.size()));
    put64(d + head - 16, XXH3_64bits(d + head, delta->size() - head));
    put64(d + head - 8, XXH3_64bits(d, head - 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const bool fix = (data[0] & 1) != 0;
    std::size_t old_length = static_cast<std::size_t>(data[1]) | static_cast<std::size_t>(data[2]) << 8;
    if (old_length > size - 3) old_length = size - 3;
    const FuzzBytes old(data + 3, data + 3 + old_length);
    FuzzBytes delta(data + 3 + old_length, data + size);
    if (fix) resign(&delta, old);
    const Exact old_exact(old), delta_exact(delta);
    const ByteVector o = old_exact.view(), d = delta_exact.view();
    const std::uint64_t max_size = 1 << 20;
    DecompressError error;
    ByteVector* result = delta_decompress(&o, &d, max_size, &error);
    if (result == nullptr) {
        check(error.failure != DECOMPRESS_FAILURE_NONE, "no result without a failure");
        check(error.offset <= delta.size(), "failure offset beyond the delta");
        check(error.reason != nullptr && error.reason[0] != '\0', "failure without a reason");
        return 0;
    }
    check(delta.size() >= 56 && result->length == get64(delta.data() + 16), "result length is not the declared one");
    check(result->length <= max_size, "result beyond max_size");
    check(XXH3_64bits(result->data, result->length) == get64(delta.data() + 32), "result checksum differs");
    byte_vector_free(result);
    return 0;
}
