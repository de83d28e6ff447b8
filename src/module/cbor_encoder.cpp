#include "module/cbor_encoder.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "cbor/format.h"
#include "cbor/writer.h"
#include "common/compiler.h"
#include "module/cbor_encoder_common.h"
#include "module/python_compat.h"

namespace py = pybind11;

namespace quorvane {
namespace {

using namespace encoding;

constexpr const char* CAST_FAILURE = "Unable to cast Python instance to C++ type (compile in debug mode for details)";
constexpr const char* INTEGER_RANGE = "dumps received an integer out of range for both int64_t and uint64_t";
constexpr std::size_t VALUE_TEXT_LIMIT = 40;

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
            case 8: put_byte(CBOR_NULL); break;
            case 9: write_bool(std::get<9>(value)); break;
            case 10: put_head(CBOR_MAJOR_UNSIGNED, std::get<10>(value)); break;
            case 11: write_signed(std::get<11>(value)); break;
            default: {
                // Reached by a bytearray, whose content the binding library hands over as is.
                const std::string_view text = std::get<12>(value);
                if (!utf8_valid(text.data(), text.size())) {
                    throw py::cast_error(CAST_FAILURE);
                }
                put_string(CBOR_MAJOR_TEXT, text.data(), static_cast<Py_ssize_t>(text.size()));
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
            put_byte(CBOR_NULL);
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

    QUORVANE_INLINE void write_bool(bool value) { put_byte(value ? CBOR_TRUE : CBOR_FALSE); }

    // Major type 1 with argument -1 - value for a negative value, else major type 0; without
    // a branch on the sign.
    QUORVANE_INLINE void write_signed(long long value) {
        const auto negative = static_cast<std::uint64_t>(value < 0);
        put_head(static_cast<unsigned>(negative), static_cast<std::uint64_t>(value) ^ (0 - negative));
    }

    QUORVANE_INLINE void write_exact_int(PyObject* value) {
        long long word = 0;
        if (compact_int_value(value, &word)) {
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
                put_head(CBOR_MAJOR_UNSIGNED, large);
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
            put_head(CBOR_MAJOR_UNSIGNED, as_unsigned);
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
        write_other_text(value);
    }

    // Other text from its UTF-8 form: the one the interpreter keeps with a compact string,
    // read without a call once it exists; else made (and kept) by the interpreter. Encoding
    // the code units here instead would be redone on every call of a program that encodes
    // the same strings again, where the kept form is only copied.
    void write_other_text(PyObject* value) {
        Py_ssize_t size = 0;
        const char* kept = kept_utf8(value, &size);
        if (kept != nullptr) {
            put_string(CBOR_MAJOR_TEXT, kept, size);
            return;
        }
        const char* utf8 = text_utf8(value, &size);
        if (utf8 == nullptr) throw py::cast_error(CAST_FAILURE);
        put_string(CBOR_MAJOR_TEXT, utf8, size);
    }

    QUORVANE_INLINE void start(bool is_map, Py_ssize_t count) {
        const unsigned major_type = is_map ? CBOR_MAJOR_MAP : CBOR_MAJOR_ARRAY;
        if (Indefinite) {
            put_byte(cbor_initial_byte(major_type, CBOR_INFO_INDEFINITE));
        } else {
            put_head(major_type, static_cast<std::uint64_t>(count));
        }
    }

    QUORVANE_INLINE void finish() {
        if (Indefinite) put_byte(CBOR_BREAK);
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
    static QUORVANE_INLINE void prefetch(const PyObject* object) { QUORVANE_PREFETCH(object); }

    // For a member fetched earlier that is a dict (records in a list): its first entries.
    static QUORVANE_INLINE void prefetch_entries(PyObject* member) {
        const char* entries = dict_entries_address(member);
        if (entries == nullptr) return;
        prefetch(reinterpret_cast<const PyObject*>(entries));
        prefetch(reinterpret_cast<const PyObject*>(entries + 64));
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
            PyObject* member = PyList_GET_ITEM(list, i);
            if (Py_TYPE(member) == &PyFloat_Type && !Limited) {  // runs of floats: no dispatch
                put_float(PyFloat_AS_DOUBLE(member));
                continue;
            }
            encode_nested(member);
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
