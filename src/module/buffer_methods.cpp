// What lets a PythonOutBuf read like bytes (len, ==, repr, pickling) and a PythonInBuf pickle.
// Neither their buffers nor their creation change.
#include "module/buffer_methods.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "module/buffers.h"

namespace py = pybind11;

namespace quorvane {
namespace {

const char* const OUT_BUF_DOC = R"(The bytes that diff, diff_blocks and patch return, held without a copy.

Read it as bytes: bytes(buf) copies them out; memoryview(buf) reads them in place (a
writable view whose items are signed, format 'b': memoryview(buf).cast('B') gives 0 to 255).
len(buf) is the number of bytes, and buf == other compares the bytes with any bytes-like
object (bytes, bytearray, memoryview, mmap, array, another PythonOutBuf); like bytearray,
it is unhashable. It pickles and copies as bytes. It cannot be made from Python.
It reads as a read-only sequence of bytes does: buf[i] is an int from 0 to 255, buf[i:j]
(any slice) is bytes, iter(buf) gives the ints, x in buf finds a byte value or a run of
bytes, and buf.hex() is bytes.hex(). diff, diff_blocks, patch, compress and decompress take
it as an argument as it is.)";

const char* const OUT_GETITEM_DOC = R"(buf[i]: the byte at index i as an int from 0 to 255 (negative indexes count from the
end; IndexError past either end). buf[i:j:k]: those bytes as a bytes object (a copy).
Anything but an int or a slice raises TypeError.)";

const char* const OUT_ITER_DOC = "iter(buf): the bytes as ints from 0 to 255, read in place.";

const char* const OUT_CONTAINS_DOC = R"(x in buf: for an int, whether a byte of that value is held (ValueError outside 0..255);
for any object with a contiguous buffer (bytes, bytearray, memoryview, ...), whether its
bytes occur in a row. Anything else raises TypeError, as for bytes.)";

const char* const OUT_HEX_DOC = R"(buf.hex(sep=..., bytes_per_sep=1): the bytes as hexadecimal text, as bytes.hex gives
it, read in place.)";

const char* const OUT_LEN_DOC = "len(buf): the number of bytes held (0 for an empty result).";

const char* const OUT_EQ_DOC = R"(buf == other: whether other holds the same bytes.

other may be any object with a contiguous buffer (bytes, bytearray, memoryview, mmap, array,
another PythonOutBuf); its raw bytes are compared, as bytearray does. Anything else (str,
None, a PythonInBuf, a non-contiguous view) is never equal. Raises nothing. With a memoryview
on the left, view == buf compares items instead, and this buffer's items are signed: bytes
from 0x80 up differ from a bytes view's, so write buf == view or bytes(buf) == view.)";

const char* const OUT_REPR_DOC = "repr(buf): '<PythonOutBuf N bytes>', N being len(buf).";

const char* const OUT_SIZEOF_DOC =
    "sys.getsizeof(buf): the object's size including the bytes it holds, so that memory\n"
    "accounting (a dask worker's, for one) sees what a result costs.";

const char* const OUT_REDUCE_DOC = R"(Pickling: a PythonOutBuf pickles as the bytes it holds and unpickles as bytes
(equal to the original, which has no constructor to be rebuilt with). copy.copy and
copy.deepcopy give bytes too.)";

const char* const IN_BUF_DOC = R"(PythonInBuf(value: bytes): a bytes object wrapped once, to pass the same value to many
diff, diff_blocks or patch calls without wrapping it on each call.

It holds a reference to value and reads its storage in place. It has no buffer of its own:
bytes() and memoryview() of it raise TypeError. Anything but bytes (or a subclass) raises
TypeError. It pickles as a PythonInBuf of the same bytes.)";

const char* const IN_REDUCE_DOC =
    "Pickling: a PythonInBuf unpickles as a new PythonInBuf of the same bytes (it is an argument\n"
    "wrapper that can be made again from them; its class is found by reference).";

// The raw bytes of another object for comparison, or nothing when it has no contiguous buffer.
class ComparedBuffer {
public:
    explicit ComparedBuffer(py::handle object) {
        if (PyObject_CheckBuffer(object.ptr()) == 0) return;
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_STRIDES) != 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        contiguous_ = PyBuffer_IsContiguous(&view_, 'C') != 0;
    }
    ComparedBuffer(const ComparedBuffer&) = delete;
    ComparedBuffer& operator=(const ComparedBuffer&) = delete;
    ~ComparedBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool usable() const { return held_ && contiguous_; }
    // Whether these bytes occur in a row in data.
    bool found_in(const std::uint8_t* data, std::uint64_t size) const {
        const auto* first = static_cast<const std::uint8_t*>(view_.buf);
        const auto length = static_cast<std::uint64_t>(view_.len);
        if (length == 0) return true;
        if (length > size) return false;
        return std::search(data, data + size, first, first + length) != data + size;
    }
    bool equals(const std::uint8_t* data, std::uint64_t size) const {
        if (static_cast<std::uint64_t>(view_.len) != size) return false;
        return size == 0 || std::memcmp(view_.buf, data, static_cast<std::size_t>(size)) == 0;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool contiguous_ = false;
};

py::object out_equals(const PythonOutBuffer& self, py::handle other) {
    const ComparedBuffer buffer(other);
    if (!buffer.usable()) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
    return py::bool_(buffer.equals(self.data(), self.size()));
}

py::bytes out_bytes(const PythonOutBuffer& self) {
    return py::bytes(reinterpret_cast<const char*>(self.data()), static_cast<py::size_t>(self.size()));
}

// self[index] or self[slice], as bytes gives them.
py::object out_getitem(const PythonOutBuffer& self, py::handle key) {
    const auto size = static_cast<Py_ssize_t>(self.size());
    if (PySlice_Check(key.ptr())) {
        Py_ssize_t start = 0;
        Py_ssize_t stop = 0;
        Py_ssize_t step = 0;
        if (PySlice_Unpack(key.ptr(), &start, &stop, &step) != 0) throw py::error_already_set();
        const Py_ssize_t count = PySlice_AdjustIndices(size, &start, &stop, step);
        if (step == 1) {
            return py::bytes(reinterpret_cast<const char*>(self.data()) + start, static_cast<py::size_t>(count));
        }
        std::string picked(static_cast<std::size_t>(count), '\0');
        for (Py_ssize_t i = 0; i < count; ++i) picked[static_cast<std::size_t>(i)] = static_cast<char>(self.data()[start + i * step]);
        return py::bytes(picked);
    }
    if (!PyIndex_Check(key.ptr())) {
        throw py::type_error("PythonOutBuf indices must be integers or slices, not " +
                             std::string(Py_TYPE(key.ptr())->tp_name));
    }
    Py_ssize_t index = PyNumber_AsSsize_t(key.ptr(), PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (index < 0) index += size;
    if (index < 0 || index >= size) throw py::index_error("index out of range");
    return py::int_(self.data()[index]);
}

bool out_contains(const PythonOutBuffer& self, py::handle item) {
    const std::uint8_t* data = self.data();
    const std::uint64_t size = self.size();
    if (PyIndex_Check(item.ptr())) {
        const Py_ssize_t value = PyNumber_AsSsize_t(item.ptr(), nullptr);
        if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (value < 0 || value > 255) throw py::value_error("byte must be in range(0, 256)");
        return size > 0 && std::memchr(data, static_cast<int>(value), static_cast<std::size_t>(size)) != nullptr;
    }
    const ComparedBuffer needle(item);
    if (!needle.usable()) {
        throw py::type_error("a bytes-like object is required, not '" + std::string(Py_TYPE(item.ptr())->tp_name) + "'");
    }
    return needle.found_in(data, size);
}

std::string out_repr(const PythonOutBuffer& self) {
    const std::uint64_t size = self.size();
    return "<PythonOutBuf " + std::to_string(size) + (size == 1 ? " byte>" : " bytes>");
}

}  // namespace

void define_buffer_methods(py::module_& delta) {
    auto out_class = py::reinterpret_borrow<py::class_<PythonOutBuffer>>(delta.attr("PythonOutBuf"));
    out_class.attr("__doc__") = py::str(OUT_BUF_DOC);
    out_class.def("__len__", [](const PythonOutBuffer& self) { return static_cast<py::size_t>(self.size()); },
                  OUT_LEN_DOC);
    out_class.def("__eq__", &out_equals, OUT_EQ_DOC, py::arg("other"));
    out_class.attr("__hash__") = py::none();
    out_class.def("__repr__", &out_repr, OUT_REPR_DOC);
    out_class.def("__getitem__", &out_getitem, OUT_GETITEM_DOC, py::arg("key"));
    out_class.def("__contains__", &out_contains, OUT_CONTAINS_DOC, py::arg("item"));
    // A view of unsigned bytes keeps the result alive for as long as it is iterated or read.
    out_class.def(
        "__iter__", [](py::handle self) { return py::iter(py::memoryview(py::reinterpret_borrow<py::object>(self)).attr("cast")("B")); },
        OUT_ITER_DOC);
    out_class.def(
        "hex",
        [](py::handle self, py::args args, py::kwargs kwargs) {
            return py::memoryview(py::reinterpret_borrow<py::object>(self)).attr("hex")(*args, **kwargs);
        },
        OUT_HEX_DOC);
    out_class.def(
        "__sizeof__",
        [](py::handle self) {
            const auto& buffer = self.cast<const PythonOutBuffer&>();
            return static_cast<py::size_t>(Py_TYPE(self.ptr())->tp_basicsize) + sizeof(PythonOutBuffer) +
                   sizeof(ByteVector) + static_cast<py::size_t>(buffer.capacity());
        },
        OUT_SIZEOF_DOC);
    out_class.def(
        "__reduce__",
        [](const PythonOutBuffer& self) {
            auto bytes_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBytes_Type));
            return py::make_tuple(bytes_type, py::make_tuple(out_bytes(self)));
        },
        OUT_REDUCE_DOC);

    auto in_class = py::reinterpret_borrow<py::class_<PythonInBuffer>>(delta.attr("PythonInBuf"));
    in_class.attr("__doc__") = py::str(IN_BUF_DOC);
    in_class.def(
        "__reduce__",
        [](py::handle self) {
            return py::make_tuple(py::type::of(self), py::make_tuple(self.cast<const PythonInBuffer&>().bytes()));
        },
        IN_REDUCE_DOC);
}

}  // namespace quorvane
