// CBOR writer (RFC 8949): appends data items in their shortest head form to a growable
// byte buffer. Knows nothing of Python.
//
// Every operation returns a signed status: -1 when the buffer could not be enlarged (or
// no writer was given), 0 or 1 on success. A failed operation keeps everything written
// by earlier operations (unless the writer's own resize function gave up its storage);
// callers treat any negative status as fatal for the buffer.
#pragma once

#include <cstdint>
#include <cstring>

#include "cbor/format.h"
#include "common/compiler.h"

namespace quorvane {

// Moves a writer's content into storage of at least `capacity` bytes (the first `length`
// bytes kept) and returns that storage; null when it cannot, having either left the writer
// as it was or emptied it (storage null, length and capacity 0).
using CborResize = std::uint8_t* (*)(void* context, std::uint64_t capacity);

struct CborWriter {
    std::uint8_t* storage;   // the encoding is storage[0, length); null until something is written
    std::uint64_t length;    // bytes written
    std::uint64_t capacity;  // bytes allocated (spare room beyond length is never read)
    // Where the storage comes from: null for the engine heap (freed by cbor_writer_free);
    // otherwise its owner's function, which also owns and frees the storage.
    CborResize resize;
    void* resize_context;
};

// Length or count that asks the string and container writers for the indefinite-length start.
constexpr std::uint64_t CBOR_INDEFINITE = 0xFFFFFFFFFFFFFFFFull;

CborWriter* cbor_writer_new();
void cbor_writer_free(CborWriter* writer);

// Makes room for `count` more bytes; false (content unchanged) when that cannot be done.
bool cbor_writer_grow(CborWriter* writer, std::uint64_t count);

QUORVANE_INLINE bool cbor_reserve(CborWriter* writer, std::uint64_t count) {
    return writer->capacity - writer->length >= count || cbor_writer_grow(writer, count);
}

std::int32_t cbor_put_byte(CborWriter* writer, std::uint8_t byte);
std::int32_t cbor_put_bytes(CborWriter* writer, const void* source, std::uint64_t count);

std::int32_t cbor_write_head(CborWriter* writer, unsigned major_type, std::uint64_t argument);
std::int32_t cbor_write_head_raw(CborWriter* writer, std::uint8_t initial_byte, std::uint64_t argument);
std::int32_t cbor_write_uint(CborWriter* writer, std::uint64_t value);
std::int32_t cbor_write_negint(CborWriter* writer, std::int64_t value);
std::int32_t cbor_write_bytes(CborWriter* writer, const void* source, std::uint64_t length);
std::int32_t cbor_write_text(CborWriter* writer, const void* source, std::uint64_t length);
std::int32_t cbor_start_array(CborWriter* writer, std::uint64_t count);
std::int32_t cbor_start_map(CborWriter* writer, std::uint64_t pairs);
std::int32_t cbor_write_break(CborWriter* writer);
std::int32_t cbor_write_false(CborWriter* writer);
std::int32_t cbor_write_true(CborWriter* writer);
std::int32_t cbor_write_null(CborWriter* writer);

// The value in the narrowest exact width: half, single or double precision. NaN is the
// half-precision quiet NaN, infinities are half precision. Returns 1 on success.
std::int32_t cbor_write_float(CborWriter* writer, double value);
// Fixed widths; each returns 1 on success.
std::int32_t cbor_write_float16(CborWriter* writer, double value);
std::int32_t cbor_write_float32(CborWriter* writer, double value);
std::int32_t cbor_write_float64(CborWriter* writer, double value);

// Bytes of argument that follow the initial byte of a shortest head for `argument`.
inline unsigned cbor_argument_size(std::uint64_t argument) {
    if (argument < 24) return 0;
    if (argument <= 0xFF) return 1;
    if (argument <= 0xFFFF) return 2;
    if (argument <= 0xFFFFFFFFull) return 4;
    return 8;
}

// Size of a shortest head: 1, 2, 3, 5 or 9 bytes.
inline unsigned cbor_head_size(std::uint64_t argument) { return 1 + cbor_argument_size(argument); }

// Width in bytes (2, 4 or 8) in which cbor_write_float writes a finite value.
unsigned cbor_float_width(double value);

// How cbor_write_float writes a value: initial byte, width and the bits of that width.
struct CborFloatForm {
    std::uint8_t initial_byte;
    unsigned size;
    std::uint64_t bits;
};

// Decided from the double's bits: half precision for zeros and for normal halves (half
// subnormals are deliberately not used), single precision where that holds the value
// exactly (single subnormals included), double precision otherwise; NaN is the half quiet
// NaN and infinities are half precision.
QUORVANE_INLINE CborFloatForm cbor_float_form(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint64_t sign = bits >> 63;
    const int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1023;
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (exponent == 1024) return {CBOR_FLOAT16, 2, fraction != 0 ? 0x7E00u : (sign != 0 ? 0xFC00u : 0x7C00u)};
    if (exponent == -1023) {
        return fraction == 0 ? CborFloatForm{CBOR_FLOAT16, 2, sign << 15} : CborFloatForm{CBOR_FLOAT64, 8, bits};
    }
    if (exponent >= -14 && exponent <= 15 && (fraction & ((std::uint64_t{1} << 42) - 1)) == 0) {
        return {CBOR_FLOAT16, 2, (sign << 15) | (static_cast<std::uint64_t>(exponent + 15) << 10) | (fraction >> 42)};
    }
    if (exponent >= -126 && exponent <= 127) {
        if ((fraction & ((std::uint64_t{1} << 29) - 1)) != 0) return {CBOR_FLOAT64, 8, bits};
        return {CBOR_FLOAT32, 4, (sign << 31) | (static_cast<std::uint64_t>(exponent + 127) << 23) | (fraction >> 29)};
    }
    if (exponent >= -149 && exponent < -126) {
        // A single subnormal: the significand, leading one included, in units of 2^-149.
        const unsigned shift = static_cast<unsigned>(-97 - exponent);  // 30 to 52 bits dropped
        if ((fraction & ((std::uint64_t{1} << shift) - 1)) == 0) {
            return {CBOR_FLOAT32, 4, (sign << 31) | ((fraction | (std::uint64_t{1} << 52)) >> shift)};
        }
    }
    return {CBOR_FLOAT64, 8, bits};
}

// Writes cbor_float_form(value) into room already reserved (at least 9 bytes; up to 8
// bytes past the new length may be overwritten) and advances length.
QUORVANE_INLINE void cbor_put_float_unchecked(CborWriter* writer, double value) {
    const CborFloatForm form = cbor_float_form(value);
    std::uint8_t* out = writer->storage + writer->length;
    out[0] = form.initial_byte;
    store_be64(out + 1, form.bits << (64 - 8 * form.size));  // most significant byte first
    writer->length += 1 + form.size;
}

// Writes a shortest head into room already reserved (at least 9 bytes; up to 8 bytes past
// the new length may be overwritten) and advances length.
QUORVANE_INLINE void cbor_put_head_unchecked(CborWriter* writer, unsigned major_type, std::uint64_t argument) {
    std::uint8_t* out = writer->storage + writer->length;
    const std::uint8_t ib = static_cast<std::uint8_t>(major_type << 5);
    // Without branches (argument widths vary from one value to the next): the bytes the
    // argument needs, rounded up to 1, 2, 4 or 8, select the additional information; the
    // argument bytes are stored as one big-endian word, of which `size` bytes count.
    static constexpr std::uint8_t SIZE_OF_BYTES[9] = {1, 1, 2, 4, 4, 8, 8, 8, 8};
    static constexpr std::uint8_t INFO_OF_SIZE[9] = {0, CBOR_INFO_ONE_BYTE, CBOR_INFO_TWO_BYTES, 0,
                                                     CBOR_INFO_FOUR_BYTES, 0, 0, 0, CBOR_INFO_EIGHT_BYTES};
    const unsigned needed = (71 - clz64(argument | 1)) / 8;  // 1 to 8
    const unsigned size = argument < 24 ? 0 : SIZE_OF_BYTES[needed];
    out[0] = static_cast<std::uint8_t>(ib | (size == 0 ? argument : INFO_OF_SIZE[size]));
    store_be64(out + 1, size == 0 ? 0 : argument << (64 - 8 * size));
    writer->length += 1 + size;
}

}  // namespace quorvane
