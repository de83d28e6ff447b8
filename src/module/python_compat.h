// What differs between the interpreters the module is built for (CPython from 3.8 on, its
// free-threaded builds, PyPy), in one place. The value encoder, the decoder and the cbor
// classes test the features named here and call the functions below, never an interpreter
// version, so that a new CPython release is this one file to audit: every layout read
// directly and every call that changed between releases is here.
#pragma once

#include <Python.h>

#include <cstddef>

#include "common/compiler.h"

// ---------------------------------------------------------------------------- features

// CPython's objects may be used as they are laid out: a compact str's characters and kind,
// bytes grown and shrunk in place, a list's item array filled past its size. PyPy's C API
// emulates these objects; there the module keeps to the documented calls.
#if defined(PYPY_VERSION)
#define QUORVANE_CPYTHON 0
#else
#define QUORVANE_CPYTHON 1
#endif

// Py_SET_SIZE arrived in 3.9; before it, Py_SIZE is the field itself.
#if PY_VERSION_HEX < 0x030900A4 && !defined(Py_SET_SIZE)
#define Py_SET_SIZE(o, n) (Py_SIZE(o) = (n))
#endif

// PyObject_CallOneArg arrived in 3.9 (PyPy's C API has it from its 3.9 release).
#if QUORVANE_CPYTHON && PY_VERSION_HEX < 0x03090000
inline PyObject* PyObject_CallOneArg(PyObject* callable, PyObject* argument) {
    return PyObject_CallFunctionObjArgs(callable, argument, nullptr);
}
#endif

// The digits of an int: a header of their own before 3.11, included by Python.h from then on.
#if QUORVANE_CPYTHON && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

// The compact str object with its kept UTF-8 form (3.11 to 3.13, not free-threaded).
#if QUORVANE_CPYTHON && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define QUORVANE_UNICODE_LAYOUT 1
#endif

// The dict layout of 3.11 (entries walked without a call per entry), from the interpreter's
// internal header, which declares a flexible array member (not in ISO C++).
#if QUORVANE_CPYTHON && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && \
    PY_VERSION_HEX < 0x030C0000 && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#pragma GCC diagnostic pop
#define QUORVANE_DICT_ENTRIES 1
#endif

// Where the interpreter's recursion count can be read (the field that Py_EnterRecursiveCall
// counts down), so that the encoder can count its own nesting against it (3.11 to 3.13).
#if QUORVANE_CPYTHON && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define QUORVANE_OWN_NESTING_COUNT 1
#endif

// The cyclic collector can be paused and resumed by a call (3.10 on, not free-threaded).
#if QUORVANE_CPYTHON && PY_VERSION_HEX >= 0x030A0000 && !defined(Py_GIL_DISABLED)
#define QUORVANE_PAUSE_COLLECTOR 1
#endif

// A deallocator that frees nested objects of its type through the interpreter's trashcan,
// not by native recursion; PyPy has none.
#if QUORVANE_CPYTHON
#define QUORVANE_TRASHCAN_BEGIN(object, dealloc) Py_TRASHCAN_BEGIN(object, dealloc)
#define QUORVANE_TRASHCAN_END Py_TRASHCAN_END
#else
#define QUORVANE_TRASHCAN_BEGIN(object, dealloc)
#define QUORVANE_TRASHCAN_END
#endif

namespace quorvane {

// ---------------------------------------------------------------------------- ints

// Reads an exact int that fits a machine word straight from its digits; false sends the
// caller to the general conversion (which gives the same number).
QUORVANE_INLINE bool compact_int_value(PyObject* value, long long* out) {
#if !QUORVANE_CPYTHON
    (void)value;
    (void)out;
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    *out = static_cast<long long>(PyUnstable_Long_CompactValue(number));
    return true;
#else
    // Up to two digits (60 bits with 30-bit digits, 30 with 15-bit ones) fit a long long.
    const Py_ssize_t size = Py_SIZE(value);
    const digit* digits = reinterpret_cast<PyLongObject*>(value)->ob_digit;
    switch (size) {
        case 0: *out = 0; return true;
        case 1: *out = static_cast<long long>(digits[0]); return true;
        case -1: *out = -static_cast<long long>(digits[0]); return true;
        case 2:
        case -2: {
            const long long magnitude = static_cast<long long>(digits[0]) |
                                        (static_cast<long long>(digits[1]) << PyLong_SHIFT);
            *out = size < 0 ? -magnitude : magnitude;
            return true;
        }
        default: return false;
    }
#endif
}

// The non-negative int that the big-endian bytes of a bytes object spell (a new reference,
// or null with an error set).
inline PyObject* long_from_big_endian(PyObject* bytes) {
    const auto* digits = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
    const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
#if QUORVANE_CPYTHON && PY_VERSION_HEX < 0x030D0000
    return _PyLong_FromByteArray(digits, size, 0, 0);
#elif QUORVANE_CPYTHON
    return size == 0 ? PyLong_FromLong(0) : PyLong_FromUnsignedNativeBytes(digits, size, Py_ASNATIVEBYTES_BIG_ENDIAN);
#else
    (void)digits;
    (void)size;
    return PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes", "Os", bytes, "big");
#endif
}

// ---------------------------------------------------------------------------- dicts

// A new dict with room for `pairs` pairs where the interpreter can size one (before 3.13,
// for more than five pairs); else a new empty dict.
inline PyObject* dict_with_room(std::size_t pairs) {
#if QUORVANE_CPYTHON && PY_VERSION_HEX < 0x030D0000
    return pairs > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(pairs)) : PyDict_New();
#else
    (void)pairs;
    return PyDict_New();
#endif
}

// PyDict_Next without the call: the same entries in the same order. A table in the combined
// layout is read directly (entries whose value is null are deleted ones, skipped as the
// interpreter skips them); a split table (an instance dictionary) goes through PyDict_Next.
QUORVANE_INLINE bool dict_next(PyObject* dict, Py_ssize_t* position, PyObject** key, PyObject** value) {
#ifdef QUORVANE_DICT_ENTRIES
    auto* object = reinterpret_cast<PyDictObject*>(dict);
    if (object->ma_values == nullptr) {
        PyDictKeysObject* keys = object->ma_keys;
        const Py_ssize_t count = keys->dk_nentries;
        Py_ssize_t i = *position;
        if (i < 0) return false;
        if (DK_IS_UNICODE(keys)) {
            const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
            while (i < count && entries[i].me_value == nullptr) ++i;
            if (i >= count) return false;
            *key = entries[i].me_key;
            *value = entries[i].me_value;
        } else {
            const PyDictKeyEntry* entries = DK_ENTRIES(keys);
            while (i < count && entries[i].me_value == nullptr) ++i;
            if (i >= count) return false;
            *key = entries[i].me_key;
            *value = entries[i].me_value;
        }
        *position = i + 1;
        return true;
    }
#endif
    return PyDict_Next(dict, position, key, value) != 0;
}

// The value of the entry at `position`, or null (deleted entry, split table, past the end,
// a layout not read directly): only for prefetching.
QUORVANE_INLINE const PyObject* dict_value_at(PyObject* dict, Py_ssize_t position) {
#ifdef QUORVANE_DICT_ENTRIES
    auto* object = reinterpret_cast<PyDictObject*>(dict);
    if (object->ma_values == nullptr) {
        PyDictKeysObject* keys = object->ma_keys;
        if (position >= keys->dk_nentries) return nullptr;
        return DK_IS_UNICODE(keys) ? DK_UNICODE_ENTRIES(keys)[position].me_value : DK_ENTRIES(keys)[position].me_value;
    }
#endif
    (void)dict;
    (void)position;
    return nullptr;
}

// Where the entries of an exact dict start, or null (not a dict, a layout not read
// directly): only for prefetching.
QUORVANE_INLINE const char* dict_entries_address(PyObject* object) {
#ifdef QUORVANE_DICT_ENTRIES
    if (Py_TYPE(object) != &PyDict_Type) return nullptr;
    const PyDictKeysObject* keys = reinterpret_cast<PyDictObject*>(object)->ma_keys;
    return reinterpret_cast<const char*>(keys->dk_indices) + (std::size_t{1} << keys->dk_log2_index_bytes);
#else
    (void)object;
    return nullptr;
#endif
}

// ---------------------------------------------------------------------------- str

// The UTF-8 form that the interpreter keeps with a compact str, read without a call; null
// when there is none yet (or the layout is not read directly).
inline const char* kept_utf8(PyObject* value, Py_ssize_t* size) {
#ifdef QUORVANE_UNICODE_LAYOUT
    if (PyUnicode_IS_COMPACT(value)) {
        const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(value);
        *size = compact->utf8_length;
        return compact->utf8;
    }
#endif
    (void)value;
    (void)size;
    return nullptr;
}

// Where a UnicodeDecodeError says the fault is (0 when it cannot say) and why (a new
// reference, or null with an error set).
inline void unicode_decode_error_fault(PyObject* error, Py_ssize_t* at, PyObject** reason) {
    *at = 0;
    *reason = nullptr;
#if !QUORVANE_CPYTHON  // no accessors of the error's fields: its attributes serve
    if (error != nullptr) {
        PyObject* start = PyObject_GetAttrString(error, "start");
        *at = start != nullptr ? PyLong_AsSsize_t(start) : 0;
        Py_XDECREF(start);
        if (*at < 0 || PyErr_Occurred()) {
            PyErr_Clear();
            *at = 0;
        }
        *reason = PyObject_GetAttrString(error, "reason");
    }
#else
    if (error == nullptr || PyUnicodeDecodeError_GetStart(error, at) != 0) {
        PyErr_Clear();
        *at = 0;
    }
    *reason = error != nullptr ? PyUnicodeDecodeError_GetReason(error) : nullptr;
#endif
}

// ---------------------------------------------------------------------------- buffers

// A contiguous buffer of `data`: 0, or -1 with an error set (and nothing held). PyPy answers
// a simple request on a strided view with its underlying memory, which is not the view's
// content: there the strides are asked for and what is not contiguous is refused.
inline int get_contiguous_buffer(PyObject* data, Py_buffer* view, const char* refusal) {
#if QUORVANE_CPYTHON
    (void)refusal;
    return PyObject_GetBuffer(data, view, PyBUF_SIMPLE);
#else
    if (PyObject_GetBuffer(data, view, PyBUF_STRIDES) != 0) return -1;
    if (!PyBuffer_IsContiguous(view, 'C')) {
        PyErr_SetString(PyExc_BufferError, refusal);
        PyBuffer_Release(view);
        return -1;
    }
    return 0;
#endif
}

// PyPy does not refuse to resize a bytearray (or close an mmap) whose buffer is exported, so
// where Python code of the caller's may run while a buffer is read (a hook), the content of
// anything but bytes is read from a copy there: the held `view` of `data` is replaced by one of
// a new bytes object, which is returned (a new reference for the caller to keep while it
// reads). Null where nothing was copied (CPython; bytes); null with an error set, and
// `*held` false, where the copy failed.
inline PyObject* copy_if_resizable(PyObject* data, Py_buffer* view, bool* held) {
#if QUORVANE_CPYTHON
    (void)data;
    (void)view;
    (void)held;
    return nullptr;
#else
    if (PyBytes_Check(data)) return nullptr;
    PyObject* copy = PyBytes_FromStringAndSize(static_cast<const char*>(view->buf), view->len);
    PyBuffer_Release(view);
    *held = false;
    if (copy == nullptr) return nullptr;
    if (PyObject_GetBuffer(copy, view, PyBUF_SIMPLE) != 0) {
        Py_DECREF(copy);
        return nullptr;
    }
    *held = true;
    return copy;
#endif
}

// ---------------------------------------------------------------------------- recursion

// Py_EnterRecursiveCall and Py_LeaveRecursiveCall. PyPy's C API does not count these calls;
// there the module counts its own levels (over all calls, guarded by the interpreter lock)
// against the recursion limit.
#if !QUORVANE_CPYTHON
inline long long own_recursion_depth = 0;
#endif

inline int enter_recursive_call(const char* where) {
#if QUORVANE_CPYTHON
    return Py_EnterRecursiveCall(where);
#else
    if (own_recursion_depth + 1 > Py_GetRecursionLimit()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    ++own_recursion_depth;
    return 0;
#endif
}

inline void leave_recursive_call() {
#if QUORVANE_CPYTHON
    Py_LeaveRecursiveCall();
#else
    --own_recursion_depth;
#endif
}

#ifdef QUORVANE_OWN_NESTING_COUNT
// How many more levels Py_EnterRecursiveCall allows the current thread.
inline int recursion_remaining() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_Get()->c_recursion_remaining;
#else
    return PyThreadState_Get()->recursion_remaining;
#endif
}
#endif

}  // namespace quorvane
