// The value decoder behind cbor.loads: reads one CBOR data item from a buffer and builds the
// Python values it stands for. Like the encoder, it touches Python and sits with the
// bindings; the engine's flat reader stays free of it.
#pragma once

#include <Python.h>

namespace quorvane {

// Decodes the one data item that `data` (any object with a contiguous buffer) holds. Nesting
// (arrays, maps and tags) is limited to `max_depth` levels below the top-level item
// (CBORDecodeError) or, when it is 0, to the interpreter's recursion limit (RecursionError).
// A new reference, or null with an error set. Needs the classes of cbor_types.h to exist.
PyObject* cbor_loads(PyObject* data, unsigned long long max_depth);

}  // namespace quorvane
