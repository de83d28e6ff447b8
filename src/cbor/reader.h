// Flat CBOR reader: decodes one data item head at a time (plus the content of a definite
// string). It builds no trees, does not pair containers with their members and does not
// join the chunks of indefinite-length strings; the caller gives the stream its meaning.
#pragma once

#include <cstdint>

#include "cbor/format.h"

namespace quorvane {

struct CborCursor {
    const std::uint8_t* start;     // first byte of the range (borrowed)
    std::uint64_t length;          // bytes in the range
    const std::uint8_t* position;  // next byte to decode
};

// What one head decodes to, with string content borrowed from the cursor's range.
struct CborView {
    std::uint8_t initial_byte;
    std::uint32_t major_type;       // initial_byte >> 5
    std::uint64_t value;            // unsigned argument, complement of a negative argument, or double bits
    std::int64_t length;            // definite string length, array count, map pair count, -1 indefinite, else 0
    const std::uint8_t* content;    // definite string content inside the range, else null
};

// A decoded item owned by the caller. Definite strings own a fresh copy of their content
// (text strings with one zero byte after it); `value` then holds that copy's address.
struct CborItem {
    std::uint8_t initial_byte;
    std::uint32_t major_type;
    std::uint64_t value;
    std::int64_t length;
};

enum CborReadStatus : int {
    CBOR_READ_OK = 0,
    CBOR_READ_END = 1,        // the range is used up
    CBOR_READ_TRUNCATED = 2,  // the head's argument, float or string content is cut short
};

CborCursor* cbor_cursor_new(const std::uint8_t* data, std::uint64_t length);
void cbor_cursor_free(CborCursor* cursor);

// Bytes left after the position (never negative, exact for ranges of any size).
std::int64_t cbor_remaining(const CborCursor* cursor);

// Decodes the next head without allocating. On CBOR_READ_TRUNCATED the cursor has consumed
// the initial byte (and a string's head); reading on from there is not meaningful.
CborReadStatus cbor_read_view(CborCursor* cursor, CborView* view);

// Decodes the next item into a new heap record; null at the end of the range, on a head
// that cannot be decoded, or when memory runs out (nothing is left allocated then).
CborItem* cbor_next_item(CborCursor* cursor);
void cbor_item_free(CborItem* item);

// Content of a definite string item (its own copy), or null.
inline const std::uint8_t* cbor_item_content(const CborItem* item) {
    return reinterpret_cast<const std::uint8_t*>(static_cast<std::uintptr_t>(item->value));
}
// Value of a float item.
double cbor_item_double(const CborItem* item);

// Decodes a half-precision pattern (RFC 8949, Appendix D), exactly: cbor_half_to_double.
double cbor_decode_half(std::uint16_t pattern);

}  // namespace quorvane
