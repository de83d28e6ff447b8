// The value decoder behind cbor.loads: reads one CBOR data item from a buffer and builds the
// Python values it stands for. Like the encoder, it touches Python and sits with the
// bindings; the engine's flat reader stays free of it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "module/cbor_tags.h"

namespace quorvane {

// Decodes the one data item that `data` (any object with a contiguous buffer) holds. Nesting
// (arrays, maps and tags) is limited to `max_depth` levels below the top-level item
// (CBORDecodeError) or, when it is 0, to the interpreter's recursion limit (RecursionError).
// A new reference, or null with an error set. Needs the classes of cbor_types.h to exist.
PyObject* cbor_loads(PyObject* data, unsigned long long max_depth);
// The same with the caller's tag_hook and object_hook (either may be null).
PyObject* cbor_loads(PyObject* data, unsigned long long max_depth, const DecodeHooks& hooks);

// One item of a CBOR sequence: decodes the item that starts at `*offset` of `data[0, size)`
// (bytes may follow it) and sets `*offset` to its end. Error messages name offsets from
// `data`. The caller holds the buffer.
PyObject* cbor_loads_item(const std::uint8_t* data, std::size_t size, std::size_t* offset,
                          unsigned long long max_depth, const DecodeHooks& hooks);

}  // namespace quorvane
