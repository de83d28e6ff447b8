// The value encoders' common part: the result buffer, the nesting guard, and the encoder core
// that dumps and encode are both made of (the writes of the plain types, the dispatch of a
// member on its type, the array loops). Touches Python.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "cbor/format.h"
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

    // The deepest nesting written, whatever the recursion limit. A level costs a few hundred
    // bytes of native stack (about 180 for a list of lists, 400 to 500 for the maps of the
    // deterministic form, measured with 3.11 on x86-64), so 8000 levels stay within 4 MiB of
    // the 8 MiB that a thread has by default (a thread given 3 MiB by threading.stack_size
    // does not hold them).
    static constexpr long long NATIVE_LIMIT = 8000;

    QUORVANE_INLINE void enter() {
        if (++levels_ >= enter_from_) enter_guard();
    }

    QUORVANE_INLINE void leave() {
        --levels_;
        if (entered_ > levels_) release();
    }

    // Containers entered and not yet left (the current one included).
    QUORVANE_INLINE long long depth() const { return levels_; }

    [[noreturn]] QUORVANE_COLD static void too_deep() {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a value as CBOR");
        throw py::error_already_set();
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


// The core's members, named in a derived encoder (a template, whose dependent base's names
// are not otherwise found without this->).
#define QUORVANE_ENCODER_CORE_NAMES(Core) \
    using Core::check_depth_of_key;       \
    using Core::encode_member;            \
    using Core::encode_nested;            \
    using Core::nesting_;                 \
    using Core::prefetch;                 \
    using Core::PREFETCH_AHEAD;           \
    using Core::put_byte;                 \
    using Core::put_float;                \
    using Core::put_head;                 \
    using Core::put_string;               \
    using Core::write_bool;               \
    using Core::write_bytes;              \
    using Core::write_int_within_64_bits; \
    using Core::write_exact_int;          \
    using Core::write_list;               \
    using Core::write_signed;             \
    using Core::write_text;               \
    using Core::write_tuple;              \
    using Core::writer_;

// A value that encode refuses: TypeError for a type it cannot write, ValueError for a value
// of a known type that it cannot write faithfully (a naive datetime, a circular reference).
// The place where the value sits is gathered as the error passes out through its containers.
// dumps raises none.
struct Refused {
    PyObject* type;
    std::string what;  // "cannot write a value of type 'Foo'"
    std::string hint;  // "; give encode a default= function that converts it"
    std::string path;  // "['readings'][3]"
    std::size_t skip = 0;  // containers on the way out that add nothing (those inside a cycle)
};

// Puts the place of a member in its container in front of the path.
inline void locate(Refused& refused, const std::string& piece) {
    if (refused.skip > 0) {
        --refused.skip;
    } else {
        refused.path.insert(0, piece);
    }
}

// The encoder core, in the manner of msgspec's encoder: one inline path for the exact built-in
// types, which every value mostly is, and the uncommon types sent out of line to the encoder
// that derives from it (Derived, which decides what else it takes and how it refuses):
//   encode_other(member, from_default)  every other type (cold)
//   write_large_int(value)              an exact int beyond a machine word
//   write_other_text(value)             a str that is not compact ASCII
//   start_array(count), finish_array()  the head (and end) of an array
//   depth_exceeded()                    nesting past max_depth (Limited)
//   Open(derived, container)            one level of nesting for the life of the object
// Both encoders write the same bytes for the plain values; dumps' own rules (truth values as
// booleans, indefinite lengths, its messages) are in its derived class.
template <class Derived, bool Limited>
class EncoderCore {
protected:
    EncoderCore(CborWriter* writer, std::uint64_t max_depth) : writer_(writer), max_depth_(max_depth) {}

    Derived& self() { return static_cast<Derived&>(*this); }

    // Exact built-in types are written directly; anything else goes to the derived encoder.
    // `from_default`: the member is what encode's default function returned.
    QUORVANE_INLINE void encode_member(PyObject* member, bool from_default = false) {
        PyTypeObject* type = Py_TYPE(member);
        if (type == &PyUnicode_Type) {
            write_text(member);
        } else if (type == &PyLong_Type) {
            write_exact_int(member);
        } else if (type == &PyFloat_Type) {
            put_float(PyFloat_AS_DOUBLE(member));
        } else if (type == &PyDict_Type) {
            self().write_dict(member);
        } else if (type == &PyList_Type) {
            write_list(member);
        } else if (member == Py_True || member == Py_False) {
            write_bool(member == Py_True);
        } else if (member == Py_None) {
            put_byte(CBOR_NULL);
        } else if (type == &PyTuple_Type) {
            write_tuple(member);
        } else if (type == &PyBytes_Type) {
            write_bytes(member);
        } else {
            self().encode_other(member, from_default);
        }
    }

    // ------------------------------------------------------------------ scalars

    QUORVANE_INLINE void reserve(std::uint64_t count) {
        if (!cbor_reserve(writer_, count)) throw std::bad_alloc();
    }

    // Shortest head, written in place (the same bytes as the writer's own operations).
    QUORVANE_INLINE void put_head(unsigned major_type, std::uint64_t argument) {
        reserve(9);
        cbor_put_head_unchecked(writer_, major_type, argument);
    }

    QUORVANE_INLINE void put_byte(std::uint8_t byte) {
        reserve(1);
        writer_->storage[writer_->length++] = byte;
    }

    QUORVANE_INLINE void put_float(double value) {
        reserve(9);
        cbor_put_float_unchecked(writer_, value);
    }

    QUORVANE_INLINE void write_bool(bool value) { put_byte(value ? CBOR_TRUE : CBOR_FALSE); }

    // Major type 1 with argument -1 - value for a negative value, else major type 0; without
    // a branch on the sign.
    QUORVANE_INLINE void write_signed(long long value) {
        const auto negative = static_cast<std::uint64_t>(value < 0);
        put_head(static_cast<unsigned>(negative), static_cast<std::uint64_t>(value) ^ (0 - negative));
    }

    // An int from -2^64 to 2^64 - 1 with the shortest head; false for one beyond, with
    // *side 1 above that range and -1 below it (each encoder has its own rule for those).
    bool write_int_within_64_bits(PyObject* value, int* side) {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            if (small == -1 && PyErr_Occurred()) throw py::error_already_set();
            write_signed(small);
            return true;
        }
        if (overflow > 0) {
            const unsigned long long large = PyLong_AsUnsignedLongLong(value);
            if (!(large == ~0ull && PyErr_Occurred())) {
                put_head(CBOR_MAJOR_UNSIGNED, large);
                return true;
            }
            PyErr_Clear();
        }
        *side = overflow;
        return false;
    }

    QUORVANE_INLINE void write_exact_int(PyObject* value) {
        long long word = 0;
        if (compact_int_value(value, &word)) {
            write_signed(word);
            return;
        }
        self().write_large_int(value);
    }

    QUORVANE_INLINE void put_string(unsigned major_type, const char* data, Py_ssize_t size) {
        reserve(9 + static_cast<std::uint64_t>(size));
        cbor_put_head_unchecked(writer_, major_type, static_cast<std::uint64_t>(size));
        copy_bytes(writer_->storage + writer_->length, data, static_cast<std::size_t>(size));
        writer_->length += static_cast<std::uint64_t>(size);
    }

    QUORVANE_INLINE void write_bytes(PyObject* value) {
        put_string(CBOR_MAJOR_BYTES, PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    }

    QUORVANE_INLINE void write_text(PyObject* value) {
#if QUORVANE_CPYTHON
        if (PyUnicode_IS_COMPACT_ASCII(value)) {
            put_string(CBOR_MAJOR_TEXT, static_cast<const char*>(PyUnicode_DATA(value)), PyUnicode_GET_LENGTH(value));
            return;
        }
#endif
        self().write_other_text(value);
    }

    // ------------------------------------------------------------------ nesting

    // A member one level below its container, within the depth limit.
    QUORVANE_INLINE void encode_nested(PyObject* member) {
        if (Limited && ++depth_ > max_depth_) self().depth_exceeded();
        encode_member(member);
        if (Limited) --depth_;
    }

    // Before a member that is written here without encode_nested (an exact str key).
    QUORVANE_INLINE void check_depth_of_key() {
        if (Limited && depth_ + 1 > max_depth_) self().depth_exceeded();
    }

    // The header of a member a few places ahead is fetched into the cache while the current
    // one is written: the type test of every member otherwise waits for memory.
    static constexpr Py_ssize_t PREFETCH_AHEAD = 8;
    static QUORVANE_INLINE void prefetch(const PyObject* object) { QUORVANE_PREFETCH(object); }

    // For a member fetched earlier that is a dict (records in a list): its first entries.
    static QUORVANE_INLINE void prefetch_entries(PyObject* member) {
        const char* entries = dict_entries_address(member);
        if (entries == nullptr) return;
        prefetch(reinterpret_cast<const PyObject*>(entries));
        prefetch(reinterpret_cast<const PyObject*>(entries + 64));
    }

    // ------------------------------------------------------------------ arrays

    // Members are read from the list's storage, and the list is checked after each one,
    // because Python code run by a conversion may change it. Python code runs only in a
    // conversion, which holds its member; a container holds itself while it is written.
    void write_list(PyObject* list) {
        const typename Derived::Open open(self(), list);
        const py::object keep = py::reinterpret_borrow<py::object>(list);
        const Py_ssize_t count = PyList_GET_SIZE(list);
        self().start_array(count);
        Py_ssize_t i = 0;
        try {
            for (; i < count; ++i) {
                if (PyList_GET_SIZE(list) != count) break;
                if (i + PREFETCH_AHEAD < count) {
                    prefetch(PyList_GET_ITEM(list, i + PREFETCH_AHEAD));
                    prefetch_entries(PyList_GET_ITEM(list, i + PREFETCH_AHEAD / 2));
                }
                PyObject* member = PyList_GET_ITEM(list, i);
                if (Py_TYPE(member) == &PyFloat_Type && !Limited) {  // runs of floats: no dispatch
                    put_float(PyFloat_AS_DOUBLE(member));
                    continue;
                }
                encode_nested(member);
            }
        } catch (Refused& refused) {
            locate(refused, "[" + std::to_string(i) + "]");
            throw;
        }
        if (PyList_GET_SIZE(list) != count) throw std::runtime_error("list changed size during encoding");
        self().finish_array();
    }

    void write_tuple(PyObject* tuple) {
        const typename Derived::Open open(self(), tuple);
        const py::object keep = py::reinterpret_borrow<py::object>(tuple);
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        self().start_array(count);
        Py_ssize_t i = 0;
        try {
            for (; i < count; ++i) {
                if (i + PREFETCH_AHEAD < count) prefetch(PyTuple_GET_ITEM(tuple, i + PREFETCH_AHEAD));
                encode_nested(PyTuple_GET_ITEM(tuple, i));
            }
        } catch (Refused& refused) {
            locate(refused, "[" + std::to_string(i) + "]");
            throw;
        }
        self().finish_array();
    }

    Nesting nesting_;
    CborWriter* writer_;
    std::uint64_t depth_ = 0;
    std::uint64_t max_depth_;
};

}  // namespace encoding
}  // namespace quorvane
