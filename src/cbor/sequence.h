// CBOR sequences (RFC 8742): data items one after another. Finds where the item at the start
// of a range ends without building it, so that a reader of a growing log can tell an item
// cut short by the end of what was written so far from one that is malformed. Knows nothing
// of Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane {

enum CborExtent : int {
    CBOR_EXTENT_COMPLETE = 0,   // *end: the offset just past the item
    CBOR_EXTENT_TRUNCATED = 1,  // the range ends inside the item (or is empty)
    CBOR_EXTENT_MALFORMED = 2,  // *end: the offset of the first byte that no well-formed item has there
};

// Walks the heads of the item at data[0] (RFC 8949 Appendix C well-formedness: reserved
// additional information, a stray or misplaced break, an indefinite length on an integer,
// tag or simple value, a string chunk of another kind, a two-byte simple value below 32).
// Nesting costs heap memory only for indefinite-length containers and definite ones with
// members left; returns CBOR_EXTENT_MALFORMED with *end = size when memory runs out.
CborExtent cbor_item_extent(const std::uint8_t* data, std::size_t size, std::size_t* end);

}  // namespace quorvane
