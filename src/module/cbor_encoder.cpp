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

// dumps: the encoder core under dumps' rules. Every other object is matched against the
// alternatives of DumpsValue as the binding library matches the top-level argument (objects
// with a numeric truth value become booleans, objects with __index__ integers); arrays and
// maps are of indefinite length when Indefinite; the errors are the binding library's.
template <bool Indefinite, bool Limited>
class DumpsEncoder : public EncoderCore<DumpsEncoder<Indefinite, Limited>, Limited> {
    using Core = EncoderCore<DumpsEncoder<Indefinite, Limited>, Limited>;
    friend Core;
    QUORVANE_ENCODER_CORE_NAMES(Core)

public:
    DumpsEncoder(CborWriter* writer, std::uint64_t max_depth) : Core(writer, max_depth) {}

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
    // One level of nesting. A container that holds itself is refused with the RecursionError
    // that running into the recursion limit would raise, but at once where that is cheap: the
    // containers of the first PATH_KEPT levels of the current path are kept, and a container
    // met one level below them is looked for among them (a cycle of those levels that would
    // otherwise recurse up to the limit, which costs milliseconds).
    static constexpr long long PATH_KEPT = 64;

    class Open {
    public:
        QUORVANE_INLINE Open(DumpsEncoder& encoder, PyObject* container) : level_(encoder.nesting_) {
            const long long depth = encoder.nesting_.depth();
            if (depth <= PATH_KEPT) {
                encoder.path_[depth - 1] = container;
            } else if (QUORVANE_UNLIKELY(depth == PATH_KEPT + 1)) {
                encoder.refuse_if_on_path(container);
            }
        }

    private:
        const Level level_;
    };

    QUORVANE_COLD void refuse_if_on_path(PyObject* container) const {
        for (const PyObject* kept : path_) {
            if (kept == container) Nesting::too_deep();
        }
    }

    // Python code of the value may run from here on: the interpreter's recursion count is
    // brought up to the nesting first, and read again afterwards.
    // The member is held meanwhile: that code may drop it from its container.
    QUORVANE_COLD void encode_other(PyObject* member, bool) {
        const py::object held = py::reinterpret_borrow<py::object>(member);
        nesting_.sync();
        encode_value(convert_value(member));
        nesting_.refresh();
    }

    void write_large_int(PyObject* value) {
        int side = 0;
        if (!write_int_within_64_bits(value, &side)) integer_out_of_range(value);
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

    QUORVANE_INLINE void start_array(Py_ssize_t count) { start(false, count); }
    QUORVANE_INLINE void finish_array() { finish(); }

    [[noreturn]] QUORVANE_COLD void depth_exceeded() {
        throw std::runtime_error("Exceeded recursion limit:" + std::to_string(this->max_depth_));
    }

    void write_dict(PyObject* dict) {
        const Open open(*this, dict);
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
                check_depth_of_key();
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

    PyObject* path_[PATH_KEPT];  // the containers of the first levels of the current path (read once all are set)
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
