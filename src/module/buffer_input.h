// Inputs that may be any contiguous buffer (bytes, bytearray, memoryview, mmap, array, ...) or
// a PythonInBuf, read in place for the length of one call.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "module/buffers.h"
#include "module/python_compat.h"

namespace quorvane {

// An argument that exports a buffer or is a PythonInBuf. Anything else (str, None, int) does
// not match, so the binding library raises its TypeError for incompatible arguments.
class BufferArgument : public pybind11::object {
public:
    static bool accepts(PyObject* object) {
        return PyObject_CheckBuffer(object) != 0 || pybind11::isinstance<PythonInBuffer>(object);
    }
    PYBIND11_OBJECT_DEFAULT(BufferArgument, object, accepts)
};

// The bytes of a BufferArgument for as long as the instance lives: the buffer export is held
// (so a bytearray cannot be resized and an mmap cannot be closed meanwhile) and released when
// the instance goes, which must happen with the interpreter lock held. Nothing is copied
// (except under PyPy, see below). A buffer that is not C-contiguous raises
// BufferError("<function> needs a contiguous buffer").
class BufferInput {
public:
    BufferInput(const BufferArgument& argument, const char* function) : view_{nullptr, 0, 0} {
        if (pybind11::isinstance<PythonInBuffer>(argument)) {
            view_ = *argument.cast<const PythonInBuffer&>().view();
            owner_ = argument;  // its bytes live as long as it does
            return;
        }
        // The strides are asked for (not a simple buffer) because PyPy answers a simple request
        // on a strided view with its underlying memory; contiguity is checked here instead.
        if (PyObject_GetBuffer(argument.ptr(), &buffer_, PyBUF_STRIDES) != 0) throw pybind11::error_already_set();
        held_ = true;
        if (!PyBuffer_IsContiguous(&buffer_, 'C')) {
            release();
            throw pybind11::buffer_error(std::string(function) + " needs a contiguous buffer");
        }
        static const std::uint8_t nothing = 0;
        const auto* data = buffer_.buf != nullptr ? static_cast<const std::uint8_t*>(buffer_.buf) : &nothing;
        view_ = byte_vector_view(data, static_cast<std::uint64_t>(buffer_.len));
#if !QUORVANE_CPYTHON
        // PyPy does not refuse to resize (or close) an object whose buffer is exported, so what
        // is not immutable bytes is copied before the engine reads it without the lock.
        if (!PyBytes_Check(argument.ptr())) {
            copy_.assign(data, data + buffer_.len);
            release();
            view_ = byte_vector_view(copy_.empty() ? &nothing : copy_.data(), copy_.size());
        }
#endif
    }

    BufferInput(const BufferInput&) = delete;
    BufferInput& operator=(const BufferInput&) = delete;
    ~BufferInput() { release(); }

    const ByteVector* view() const { return &view_; }

private:
    void release() {
        if (held_) PyBuffer_Release(&buffer_);
        held_ = false;
    }

    Py_buffer buffer_{};
    bool held_ = false;
    pybind11::object owner_;
    ByteVector view_;
#if !QUORVANE_CPYTHON
    std::vector<std::uint8_t> copy_;
#endif
};

}  // namespace quorvane

namespace pybind11 {
namespace detail {
template <>
struct handle_type_name<quorvane::BufferArgument> {
    static constexpr auto name = const_name("Union[collections.abc.Buffer, quorvane_core.delta.PythonInBuf]");
};
}  // namespace detail
}  // namespace pybind11
