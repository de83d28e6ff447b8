// Pieces that both value encoders (dumps and encode) use: the result buffer, the nesting
// guard, and fast reads of strings and floats. Touches Python.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "cbor/writer.h"
#include "common/compiler.h"
#include "module/python_compat.h"

namespace quorvane {
namespace encoding {

namespace py = pybind11;
// Owns the writer for one call and frees it on every exit. On CPython the writer's storage
// is the bytes object that dumps returns, grown in place, so the encoding is never copied.
class WriterHandle {
public:
    CborWriter* const writer = cbor_writer_new();

    WriterHandle() {
        if (writer == nullptr) throw std::bad_alloc();
#if QUORVANE_CPYTHON
        writer->resize = &WriterHandle::resize;
        writer->resize_context = this;
        // The first buffer is sized from the last result: a program tends to encode values
        // of one size again and again, and a block of the size just freed comes back from
        // the allocator's heap without fresh pages, whereas growing step by step ends in a
        // fresh mapping, page faults on every page, for every large result.
        const std::uint64_t last = last_result_size.load(std::memory_order_relaxed);
        if (last > FIRST_CAPACITY) {
            const std::uint64_t capacity = capacity_after(last);
            result_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
            if (result_ != nullptr) {
                writer->storage = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result_));
                writer->capacity = capacity;
            } else {
                PyErr_Clear();  // the writer starts small instead
            }
        }
#endif
    }
    ~WriterHandle() {
        cbor_writer_free(writer);
#if QUORVANE_CPYTHON
        Py_XDECREF(result_);
#endif
    }
    WriterHandle(const WriterHandle&) = delete;
    WriterHandle& operator=(const WriterHandle&) = delete;

    // The encoding as bytes.
    py::bytes take() {
        const auto length = static_cast<Py_ssize_t>(writer->length);
#if QUORVANE_CPYTHON
        if (result_ != nullptr) {
            last_result_size.store(writer->length, std::memory_order_relaxed);
            // A large result keeps (or is cut down to) the block that the next call of the
            // same size will ask for, so that the allocator hands that block back from its
            // heap; the bytes object is only told its size. A small one is cut to size.
            const std::uint64_t block =
                writer->length < LARGE_RESULT ? writer->length : std::min(writer->capacity, capacity_after(writer->length));
            if (block != writer->capacity && _PyBytes_Resize(&result_, static_cast<Py_ssize_t>(block)) != 0) {
                PyErr_Clear();
                throw std::bad_alloc();
            }
            if (block != writer->length) {
                Py_SET_SIZE(result_, length);
                PyBytes_AS_STRING(result_)[length] = '\0';
            }
            return py::reinterpret_steal<py::bytes>(std::exchange(result_, nullptr));
        }
#endif
        return py::bytes(reinterpret_cast<const char*>(writer->storage), static_cast<std::size_t>(length));
    }

private:
#if QUORVANE_CPYTHON
    // The writer's growth: a new bytes object, or the current one resized (realloc keeps its
    // content). A failure leaves no storage; the encoder then gives up with MemoryError.
    static std::uint8_t* resize(void* context, std::uint64_t capacity) {
        auto* self = static_cast<WriterHandle*>(context);
        if (capacity > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return nullptr;
        const auto size = static_cast<Py_ssize_t>(capacity);
        if (self->result_ == nullptr) {
            self->result_ = PyBytes_FromStringAndSize(nullptr, size);
        } else if (_PyBytes_Resize(&self->result_, size) != 0) {
            self->result_ = nullptr;
        }
        if (self->result_ == nullptr) {
            PyErr_Clear();
            self->writer->storage = nullptr;
            self->writer->length = 0;
            self->writer->capacity = 0;
            return nullptr;
        }
        return reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(self->result_));
    }

    // The first capacity of a call after a result of `length` bytes: a little more, rounded
    // up to one of eight steps per power of two (a multiple of 2^k where the size >> k lies
    // in 8 to 15), so that results of nearly the same size ask for the same block.
    static std::uint64_t capacity_after(std::uint64_t length) {
        const std::uint64_t size = length + length / 16 + 64;
        unsigned shift = 0;
        while ((size >> shift) > 15) ++shift;
        const std::uint64_t step = std::uint64_t{1} << shift;
        return (size + step - 1) & ~(step - 1);
    }

    static constexpr std::uint64_t LARGE_RESULT = 64 * 1024;  // from here, blocks are kept

    PyObject* result_ = nullptr;
    static constexpr std::uint64_t FIRST_CAPACITY = 64;  // the writer's own first size
    static inline std::atomic<std::uint64_t> last_result_size{0};
#endif
};

// The nesting of containers, guarded by the interpreter's recursion limit so that deep or
// self-containing values raise RecursionError instead of exhausting the native stack.
//
// Every container is one level of the interpreter's guard (Py_EnterRecursiveCall), but the
// guard is entered lazily: the encoder counts its levels itself and enters the guard for
// all levels not yet entered only when it comes near the recursion limit, or before Python
// code of the caller's values may run (a conversion). So RecursionError comes at exactly
// the level where entering the guard for every container would raise it, and Python code
// sees the interpreter's count as it would be then. PyPy's C API does not count these
// calls; there the encoder counts its own nesting against the recursion limit.
//
// Whatever the recursion limit, the encoder recurses on the native stack for every level, so
// it also refuses nesting deeper than a limit of its own, NATIVE_LIMIT, that the native stack
// of a thread always holds (RecursionError as well): a recursion limit raised far beyond it
// never lets a deep or self-containing value exhaust the stack.
class Nesting {
public:
    Nesting() { refresh(); }
    ~Nesting() { release(); }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

    // The deepest nesting written, whatever the recursion limit. The deepest path costs a few
    // hundred bytes of native stack per level (about 180 for a list of lists, more where a
    // map is sorted or Python code runs), so this stays within a megabyte or two of the 8 MiB
    // that a thread has by default.
    static constexpr long long NATIVE_LIMIT = 8000;

    QUORVANE_INLINE void enter() {
        if (++levels_ >= enter_from_) enter_guard();
    }

    QUORVANE_INLINE void leave() {
        --levels_;
        if (entered_ > levels_) release();
    }

    // Enters the interpreter's guard for every level not yet entered.
    void sync() {
        while (entered_ < levels_) {
            if (enter_recursive_call(" while encoding a value as CBOR") != 0) throw py::error_already_set();
            ++entered_;
        }
    }

    // Before Python code of the caller's values runs (a conversion, default): the guard is
    // brought up to the nesting. PyPy spends about two levels of its own recursion budget on
    // each such call made from within the encoder, and its C API fails fatally where that
    // budget runs out, so there nesting that runs Python code is refused with RecursionError
    // from a quarter of the recursion limit on.
    void before_python_code() {
#if !QUORVANE_CPYTHON
        if (levels_ * 4 > Py_GetRecursionLimit()) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a value as CBOR");
            throw py::error_already_set();
        }
#endif
        if (levels_ > PYTHON_CODE_LIMIT) too_deep();
        sync();
    }

    // After Python code may have run (it may have changed the recursion limit).
    void refresh() {
#ifdef QUORVANE_OWN_NESTING_COUNT
        enter_from_ = std::min(static_cast<long long>(entered_) + recursion_remaining() - MARGIN, NATIVE_LIMIT);
#endif
    }

private:
    static constexpr long long MARGIN = 8;
    // Where Python code (a conversion, default) runs within the nesting, each level also holds
    // the interpreter's frames on the native stack.
    static constexpr long long PYTHON_CODE_LIMIT = NATIVE_LIMIT / 4;

    [[noreturn]] QUORVANE_COLD static void too_deep() {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a value as CBOR");
        throw py::error_already_set();
    }

    QUORVANE_COLD void enter_guard() {
        try {
            if (levels_ > NATIVE_LIMIT) too_deep();
            sync();
        } catch (...) {
            --levels_;
            throw;
        }
    }

    QUORVANE_COLD void release() {
        while (entered_ > levels_) {
            leave_recursive_call();
            --entered_;
        }
    }

    long long levels_ = 0;      // containers entered and not yet left
    long long entered_ = 0;     // of these, levels for which the interpreter's guard is entered
    long long enter_from_ = 0;  // the level from which the guard is entered as levels are
};

// One level of nesting for the life of the object.
class Level {
public:
    QUORVANE_INLINE explicit Level(Nesting& nesting) : nesting_(nesting) { nesting_.enter(); }
    QUORVANE_INLINE ~Level() { nesting_.leave(); }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

private:
    Nesting& nesting_;
};

// The UTF-8 form of a str without a call where the string is compact ASCII (its characters
// are its UTF-8 bytes); null with the error cleared when it has no UTF-8 form.
inline const char* text_utf8(PyObject* value, Py_ssize_t* size) {
#if QUORVANE_CPYTHON
    if (PyUnicode_IS_COMPACT_ASCII(value)) {
        *size = PyUnicode_GET_LENGTH(value);
        return static_cast<const char*>(PyUnicode_DATA(value));
    }
#endif
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, size);
    if (utf8 == nullptr) PyErr_Clear();
    return utf8;
}


// The number a float or float subclass holds, read from the object itself: PyPy's
// PyFloat_AsDouble would call a subclass's own __float__.
inline double float_value(PyObject* value) { return reinterpret_cast<PyFloatObject*>(value)->ob_fval; }

// memcpy, with short runs (keys, most values) copied inline by overlapping words that
// read and write only the `size` bytes.
QUORVANE_INLINE void copy_bytes(std::uint8_t* out, const char* data, std::size_t size) {
    if (size > 16) {
        std::memcpy(out, data, size);
    } else if (size >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, data, 8);
        std::memcpy(&tail, data + size - 8, 8);
        std::memcpy(out, &head, 8);
        std::memcpy(out + size - 8, &tail, 8);
    } else if (size >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, data, 4);
        std::memcpy(&tail, data + size - 4, 4);
        std::memcpy(out, &head, 4);
        std::memcpy(out + size - 4, &tail, 4);
    } else if (size != 0) {
        out[0] = static_cast<std::uint8_t>(data[0]);
        out[size / 2] = static_cast<std::uint8_t>(data[size / 2]);
        out[size - 1] = static_cast<std::uint8_t>(data[size - 1]);
    }
}

}  // namespace encoding
}  // namespace quorvane
