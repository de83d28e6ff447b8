// The CBOR format (RFC 8949) in one place: major types, additional information, the fixed
// initial bytes (simple values, floats, break), one decoder of an item's head and the
// half-precision codec. The reader, the writer, the value encoder and decoder and the delta
// code use these instead of literals of their own, so that a fix to reading hostile input
// lands once. Knows nothing of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/compiler.h"

namespace quorvane {

// Major types: the top three bits of an initial byte.
constexpr unsigned CBOR_MAJOR_UNSIGNED = 0;
constexpr unsigned CBOR_MAJOR_NEGATIVE = 1;
constexpr unsigned CBOR_MAJOR_BYTES = 2;
constexpr unsigned CBOR_MAJOR_TEXT = 3;
constexpr unsigned CBOR_MAJOR_ARRAY = 4;
constexpr unsigned CBOR_MAJOR_MAP = 5;
constexpr unsigned CBOR_MAJOR_TAG = 6;
constexpr unsigned CBOR_MAJOR_SIMPLE = 7;  // simple values, floats and the break

// Additional information: the low five bits. Below 24 it is the argument itself; 24 to 27
// say that 1, 2, 4 or 8 bytes of argument follow; 28 to 30 are reserved; 31 is the
// indefinite length of a string or container, or the break.
constexpr unsigned CBOR_INFO_ONE_BYTE = 24;
constexpr unsigned CBOR_INFO_TWO_BYTES = 25;
constexpr unsigned CBOR_INFO_FOUR_BYTES = 26;
constexpr unsigned CBOR_INFO_EIGHT_BYTES = 27;
constexpr unsigned CBOR_INFO_INDEFINITE = 31;

// Simple values of major type 7, by their additional information.
constexpr unsigned CBOR_SIMPLE_FALSE = 20;
constexpr unsigned CBOR_SIMPLE_TRUE = 21;
constexpr unsigned CBOR_SIMPLE_NULL = 22;
constexpr unsigned CBOR_SIMPLE_UNDEFINED = 23;

constexpr std::uint8_t cbor_initial_byte(unsigned major_type, unsigned info) {
    return static_cast<std::uint8_t>((major_type << 5) | info);
}

// Whole initial bytes.
constexpr std::uint8_t CBOR_FALSE = 0xF4;
constexpr std::uint8_t CBOR_TRUE = 0xF5;
constexpr std::uint8_t CBOR_NULL = 0xF6;
constexpr std::uint8_t CBOR_UNDEFINED = 0xF7;
constexpr std::uint8_t CBOR_FLOAT16 = 0xF9;
constexpr std::uint8_t CBOR_FLOAT32 = 0xFA;
constexpr std::uint8_t CBOR_FLOAT64 = 0xFB;
constexpr std::uint8_t CBOR_BREAK = 0xFF;

// Tag numbers (IANA's CBOR tags registry) that the value encoder and decoder write or read.
constexpr std::uint64_t CBOR_TAG_DATETIME_TEXT = 0;      // RFC 3339 date and time, text
constexpr std::uint64_t CBOR_TAG_DATETIME_EPOCH = 1;     // seconds since the epoch, int or float
constexpr std::uint64_t CBOR_TAG_POSITIVE_BIGNUM = 2;    // byte string: n, big-endian
constexpr std::uint64_t CBOR_TAG_NEGATIVE_BIGNUM = 3;    // byte string: -1 - n, big-endian
constexpr std::uint64_t CBOR_TAG_DECIMAL_FRACTION = 4;   // [exponent, mantissa]: mantissa * 10**exponent
constexpr std::uint64_t CBOR_TAG_BIGFLOAT = 5;           // [exponent, mantissa]: mantissa * 2**exponent
constexpr std::uint64_t CBOR_TAG_ENCODED_ITEM = 24;      // byte string: an encoded data item
constexpr std::uint64_t CBOR_TAG_RATIONAL = 30;          // [numerator, denominator]
constexpr std::uint64_t CBOR_TAG_URI = 32;               // text
constexpr std::uint64_t CBOR_TAG_BASE64URL = 33;         // text
constexpr std::uint64_t CBOR_TAG_BASE64 = 34;            // text
constexpr std::uint64_t CBOR_TAG_REGEX = 35;             // text: a regular expression
constexpr std::uint64_t CBOR_TAG_MIME = 36;              // text: a MIME message
constexpr std::uint64_t CBOR_TAG_UUID = 37;              // byte string of 16
constexpr std::uint64_t CBOR_TAG_IPV4 = 52;              // RFC 9164: address, prefix or [address, length]
constexpr std::uint64_t CBOR_TAG_IPV6 = 54;              // RFC 9164, as tag 52 for IPv6
constexpr std::uint64_t CBOR_TAG_DATE_DAYS = 100;        // RFC 8943: days since 1970-01-01
constexpr std::uint64_t CBOR_TAG_SET = 258;              // array of distinct members
constexpr std::uint64_t CBOR_TAG_NETWORK_ADDRESS = 260;  // byte string: an IPv4/IPv6 (or MAC) address, older form
constexpr std::uint64_t CBOR_TAG_NETWORK_PREFIX = 261;   // {address bytes: prefix length}, older form
constexpr std::uint64_t CBOR_TAG_DATE_TEXT = 1004;       // RFC 8943: full-date text

// Simple values 24 to 31 are not written (24 introduces one byte of simple value 32 to 255).
constexpr std::uint8_t CBOR_SIMPLE_ONE_BYTE = 0xF8;

// The delta of a value to itself: the one byte of null.
constexpr std::uint8_t CBOR_UNCHANGED_MARKER = CBOR_NULL;

// The head of a data item: initial byte and argument.
struct CborHead {
    unsigned major;          // major type, 0 to 7
    unsigned info;           // additional information, 0 to 31
    std::uint64_t argument;  // below 24: info; 24 to 27: the bytes that follow, big-endian;
                             // 31: all ones (indefinite length, or the break)
    std::size_t size;        // bytes of the head: 1, 2, 3, 5 or 9
};

enum CborHeadStatus : int {
    CBOR_HEAD_OK = 0,
    CBOR_HEAD_CUT_SHORT = 1,  // the argument's bytes run past the end (size: what the head needs)
    CBOR_HEAD_RESERVED = 2,   // additional information 28 to 30
};

// Decodes the head at `p`, where `available` bytes (at least one) remain. Major type and
// additional information are set whatever the status.
QUORVANE_INLINE CborHeadStatus cbor_decode_head(const std::uint8_t* p, std::size_t available, CborHead& head) {
    const unsigned initial = p[0];
    head.major = initial >> 5;
    head.info = initial & 0x1F;
    head.size = 1;
    if (head.info < CBOR_INFO_ONE_BYTE) {
        head.argument = head.info;
        return CBOR_HEAD_OK;
    }
    if (QUORVANE_UNLIKELY(head.info > CBOR_INFO_EIGHT_BYTES)) {
        head.argument = UINT64_MAX;
        return head.info == CBOR_INFO_INDEFINITE ? CBOR_HEAD_OK : CBOR_HEAD_RESERVED;
    }
    const std::size_t bytes = std::size_t{1} << (head.info - CBOR_INFO_ONE_BYTE);
    head.size = 1 + bytes;
    if (QUORVANE_UNLIKELY(available - 1 < bytes)) return CBOR_HEAD_CUT_SHORT;
    switch (bytes) {
        case 1: head.argument = p[1]; break;
        case 2: head.argument = load_be16(p + 1); break;
        case 4: head.argument = load_be32(p + 1); break;
        default: head.argument = load_be64(p + 1); break;
    }
    return CBOR_HEAD_OK;
}

// The end of the data item that starts at `p`, for items of definite lengths only (as the
// value encoder writes them), without recursion; null when the item runs past `end` or holds
// an indefinite length or reserved additional information.
inline const std::uint8_t* cbor_definite_item_end(const std::uint8_t* p, const std::uint8_t* end) {
    std::uint64_t pending = 1;  // items still to pass
    while (pending > 0) {
        if (p >= end) return nullptr;
        CborHead head;
        if (cbor_decode_head(p, static_cast<std::size_t>(end - p), head) != CBOR_HEAD_OK) return nullptr;
        if (head.info == CBOR_INFO_INDEFINITE) return nullptr;
        p += head.size;
        --pending;
        switch (head.major) {
            case CBOR_MAJOR_BYTES:
            case CBOR_MAJOR_TEXT:
                if (head.argument > static_cast<std::uint64_t>(end - p)) return nullptr;
                p += head.argument;
                break;
            case CBOR_MAJOR_ARRAY:  // every member takes a byte at least
                if (head.argument > static_cast<std::uint64_t>(end - p)) return nullptr;
                pending += head.argument;
                break;
            case CBOR_MAJOR_MAP:
                if (head.argument > static_cast<std::uint64_t>(end - p) / 2) return nullptr;
                pending += 2 * head.argument;
                break;
            case CBOR_MAJOR_TAG: pending += 1; break;
            default: break;  // integers, simple values and floats: the head is the item
        }
    }
    return p;
}

// Half precision to double from the bits (RFC 8949, Appendix D), exact for every pattern;
// a NaN keeps its sign and payload.
QUORVANE_INLINE double cbor_half_to_double(std::uint16_t half) {
    const std::uint64_t sign = static_cast<std::uint64_t>(half >> 15) << 63;
    const unsigned exponent = (half >> 10) & 0x1F;
    std::uint64_t fraction = half & 0x3FF;
    std::uint64_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7FF0000000000000ULL | (fraction << 42);
    } else if (exponent != 0) {
        bits = sign | (static_cast<std::uint64_t>(exponent + 1008) << 52) | (fraction << 42);
    } else if (fraction == 0) {
        bits = sign;
    } else {
        // Subnormal: normalise the fraction (the value is fraction * 2**-24).
        const unsigned shift = clz64(fraction) - 53;  // leading zeros within the 10-bit field, plus one
        fraction <<= shift;                           // the leading one now sits at bit 10
        bits = sign | (static_cast<std::uint64_t>(1009 - shift) << 52) | ((fraction & 0x3FF) << 42);
    }
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
}

QUORVANE_INLINE double cbor_single_to_double(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, 4);
    return static_cast<double>(value);
}

// The half pattern of a single's bits: the exponent rebased and the fraction truncated (not
// rounded), infinities kept and NaNs made infinities; only exact for singles that a half holds.
inline std::uint16_t cbor_half_from_single(std::uint32_t bits) {
    const std::uint32_t sign = bits >> 31;
    const std::uint32_t exponent = (bits >> 23) & 0xFF;
    const std::uint32_t fraction = bits & 0x7FFFFF;
    if (exponent == 255) return sign ? 0xFC00 : 0x7C00;
    if (exponent == 0) return static_cast<std::uint16_t>((sign << 15) | (fraction >> 13));
    const std::uint32_t biased = ((exponent - 127) & 0xFF) + 15;
    return static_cast<std::uint16_t>((sign << 15) | ((biased * 1024) & 0xFFFF) | (fraction >> 13));
}

}  // namespace quorvane
