// The classes of the cbor submodule that loads returns or raises: CBORDecodeError (a
// ValueError), Tag (a tag number and its content), Simple (a simple value without a
// Python counterpart) and UndefinedType, whose one object cbor.undefined is CBOR's undefined.
#pragma once

#include <Python.h>

namespace quorvane {

// The classes, created once at import. New references, or null with an error set.
PyObject* cbor_decode_error_type();
PyObject* cbor_tag_type();
PyObject* cbor_simple_type();
PyObject* cbor_undefined_type();
PyObject* cbor_undefined_object();  // cbor.undefined (creates the type if need be)

// For the decoder, once the classes exist: CBORDecodeError (borrowed), a new Tag from an
// exact int from 0 to 2**64 - 1 and its content (both references stolen, both released on
// failure), a new Simple of a number from 0 to 255. Null with an error set on failure.
PyObject* cbor_decode_error();
PyObject* cbor_tag_new(PyObject* number, PyObject* value);
PyObject* cbor_simple_new(unsigned value);
// cbor.undefined (borrowed; null before cbor_undefined_object was first called).
PyObject* cbor_undefined();

}  // namespace quorvane
