#include "cbor/encoder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "cbor/writer.h"

#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // the digits of an int; included by Python.h itself from 3.11
#endif
#if !defined(PYPY_VERSION) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define QUORVANE_UNICODE_LAYOUT 1  // the compact str object with its kept UTF-8 form
#endif
#if !defined(PYPY_VERSION) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && \
    PY_VERSION_HEX < 0x030C0000 && defined(__GNUC__)
// The dict layout of 3.11 (entries walked without a call per entry), from the interpreter's
// internal header, which declares a flexible array member (not in ISO C++).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#pragma GCC diagnostic pop
#define QUORVANE_DICT_ENTRIES 1
#endif
#if PY_VERSION_HEX < 0x030900A4 && !defined(Py_SET_SIZE)
#define Py_SET_SIZE(o, n) (Py_SIZE(o) = (n))  // from 3.9
#endif

namespace py = pybind11;

namespace quorvane {
namespace {

constexpr const char* CAST_FAILURE = "Unable to cast Python instance to C++ type (compile in debug mode for details)";
constexpr const char* INTEGER_RANGE = "dumps received an integer out of range for both int64_t and uint64_t";
constexpr std::size_t VALUE_TEXT_LIMIT = 40;

// Owns the writer for one call and frees it on every exit. On CPython the writer's storage
// is the bytes object that dumps returns, grown in place, so the encoding is never copied.
class WriterHandle {
public:
    CborWriter* const writer = cbor_writer_new();

    WriterHandle() {
        if (writer == nullptr) throw std::bad_alloc();
#if !defined(PYPY_VERSION)
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
#if !defined(PYPY_VERSION)
        Py_XDECREF(result_);
#endif
    }
    WriterHandle(const WriterHandle&) = delete;
    WriterHandle& operator=(const WriterHandle&) = delete;

    // The encoding as bytes.
    py::bytes take() {
        const auto length = static_cast<Py_ssize_t>(writer->length);
#if !defined(PYPY_VERSION)
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
#if !defined(PYPY_VERSION)
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

#if defined(__GNUC__)
#define QUORVANE_INLINE inline __attribute__((always_inline))
#define QUORVANE_COLD __attribute__((noinline, cold))
#else
#define QUORVANE_INLINE inline
#define QUORVANE_COLD
#endif

// Where the interpreter's recursion count can be read (the field that Py_EnterRecursiveCall
// counts down), so that the encoder can count its own nesting against it.
#if !defined(PYPY_VERSION) && !defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define QUORVANE_OWN_NESTING_COUNT 1
inline int recursion_remaining() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_Get()->c_recursion_remaining;
#else
    return PyThreadState_Get()->recursion_remaining;
#endif
}
#endif

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
class Nesting {
public:
    Nesting() { refresh(); }
    ~Nesting() { release(); }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;

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
#ifdef PYPY_VERSION
            if (pypy_nesting + 1 > Py_GetRecursionLimit()) {
                PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a value as CBOR");
                throw py::error_already_set();
            }
            ++pypy_nesting;
#else
            if (Py_EnterRecursiveCall(" while encoding a value as CBOR") != 0) throw py::error_already_set();
#endif
            ++entered_;
        }
    }

    // After Python code may have run (it may have changed the recursion limit).
    void refresh() {
#ifdef QUORVANE_OWN_NESTING_COUNT
        enter_from_ = static_cast<long long>(entered_) + recursion_remaining() - MARGIN;
#endif
    }

private:
    static constexpr long long MARGIN = 8;

    QUORVANE_COLD void enter_guard() {
        try {
            sync();
        } catch (...) {
            --levels_;
            throw;
        }
    }

    QUORVANE_COLD void release() {
        while (entered_ > levels_) {
#ifdef PYPY_VERSION
            --pypy_nesting;
#else
            Py_LeaveRecursiveCall();
#endif
            --entered_;
        }
    }

    long long levels_ = 0;      // containers entered and not yet left
    long long entered_ = 0;     // of these, levels for which the interpreter's guard is entered
    long long enter_from_ = 0;  // the level from which the guard is entered as levels are
#ifdef PYPY_VERSION
    static inline long long pypy_nesting = 0;  // over all calls; guarded by the interpreter lock
#endif
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

// The value of the entry at `position`, or null (deleted entry, split table, past the end):
// only for prefetching.
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

// Reads an exact int that fits a machine word straight from its digits; false sends the
// caller to the general conversion (which gives the same number).
QUORVANE_INLINE bool small_int_value(PyObject* value, long long* out) {
#if defined(PYPY_VERSION)
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

// The UTF-8 form of a str without a call where the string is compact ASCII (its characters
// are its UTF-8 bytes); null with the error cleared when it has no UTF-8 form.
inline const char* text_utf8(PyObject* value, Py_ssize_t* size) {
#if !defined(PYPY_VERSION)
    if (PyUnicode_IS_COMPACT_ASCII(value)) {
        *size = PyUnicode_GET_LENGTH(value);
        return static_cast<const char*>(PyUnicode_DATA(value));
    }
#endif
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, size);
    if (utf8 == nullptr) PyErr_Clear();
    return utf8;
}

// Whether bytes are valid UTF-8, as the interpreter's strict decoder judges them (a failure
// other than a decoding error, such as running out of memory, is raised as it is).
bool utf8_valid(const char* data, std::size_t size) {
    PyObject* decoded = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), nullptr);
    if (decoded != nullptr) {
        Py_DECREF(decoded);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

// The number a float or float subclass holds, read from the object itself: PyPy's
// PyFloat_AsDouble would call a subclass's own __float__.
double float_value(PyObject* value) { return reinterpret_cast<PyFloatObject*>(value)->ob_fval; }

// str(value) for an error message: at most VALUE_TEXT_LIMIT bytes, never cut inside a
// UTF-8 character.
std::string value_text(py::handle value) {
    std::string text;
    try {
        text = static_cast<std::string>(py::str(value));
    } catch (const std::exception& error) {  // py::error_already_set included
        text = std::string("failed with ") + error.what();
    } catch (...) {
        text = "failed with unknown exception";
    }
    if (text.size() > VALUE_TEXT_LIMIT) {
        std::size_t cut = VALUE_TEXT_LIMIT;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        text.resize(cut);
    }
    return text;
}

[[noreturn]] void integer_out_of_range(py::handle value) {
    throw std::runtime_error(INTEGER_RANGE + value_text(value));
}

// A member matched against the alternatives exactly as the binding library matches the
// top-level argument: a strict pass, then a pass with conversions.
DumpsValue convert_value(py::handle member) {
    py::detail::make_caster<DumpsValue> caster;
    if (!caster.load(member, true)) throw py::cast_error(CAST_FAILURE);
    return py::detail::cast_op<DumpsValue&&>(std::move(caster));
}

template <bool Indefinite, bool Limited>
class DumpsEncoder {
public:
    DumpsEncoder(CborWriter* writer, std::uint64_t max_depth) : writer_(writer), max_depth_(max_depth) {}

    void encode_value(const DumpsValue& value) {
        switch (value.index()) {
            case 0: write_bool(std::get<0>(value).ptr() == Py_True); break;
            case 1: put_float(float_value(std::get<1>(value).ptr())); break;
            case 2: write_integer(std::get<2>(value)); break;
            case 3: write_list(std::get<3>(value).ptr()); break;
            case 4: write_tuple(std::get<4>(value).ptr()); break;
            case 5: write_dict(std::get<5>(value).ptr()); break;
            case 6: write_bytes(std::get<6>(value).ptr()); break;
            case 7: write_text(std::get<7>(value).ptr()); break;
            case 8: put_byte(0xF6); break;
            case 9: write_bool(std::get<9>(value)); break;
            case 10: put_head(0, std::get<10>(value)); break;
            case 11: write_signed(std::get<11>(value)); break;
            default: {
                // Reached by a bytearray, whose content the binding library hands over as is.
                const std::string_view text = std::get<12>(value);
                if (!utf8_valid(text.data(), text.size())) {
                    throw py::cast_error(CAST_FAILURE);
                }
                put_string(3, text.data(), static_cast<Py_ssize_t>(text.size()));
            }
        }
    }

private:
    // A member of a list, tuple or dict. Exact built-in types are written directly (the
    // general matching would pick the same alternative); anything else is matched first.
    QUORVANE_INLINE void encode_member(PyObject* member) {
        PyTypeObject* type = Py_TYPE(member);
        if (type == &PyUnicode_Type) {
            write_text(member);
        } else if (type == &PyLong_Type) {
            write_exact_int(member);
        } else if (type == &PyFloat_Type) {
            put_float(PyFloat_AS_DOUBLE(member));
        } else if (type == &PyDict_Type) {
            write_dict(member);
        } else if (type == &PyList_Type) {
            write_list(member);
        } else if (member == Py_True || member == Py_False) {
            write_bool(member == Py_True);
        } else if (member == Py_None) {
            put_byte(0xF6);
        } else if (type == &PyTuple_Type) {
            write_tuple(member);
        } else if (type == &PyBytes_Type) {
            write_bytes(member);
        } else {
            encode_converted(member);
        }
    }

    // Python code of the value may run from here on: the interpreter's recursion count is
    // brought up to the nesting first, and read again afterwards.
    // The member is held meanwhile: that code may drop it from its container.
    QUORVANE_COLD void encode_converted(PyObject* member) {
        const py::object held = py::reinterpret_borrow<py::object>(member);
        nesting_.sync();
        encode_value(convert_value(member));
        nesting_.refresh();
    }

    // Shortest head, written in place (the same bytes as the writer's own operations).
    QUORVANE_INLINE void put_head(unsigned major_type, std::uint64_t argument) {
        reserve(9);
        cbor_put_head_unchecked(writer_, major_type, argument);
    }

    QUORVANE_INLINE void reserve(std::uint64_t count) {
        if (!cbor_reserve(writer_, count)) throw std::bad_alloc();
    }

    QUORVANE_INLINE void put_byte(std::uint8_t byte) {
        reserve(1);
        writer_->storage[writer_->length++] = byte;
    }

    QUORVANE_INLINE void put_float(double value) {
        reserve(9);
        cbor_put_float_unchecked(writer_, value);
    }

    QUORVANE_INLINE void write_bool(bool value) { put_byte(value ? 0xF5 : 0xF4); }

    // Major type 1 with argument -1 - value for a negative value, else major type 0; without
    // a branch on the sign.
    QUORVANE_INLINE void write_signed(long long value) {
        const auto negative = static_cast<std::uint64_t>(value < 0);
        put_head(static_cast<unsigned>(negative), static_cast<std::uint64_t>(value) ^ (0 - negative));
    }

    QUORVANE_INLINE void write_exact_int(PyObject* value) {
        long long word = 0;
        if (small_int_value(value, &word)) {
            write_signed(word);
            return;
        }
        write_large_int(value);
    }

    void write_large_int(PyObject* value) {
        int overflow = 0;
        const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            write_signed(small);
            return;
        }
        if (overflow > 0) {
            const unsigned long long large = PyLong_AsUnsignedLongLong(value);
            if (!(large == ~0ull && PyErr_Occurred())) {
                put_head(0, large);
                return;
            }
            PyErr_Clear();
        }
        integer_out_of_range(value);
    }

    // Reads `value` as the native type T and accepts it only when the int made back from
    // it equals `value` by Python equality (an int subclass may define its own).
    template <typename T>
    bool read_exactly(py::handle value, T* out) {
        py::detail::make_caster<T> caster;
        if (!caster.load(value, true)) return false;
        const T native = py::detail::cast_op<T>(caster);
        py::object rebuilt = py::reinterpret_steal<py::object>(
            std::is_signed<T>::value ? PyLong_FromLongLong(static_cast<long long>(native))
                                     : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(native)));
        if (!rebuilt) {
            PyErr_Clear();
            return false;
        }
        const int equal = PyObject_RichCompareBool(value.ptr(), rebuilt.ptr(), Py_EQ);
        if (equal < 0) PyErr_Clear();
        if (equal != 1) return false;
        *out = native;
        return true;
    }

    void write_integer(py::handle value) {
        if (Py_TYPE(value.ptr()) == &PyLong_Type) {
            write_exact_int(value.ptr());
            return;
        }
        unsigned long long as_unsigned = 0;
        if (read_exactly(value, &as_unsigned)) {
            put_head(0, as_unsigned);
            return;
        }
        long long as_signed = 0;
        if (read_exactly(value, &as_signed)) {
            write_signed(as_signed);
            return;
        }
        integer_out_of_range(value);
    }

    QUORVANE_INLINE void put_string(unsigned major_type, const char* data, Py_ssize_t size) {
        reserve(9 + static_cast<std::uint64_t>(size));
        cbor_put_head_unchecked(writer_, major_type, static_cast<std::uint64_t>(size));
        copy_bytes(writer_->storage + writer_->length, data, static_cast<std::size_t>(size));
        writer_->length += static_cast<std::uint64_t>(size);
    }

    // memcpy, with short runs (keys, most values) copied inline by overlapping words that
    // read and write only the `size` bytes.
    static QUORVANE_INLINE void copy_bytes(std::uint8_t* out, const char* data, std::size_t size) {
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

    QUORVANE_INLINE void write_bytes(PyObject* value) {
        put_string(2, PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
    }

    QUORVANE_INLINE void write_text(PyObject* value) {
#if !defined(PYPY_VERSION)
        if (PyUnicode_IS_COMPACT_ASCII(value)) {
            put_string(3, static_cast<const char*>(PyUnicode_DATA(value)), PyUnicode_GET_LENGTH(value));
            return;
        }
#endif
        write_other_text(value);
    }

    // Other text from its UTF-8 form: the one the interpreter keeps with a compact string,
    // read without a call once it exists; else made (and kept) by the interpreter. Encoding
    // the code units here instead would be redone on every call of a program that encodes
    // the same strings again, where the kept form is only copied.
    void write_other_text(PyObject* value) {
#ifdef QUORVANE_UNICODE_LAYOUT
        if (PyUnicode_IS_COMPACT(value)) {
            const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(value);
            if (compact->utf8 != nullptr) {
                put_string(3, compact->utf8, compact->utf8_length);
                return;
            }
        }
#endif
        Py_ssize_t size = 0;
        const char* utf8 = text_utf8(value, &size);
        if (utf8 == nullptr) throw py::cast_error(CAST_FAILURE);
        put_string(3, utf8, size);
    }

    QUORVANE_INLINE void start(bool is_map, Py_ssize_t count) {
        const unsigned major_type = is_map ? 5 : 4;
        if (Indefinite) {
            put_byte(static_cast<std::uint8_t>((major_type << 5) | 31));
        } else {
            put_head(major_type, static_cast<std::uint64_t>(count));
        }
    }

    QUORVANE_INLINE void finish() {
        if (Indefinite) put_byte(0xFF);
    }

    // A member one level below its container, within the depth limit.
    QUORVANE_INLINE void encode_nested(PyObject* member) {
        if (Limited && ++depth_ > max_depth_) depth_exceeded();
        encode_member(member);
        if (Limited) --depth_;
    }

    [[noreturn]] QUORVANE_COLD void depth_exceeded() {
        throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth_));
    }

    // The header of a member a few places ahead is fetched into the cache while the current
    // one is written: the type test of every member otherwise waits for memory.
    static constexpr Py_ssize_t PREFETCH_AHEAD = 8;
    static QUORVANE_INLINE void prefetch(const PyObject* object) {
#if defined(__GNUC__)
        __builtin_prefetch(object);
#else
        (void)object;
#endif
    }

    // For a member fetched earlier that is a dict (records in a list): its first entries.
    static QUORVANE_INLINE void prefetch_entries(PyObject* member) {
#ifdef QUORVANE_DICT_ENTRIES
        if (Py_TYPE(member) != &PyDict_Type) return;
        const PyDictKeysObject* keys = reinterpret_cast<PyDictObject*>(member)->ma_keys;
        const char* entries = reinterpret_cast<const char*>(keys->dk_indices) + (std::size_t{1} << keys->dk_log2_index_bytes);
        prefetch(reinterpret_cast<const PyObject*>(entries));
        prefetch(reinterpret_cast<const PyObject*>(entries + 64));
#else
        (void)member;
#endif
    }

    // Members are read from the list's storage, and the list is checked after each one,
    // because Python code run by a conversion may change it. Python code runs only in a
    // conversion, which holds its member; a container holds itself while it is written.
    void write_list(PyObject* list) {
        const Level level(nesting_);
        const py::object keep = py::reinterpret_borrow<py::object>(list);
        const Py_ssize_t count = PyList_GET_SIZE(list);
        start(false, count);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyList_GET_SIZE(list) != count) break;
            if (i + PREFETCH_AHEAD < count) {
                prefetch(PyList_GET_ITEM(list, i + PREFETCH_AHEAD));
                prefetch_entries(PyList_GET_ITEM(list, i + PREFETCH_AHEAD / 2));
            }
            encode_nested(PyList_GET_ITEM(list, i));
        }
        if (PyList_GET_SIZE(list) != count) throw std::runtime_error("list changed size during encoding");
        finish();
    }

    void write_tuple(PyObject* tuple) {
        const Level level(nesting_);
        const py::object keep = py::reinterpret_borrow<py::object>(tuple);
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        start(false, count);
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i + PREFETCH_AHEAD < count) prefetch(PyTuple_GET_ITEM(tuple, i + PREFETCH_AHEAD));
            encode_nested(PyTuple_GET_ITEM(tuple, i));
        }
        finish();
    }

    void write_dict(PyObject* dict) {
        const Level level(nesting_);
        const py::object keep = py::reinterpret_borrow<py::object>(dict);
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        start(true, count);
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (written < count && dict_next(dict, &position, &key, &item)) {
            const PyObject* ahead = dict_value_at(dict, position + PREFETCH_AHEAD / 2);
            if (ahead != nullptr) prefetch(ahead);
            if (Py_TYPE(key) == &PyUnicode_Type) {
                // Writing an exact str runs no Python code: the entry stays as it is.
                if (Limited && depth_ + 1 > max_depth_) depth_exceeded();
                write_text(key);
                encode_nested(item);
            } else {
                // The key's conversion may change the dict: the value is held too.
                const py::object held_key = py::reinterpret_borrow<py::object>(key);
                const py::object held_item = py::reinterpret_borrow<py::object>(item);
                encode_nested(key);
                encode_nested(item);
            }
            ++written;
            if (PyDict_GET_SIZE(dict) != count) break;
        }
        if (written != count || PyDict_GET_SIZE(dict) != count) {
            throw std::runtime_error("dictionary changed size during encoding");
        }
        finish();
    }

    Nesting nesting_;
    CborWriter* writer_;
    std::uint64_t depth_ = 0;
    std::uint64_t max_depth_;
};

template <bool Indefinite, bool Limited>
void encode(CborWriter* writer, const DumpsValue& value, std::uint64_t max_depth) {
    DumpsEncoder<Indefinite, Limited>(writer, max_depth).encode_value(value);
}

}  // namespace

py::bytes dumps(const DumpsValue& value, bool indefinite, unsigned long long max_depth) {
    WriterHandle handle;
    if (indefinite) {
        max_depth == 0 ? encode<true, false>(handle.writer, value, 0) : encode<true, true>(handle.writer, value, max_depth);
    } else {
        max_depth == 0 ? encode<false, false>(handle.writer, value, 0) : encode<false, true>(handle.writer, value, max_depth);
    }
    return handle.take();
}

}  // namespace quorvane
