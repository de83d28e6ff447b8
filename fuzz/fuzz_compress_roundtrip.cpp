// Fuzz target: compress then decompress over arbitrary pairs of values at every level.
//
// The input is a level byte, a second byte, then the material of the two values: either
// split in two at a point taken from the second byte, or (derived mode) one value and a
// second made from it by moving, repeating and changing blocks and bytes (the case that
// approximate copies are for). It checks that decompress rebuilds the new value, that a
// second compress gives the same bytes, and that one flipped bit (chosen from the input) or a
// wrong old value is refused.
#include <cstdint>
#include <cstring>

#include "delta/compressed/compress.h"
#include "fuzz_check.h"
#include "fuzz_values.h"

using namespace quorvane;

namespace {

void check(bool condition, const char* what) {
    if (!condition) fuzz_fail("fuzz_compress_roundtrip", what);
}

FuzzBytes derive(const FuzzBytes& old, std::uint64_t seed, unsigned pieces) {
    FuzzBytes out;
    Generator gen{seed};
    for (unsigned i = 0; i < pieces; ++i) {
        const std::uint32_t r = gen.next();
        const std::size_t length = 1 + gen.below(r & 0x100 ? 400 : 16);
        if (r % 7 == 0 || old.empty()) {
            for (std::size_t k = 0; k < length; ++k) out.push_back(static_cast<std::uint8_t>(gen.next() % (r & 0x200 ? 256 : 3)));
        } else {
            const std::size_t from = gen.below(old.size());
            const std::size_t to = std::min(old.size(), from + length * (r & 0x400 ? 8 : 1));
            const std::size_t start = out.size();
            out.insert(out.end(), old.begin() + static_cast<std::ptrdiff_t>(from), old.begin() + static_cast<std::ptrdiff_t>(to));
            if (r & 0x800) {  // a constant added to every n-th byte: an approximate copy
                const std::size_t every = 3 + gen.below(40);
                for (std::size_t k = start + gen.below(every); k < out.size(); k += every) out[k] = static_cast<std::uint8_t>(out[k] + (r >> 16));
            }
        }
    }
    return out;
}

FuzzBytes run_compress(const FuzzBytes& old, const FuzzBytes& now, int level) {
    const Exact a(old), b(now);
    const ByteVector o = a.view(), n = b.view();
    CompressFailure failure = COMPRESS_FAILURE_NONE;
    ByteVector* delta = delta_compress(&o, &n, level, &failure);
    check(delta != nullptr, "compress failed");
    FuzzBytes out(delta->data, delta->data + delta->length);
    byte_vector_free(delta);
    return out;
}

bool run_decompress(const FuzzBytes& old, const FuzzBytes& delta, FuzzBytes* out) {
    const Exact a(old), b(delta);
    const ByteVector o = a.view(), d = b.view();
    DecompressError error;
    ByteVector* result = delta_decompress(&o, &d, DECOMPRESS_DEFAULT_MAX_SIZE, &error);
    if (result == nullptr) {
        check(error.failure == DECOMPRESS_FAILURE_INVALID || error.failure == DECOMPRESS_FAILURE_WRONG_OLD,
              "unexpected failure kind");
        return false;
    }
    out->assign(result->data, result->data + result->length);
    byte_vector_free(result);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int level = COMPRESS_MIN_LEVEL + data[0] % COMPRESS_MAX_LEVEL;
    const std::uint8_t second = data[1];
    const FuzzBytes material(data + 2, data + size);
    FuzzBytes old, now;
    if (second & 0x80) {
        old = material;
        std::uint64_t seed = 0;
        std::memcpy(&seed, data, std::min<std::size_t>(size, 8));
        now = derive(old, seed, 1 + (second & 0x3F));
    } else {
        const std::size_t split = material.size() * (second & 0x7F) / 127;
        old.assign(material.begin(), material.begin() + static_cast<std::ptrdiff_t>(split));
        now.assign(material.begin() + static_cast<std::ptrdiff_t>(split), material.end());
    }
    const FuzzBytes delta = run_compress(old, now, level);
    FuzzBytes rebuilt;
    check(run_decompress(old, delta, &rebuilt), "decompress refused its own delta");
    check(rebuilt == now, "decompress rebuilt another value");
    check(run_compress(old, now, level) == delta, "compress gave other bytes the second time");
    FuzzBytes damaged = delta;
    const std::size_t bit = (static_cast<std::size_t>(second) * 2654435761u + size) % (damaged.size() * 8);
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    check(!run_decompress(old, damaged, &rebuilt), "a flipped bit was accepted");
    if (!old.empty()) {
        FuzzBytes wrong = old;
        wrong[wrong.size() / 2] ^= 0x40;
        check(!run_decompress(wrong, delta, &rebuilt), "a wrong old value was accepted");
    }
    return 0;
}
