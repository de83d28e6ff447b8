// Byte buffers that carry byte values between Python and the delta engine without copies.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "common/bytes.h"

namespace quorvane {

// Tags of the two directions across the boundary.
struct InProxy {};
struct OutProxy {};

// A read-only view of a Python bytes object's own storage, kept alive by a reference.
template <typename Proxy>
class InBuffer {
public:
    explicit InBuffer(pybind11::bytes bytes) : bytes_(std::move(bytes)), view_{nullptr, 0, 0} {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(bytes_.ptr(), &data, &size) != 0) throw pybind11::error_already_set();
        view_ = byte_vector_view(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::uint64_t>(size));
    }

    InBuffer(const InBuffer&) = delete;
    InBuffer& operator=(const InBuffer&) = delete;

    const ByteVector* view() const { return &view_; }
    const pybind11::bytes& bytes() const { return bytes_; }

private:
    pybind11::bytes bytes_;
    ByteVector view_;
};

// Sole owner of a ByteVector made by the engine, exposed to Python as a writable buffer.
template <typename Proxy, typename Bytes>
class OutBuffer {
public:
    using FreeFunction = void (*)(ByteVector*);

    OutBuffer(ByteVector* vector, FreeFunction free_function) : free_(free_function), vector_(vector) {}
    OutBuffer(OutBuffer&& other) noexcept : free_(other.free_), vector_(std::exchange(other.vector_, nullptr)) {}
    OutBuffer& operator=(OutBuffer&& other) noexcept {
        if (this != &other) {
            release();
            free_ = other.free_;
            vector_ = std::exchange(other.vector_, nullptr);
        }
        return *this;
    }
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;
    ~OutBuffer() { release(); }

    // One dimension of signed bytes, writable. An instance without a vector is an empty buffer.
    pybind11::buffer_info buffer() {
        static std::uint8_t nothing = 0;
        std::uint8_t* data = vector_ != nullptr && vector_->data != nullptr ? vector_->data : &nothing;
        const auto length = static_cast<pybind11::ssize_t>(vector_ != nullptr ? vector_->length : 0);
        return pybind11::buffer_info(data, 1, "b", 1, {length}, {pybind11::ssize_t{1}}, false);
    }

    // The bytes held (none for an instance without a vector).
    const std::uint8_t* data() const { return vector_ != nullptr ? vector_->data : nullptr; }
    std::uint64_t size() const { return vector_ != nullptr ? vector_->length : 0; }
    std::uint64_t capacity() const { return vector_ != nullptr ? vector_->capacity : 0; }

private:
    void release() {
        if (vector_ != nullptr) free_(vector_);
        vector_ = nullptr;
    }

    FreeFunction free_;
    ByteVector* vector_;
};

using PythonInBuffer = InBuffer<InProxy>;
using PythonOutBuffer = OutBuffer<OutProxy, pybind11::bytes>;

}  // namespace quorvane
