#include "cbor/writer.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "common/memory.h"

namespace quorvane {

CborWriter* cbor_writer_new() {
    return static_cast<CborWriter*>(heap_calloc(1, sizeof(CborWriter)));
}

void cbor_writer_free(CborWriter* writer) {
    if (writer == nullptr) return;
    if (writer->resize == nullptr) heap_free(writer->storage);
    heap_free(writer);
}

bool cbor_writer_grow(CborWriter* writer, std::uint64_t count) {
    const std::uint64_t needed = writer->length + count;
    if (needed < writer->length || needed > std::numeric_limits<std::size_t>::max() / 2) return false;
    std::uint64_t capacity = writer->capacity < 64 ? 64 : writer->capacity;
    while (capacity < needed) capacity *= 2;
    void* grown = writer->resize != nullptr ? writer->resize(writer->resize_context, capacity)
                                            : heap_realloc(writer->storage, static_cast<std::size_t>(capacity));
    if (grown == nullptr) return false;
    writer->storage = static_cast<std::uint8_t*>(grown);
    writer->capacity = capacity;
    return true;
}

std::int32_t cbor_put_byte(CborWriter* writer, std::uint8_t byte) {
    if (writer == nullptr || !cbor_reserve(writer, 1)) return -1;
    writer->storage[writer->length++] = byte;
    return 0;
}

std::int32_t cbor_put_bytes(CborWriter* writer, const void* source, std::uint64_t count) {
    if (writer == nullptr || !cbor_reserve(writer, count)) return -1;
    if (count != 0) std::memcpy(writer->storage + writer->length, source, static_cast<std::size_t>(count));
    writer->length += count;
    return 0;
}

std::int32_t cbor_write_head_raw(CborWriter* writer, std::uint8_t initial_byte, std::uint64_t argument) {
    unsigned size;
    switch (initial_byte & 0x1F) {
        case CBOR_INFO_ONE_BYTE: size = 1; break;
        case CBOR_INFO_TWO_BYTES: size = 2; break;
        case CBOR_INFO_FOUR_BYTES: size = 4; break;
        case CBOR_INFO_EIGHT_BYTES: size = 8; break;
        default: return cbor_put_byte(writer, static_cast<std::uint8_t>(initial_byte | (argument & 0xFF)));
    }
    if (writer == nullptr || !cbor_reserve(writer, 1 + size)) return -1;
    std::uint8_t* out = writer->storage + writer->length;
    out[0] = initial_byte;
    for (unsigned i = 0; i < size; ++i) out[1 + i] = static_cast<std::uint8_t>(argument >> (8 * (size - 1 - i)));
    writer->length += 1 + size;
    return 0;
}

std::int32_t cbor_write_head(CborWriter* writer, unsigned major_type, std::uint64_t argument) {
    if (writer == nullptr || !cbor_reserve(writer, 9)) return -1;
    cbor_put_head_unchecked(writer, major_type, argument);
    return 0;
}

std::int32_t cbor_write_uint(CborWriter* writer, std::uint64_t value) {
    return cbor_write_head(writer, CBOR_MAJOR_UNSIGNED, value);
}

std::int32_t cbor_write_negint(CborWriter* writer, std::int64_t value) {
    return cbor_write_head(writer, CBOR_MAJOR_NEGATIVE, ~static_cast<std::uint64_t>(value));
}

namespace {

std::int32_t write_string(CborWriter* writer, unsigned major_type, const void* source, std::uint64_t length) {
    if (length == CBOR_INDEFINITE) return cbor_put_byte(writer, cbor_initial_byte(major_type, CBOR_INFO_INDEFINITE));
    if (cbor_write_head(writer, major_type, length) < 0) return -1;
    return cbor_put_bytes(writer, source, length);
}

std::int32_t start_container(CborWriter* writer, unsigned major_type, std::uint64_t count) {
    if (count == CBOR_INDEFINITE) return cbor_put_byte(writer, cbor_initial_byte(major_type, CBOR_INFO_INDEFINITE));
    return cbor_write_head(writer, major_type, count);
}

// Rounds to single precision (nearest, ties to even), without the undefined conversion of
// values beyond the single range: those become infinities or the largest single as IEEE
// rounding would have it.
float round_to_single(double value) {
    if (std::fabs(value) <= static_cast<double>(FLT_MAX)) return static_cast<float>(value);
    // Halfway between FLT_MAX and 2^128; FLT_MAX has an odd significand, so the tie goes up.
    const double halfway = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
    if (std::fabs(value) >= halfway) {
        const float infinity = std::numeric_limits<float>::infinity();
        return std::signbit(value) ? -infinity : infinity;
    }
    return std::signbit(value) ? -FLT_MAX : FLT_MAX;
}

std::uint32_t single_bits(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

std::int32_t put_fixed(CborWriter* writer, std::uint8_t initial_byte, std::uint64_t bits, unsigned size) {
    if (writer == nullptr || !cbor_reserve(writer, 1 + size)) return -1;
    std::uint8_t* out = writer->storage + writer->length;
    out[0] = initial_byte;
    for (unsigned i = 0; i < size; ++i) out[1 + i] = static_cast<std::uint8_t>(bits >> (8 * (size - 1 - i)));
    writer->length += 1 + size;
    return 1;
}

}  // namespace

std::int32_t cbor_write_bytes(CborWriter* writer, const void* source, std::uint64_t length) {
    return write_string(writer, CBOR_MAJOR_BYTES, source, length);
}

std::int32_t cbor_write_text(CborWriter* writer, const void* source, std::uint64_t length) {
    return write_string(writer, CBOR_MAJOR_TEXT, source, length);
}

std::int32_t cbor_start_array(CborWriter* writer, std::uint64_t count) {
    return start_container(writer, CBOR_MAJOR_ARRAY, count);
}
std::int32_t cbor_start_map(CborWriter* writer, std::uint64_t pairs) {
    return start_container(writer, CBOR_MAJOR_MAP, pairs);
}
std::int32_t cbor_write_break(CborWriter* writer) { return cbor_put_byte(writer, CBOR_BREAK); }
std::int32_t cbor_write_false(CborWriter* writer) { return cbor_put_byte(writer, CBOR_FALSE); }
std::int32_t cbor_write_true(CborWriter* writer) { return cbor_put_byte(writer, CBOR_TRUE); }
std::int32_t cbor_write_null(CborWriter* writer) { return cbor_put_byte(writer, CBOR_NULL); }

std::int32_t cbor_write_float16(CborWriter* writer, double value) {
    // The single-rounded value, truncated (not rounded) to a half pattern.
    return put_fixed(writer, CBOR_FLOAT16, cbor_half_from_single(single_bits(round_to_single(value))), 2);
}

std::int32_t cbor_write_float32(CborWriter* writer, double value) {
    return put_fixed(writer, CBOR_FLOAT32, single_bits(round_to_single(value)), 4);
}

std::int32_t cbor_write_float64(CborWriter* writer, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return put_fixed(writer, CBOR_FLOAT64, bits, 8);
}

unsigned cbor_float_width(double value) { return cbor_float_form(value).size; }

std::int32_t cbor_write_float(CborWriter* writer, double value) {
    if (writer == nullptr || !cbor_reserve(writer, 9)) return -1;
    cbor_put_float_unchecked(writer, value);
    return std::isfinite(value) ? 1 : 0;
}

}  // namespace quorvane
