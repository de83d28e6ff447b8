// Which content the standard tags require (RFC 8949 §3.4, RFC 8943, RFC 9164, IANA's
// registry), judged on an encoded content item: the value encoder checks every tag it writes
// against it, so that it never writes a tag around content its readers must refuse.
// Knows nothing of Python.
#pragma once

#include <cstdint>

#include "cbor/format.h"

namespace quorvane {

struct CborTagContentFault {
    const char* needs;  // null: the content is what the tag requires; else "a byte string", ...
    bool shape;         // the content is of the kind needed, but of the wrong size or shape
};

namespace cbor_tag_detail {

inline bool integer_head(const CborHead& head) {
    return head.major == CBOR_MAJOR_UNSIGNED || head.major == CBOR_MAJOR_NEGATIVE;
}

// An integer, or a bignum (tag 2 or 3 around a byte string) when `bignum`; on success `p`
// moves past it. `positive`: only unsigned ones above zero.
inline bool read_integer(const std::uint8_t*& p, const std::uint8_t* end, bool bignum, bool positive) {
    CborHead head;
    if (p >= end || cbor_decode_head(p, static_cast<std::size_t>(end - p), head) != CBOR_HEAD_OK) return false;
    if (integer_head(head)) {
        if (positive && (head.major != CBOR_MAJOR_UNSIGNED || head.argument == 0)) return false;
        p += head.size;
        return true;
    }
    if (!bignum || head.major != CBOR_MAJOR_TAG) return false;
    if (head.argument != CBOR_TAG_POSITIVE_BIGNUM && (positive || head.argument != CBOR_TAG_NEGATIVE_BIGNUM)) {
        return false;
    }
    const std::uint8_t* after = cbor_definite_item_end(p, end);
    if (after == nullptr) return false;
    p = after;
    return true;
}

}  // namespace cbor_tag_detail

// The content item of tag `number` starts at `p` and ends at `end`.
inline CborTagContentFault cbor_tag_content_fault(std::uint64_t number, const std::uint8_t* p,
                                                  const std::uint8_t* end) {
    using namespace cbor_tag_detail;
    CborHead head;
    if (p >= end || cbor_decode_head(p, static_cast<std::size_t>(end - p), head) != CBOR_HEAD_OK) {
        return {"a well-formed data item", false};
    }
    const bool is_float = head.major == CBOR_MAJOR_SIMPLE && head.info >= CBOR_INFO_TWO_BYTES &&
                          head.info <= CBOR_INFO_EIGHT_BYTES;
    switch (number) {
        case CBOR_TAG_DATETIME_TEXT:
        case CBOR_TAG_DATE_TEXT:
        case CBOR_TAG_URI:
        case CBOR_TAG_BASE64URL:
        case CBOR_TAG_BASE64:
        case CBOR_TAG_REGEX:
        case CBOR_TAG_MIME:
            if (head.major != CBOR_MAJOR_TEXT) return {"a text string", false};
            return {nullptr, false};
        case CBOR_TAG_DATETIME_EPOCH:
            if (!integer_head(head) && !is_float) return {"an integer or a float", false};
            return {nullptr, false};
        case CBOR_TAG_DATE_DAYS:
            if (!integer_head(head)) return {"an integer", false};
            return {nullptr, false};
        case CBOR_TAG_POSITIVE_BIGNUM:
        case CBOR_TAG_NEGATIVE_BIGNUM:
        case CBOR_TAG_ENCODED_ITEM:
            if (head.major != CBOR_MAJOR_BYTES) return {"a byte string", false};
            return {nullptr, false};
        case CBOR_TAG_UUID:
            if (head.major != CBOR_MAJOR_BYTES) return {"a byte string of 16 bytes", false};
            if (head.argument != 16) return {"a byte string of 16 bytes", true};
            return {nullptr, false};
        case CBOR_TAG_DECIMAL_FRACTION:
        case CBOR_TAG_BIGFLOAT:
        case CBOR_TAG_RATIONAL: {
            const bool rational = number == CBOR_TAG_RATIONAL;
            const char* needs = rational ? "an array [numerator, denominator] of integers, the denominator above 0"
                                         : "an array [exponent, mantissa] of integers";
            if (head.major != CBOR_MAJOR_ARRAY) return {needs, false};
            const std::uint8_t* at = p + head.size;
            if (head.argument != 2 || !read_integer(at, end, rational, false) || !read_integer(at, end, true, rational)) {
                return {needs, true};
            }
            return {nullptr, false};
        }
        case CBOR_TAG_IPV4:
        case CBOR_TAG_IPV6:
            if (head.major != CBOR_MAJOR_BYTES && head.major != CBOR_MAJOR_ARRAY) {
                return {"a byte string or an array", false};
            }
            return {nullptr, false};
        case CBOR_TAG_SET:
            if (head.major != CBOR_MAJOR_ARRAY) return {"an array", false};
            return {nullptr, false};
        default: return {nullptr, false};
    }
}

// What kind of item starts with `initial`, for a message: "a text string", "a float", ...
inline const char* cbor_kind_name(std::uint8_t initial) {
    switch (initial >> 5) {
        case CBOR_MAJOR_UNSIGNED:
        case CBOR_MAJOR_NEGATIVE: return "an integer";
        case CBOR_MAJOR_BYTES: return "a byte string";
        case CBOR_MAJOR_TEXT: return "a text string";
        case CBOR_MAJOR_ARRAY: return "an array";
        case CBOR_MAJOR_MAP: return "a map";
        case CBOR_MAJOR_TAG: return "a tag";
        default: break;
    }
    switch (initial) {
        case CBOR_FALSE:
        case CBOR_TRUE: return "a boolean";
        case CBOR_NULL: return "null";
        case CBOR_UNDEFINED: return "undefined";
        case CBOR_FLOAT16:
        case CBOR_FLOAT32:
        case CBOR_FLOAT64: return "a float";
        default: return "a simple value";
    }
}

}  // namespace quorvane
