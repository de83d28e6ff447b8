// What loads makes of tags and maps beyond the plain CBOR values: the standard tags that have
// a Python type (0 and 1 datetime, 100 and 1004 date, 4 Decimal, 30 Fraction, 35 re.Pattern,
// 36 email.message.Message, 37 UUID, 52, 54, 260 and 261 ipaddress objects, 258 set), and the
// caller's hooks (tag_hook for every other tag, object_hook for every map). Touches Python.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "cbor/format.h"

namespace quorvane {

// The caller's functions, borrowed for the length of one loads call; null when not given.
struct DecodeHooks {
    PyObject* tag_hook = nullptr;
    PyObject* object_hook = nullptr;
    bool standard_tags = true;  // false: the standard tags come back as Tag (or go to tag_hook) too
};

// Whether loads builds a Python value of its own for tag `number` (the bignums 2 and 3 aside).
inline bool cbor_is_standard_tag(std::uint64_t number) {
    switch (number) {
        case CBOR_TAG_DATETIME_TEXT:
        case CBOR_TAG_DATETIME_EPOCH:
        case CBOR_TAG_DECIMAL_FRACTION:
        case CBOR_TAG_RATIONAL:
        case CBOR_TAG_REGEX:
        case CBOR_TAG_MIME:
        case CBOR_TAG_UUID:
        case CBOR_TAG_IPV4:
        case CBOR_TAG_IPV6:
        case CBOR_TAG_DATE_DAYS:
        case CBOR_TAG_SET:
        case CBOR_TAG_NETWORK_ADDRESS:
        case CBOR_TAG_NETWORK_PREFIX:
        case CBOR_TAG_DATE_TEXT: return true;
        default: return false;
    }
}

// The value of standard tag `number` from its content (stolen); `key` when it is (inside) a
// map key, where a set is a frozenset; `at`: the tag's offset, for CBORDecodeError on a
// content of the wrong kind; `hooks` for a content that has no Python type after all (tag
// 260 around a MAC address), which is read as any other tag. A new reference, or null with
// an error set.
PyObject* cbor_standard_tag(std::uint64_t number, PyObject* content, bool key, std::size_t at,
                            const DecodeHooks& hooks);

// Any other tag: tag_hook(Tag(number, content)) when there is a hook, else the Tag. Steals
// the content. A new reference, or null with an error set.
PyObject* cbor_other_tag(std::uint64_t number, PyObject* content, const DecodeHooks& hooks);

// object_hook(map) (the map stolen). A new reference, or null with an error set.
PyObject* cbor_object_hook(PyObject* map, const DecodeHooks& hooks);

}  // namespace quorvane
