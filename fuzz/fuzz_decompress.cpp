// Fuzz target: decompress over arbitrary compressed deltas and old values.
//
// The input is a flag byte, two bytes of old-value length, the old value, then the delta.
// With flag bit 0 set, the delta's old length and checksum and the frame's checksum are
// rewritten to match before decoding, so that the decoder's deeper checks (the
// section table, zstd frames, the instruction streams) are reached, not only the checksums.
// It checks that decompress never crashes, reads or writes outside its buffers or leaks, that
// a failure names an offset within the delta (or just past it), and that a success gives
// exactly the declared length whose checksum matched.
#include <cstdint>
#include <cstring>

#include "delta/compressed/compress.h"
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

bool varint(const FuzzBytes& b, std::size_t* at, std::uint64_t* value) {
    *value = 0;
    for (int shift = 0; shift < 64 && *at < b.size(); shift += 7) {
        const std::uint8_t byte = b[(*at)++];
        *value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

void put_varint(FuzzBytes* out, std::uint64_t v) {
    while (v >= 0x80) {
        out->push_back(static_cast<std::uint8_t>(v | 0x80));
        v >>= 7;
    }
    out->push_back(static_cast<std::uint8_t>(v));
}

// Rewrites the fields that a random delta would otherwise never get right: the old value's
// length and checksum, and the frame's checksum (its last 8 bytes).
void resign(FuzzBytes* delta, const FuzzBytes& old) {
    std::size_t at = 7;
    std::uint64_t old_length, new_length;
    if (delta->size() < 7 || !varint(*delta, &at, &old_length)) return;
    FuzzBytes out(delta->begin(), delta->begin() + 7);
    put_varint(&out, old.size());
    const std::size_t new_at = at;
    if (!varint(*delta, &at, &new_length) || delta->size() - at < 16 + 8) return;
    out.insert(out.end(), delta->begin() + static_cast<std::ptrdiff_t>(new_at), delta->begin() + static_cast<std::ptrdiff_t>(at));
    std::uint8_t sum[8];
    put64(sum, XXH3_64bits(old.data(), old.size()));
    out.insert(out.end(), sum, sum + 8);
    out.insert(out.end(), delta->begin() + static_cast<std::ptrdiff_t>(at + 8), delta->end() - 8);
    put64(sum, XXH3_64bits(out.data(), out.size()));
    out.insert(out.end(), sum, sum + 8);
    delta->swap(out);
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
    // Inputs with bit 1 of the first byte set go through decoders kept from input to input,
    // as the bindings keep them per thread (whatever the inputs before left in them).
    static KeptDecoders* const kept = kept_decoders_new();
    DecompressError error;
    ByteVector* result = delta_decompress(&o, &d, max_size, &error, nullptr, (data[0] & 2) != 0 ? kept : nullptr);
    if (result == nullptr) {
        check(error.failure != DECOMPRESS_FAILURE_NONE, "no result without a failure");
        check(error.offset <= delta.size(), "failure offset beyond the delta");
        check(error.reason != nullptr && error.reason[0] != '\0', "failure without a reason");
        return 0;
    }
    std::size_t at = 7;
    std::uint64_t declared_old = 0, declared_new = 0;
    check(varint(delta, &at, &declared_old) && varint(delta, &at, &declared_new) && delta.size() - at >= 16,
          "a result from a delta without a header");
    check(result->length == declared_new && declared_old == old.size(), "result length is not the declared one");
    check(result->length <= max_size, "result beyond max_size");
    check(XXH3_64bits(result->data, result->length) == get64(delta.data() + at + 8), "result checksum differs");
    byte_vector_free(result);
    return 0;
}
