#include "module/cbor_sequence.h"

#include <cstddef>
#include <cstdint>

#include "cbor/sequence.h"
#include "module/cbor_decoder.h"
#include "module/cbor_tags.h"
#include "module/python_compat.h"

namespace py = pybind11;

namespace quorvane {
namespace {

// The iterator: holds the input's buffer (a bytearray cannot be resized meanwhile) and the
// offset where the next item starts.
class Sequence {
public:
    Sequence(const py::object& data, unsigned long long max_depth, py::object tag_hook, py::object object_hook,
             bool standard_tags)
        : data_(data),
          max_depth_(max_depth),
          tag_hook_(std::move(tag_hook)),
          object_hook_(std::move(object_hook)),
          standard_tags_(standard_tags) {
        if (get_contiguous_buffer(data.ptr(), &view_, "iter_loads needs a contiguous buffer") != 0) {
            throw py::error_already_set();
        }
        held_ = true;
        // Python code runs between the items: a copy where an exported buffer can be resized.
        PyObject* copy = copy_if_resizable(data.ptr(), &view_, &held_);
        if (!held_) throw py::error_already_set();
        if (copy != nullptr) data_ = py::reinterpret_steal<py::object>(copy);
    }
    ~Sequence() {
        if (held_) PyBuffer_Release(&view_);
    }
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;

    // The next item. The iteration stops at the end of the input, or before an item that the
    // input ends inside of (truncated is then true and offset is where that item starts); a
    // malformed item raises CBORDecodeError, and offset stays at its start.
    py::object next() {
        const auto* bytes = static_cast<const std::uint8_t*>(view_.buf);
        const auto size = static_cast<std::size_t>(view_.len);
        if (offset_ >= size) throw py::stop_iteration();
        std::size_t end = 0;
        if (cbor_item_extent(bytes + offset_, size - offset_, &end) == CBOR_EXTENT_TRUNCATED) {
            truncated_ = true;
            throw py::stop_iteration();
        }
        DecodeHooks hooks;
        hooks.tag_hook = tag_hook_.is_none() ? nullptr : tag_hook_.ptr();
        hooks.object_hook = object_hook_.is_none() ? nullptr : object_hook_.ptr();
        hooks.standard_tags = standard_tags_;
        std::size_t at = offset_;
        PyObject* value = cbor_loads_item(bytes, size, &at, max_depth_, hooks);
        if (value == nullptr) throw py::error_already_set();
        offset_ = at;
        return py::reinterpret_steal<py::object>(value);
    }

    std::size_t offset() const { return offset_; }
    bool truncated() const { return truncated_; }

private:
    py::object data_;
    Py_buffer view_{};
    bool held_ = false;
    unsigned long long max_depth_;
    py::object tag_hook_;
    py::object object_hook_;
    bool standard_tags_;
    std::size_t offset_ = 0;
    bool truncated_ = false;
};

void check_hook(const py::object& hook, const char* name) {
    if (!hook.is_none() && !PyCallable_Check(hook.ptr())) {
        throw py::type_error(std::string(name) + " must be callable or None");
    }
}

const char* const ITER_LOADS_DOC =
    "Iterate over the data items of a CBOR sequence (RFC 8742: items one after another, as\n"
    "written by repeated dump calls to one file). Each item is read as loads reads one, with\n"
    "the same options. The iterator's offset is where the next item starts: after the last\n"
    "item it is len(data). When the data ends inside an item (a log still being written),\n"
    "the iteration stops before it, truncated becomes True and offset is where that item\n"
    "starts, so that reading can resume there once more data has arrived. A malformed item\n"
    "raises CBORDecodeError (offset stays at its start).";

const char* const SEQUENCE_DOC =
    "The iterator that iter_loads returns: the items of a CBOR sequence, with offset (where\n"
    "the next item starts) and truncated (the data ended inside an item).";

}  // namespace

void define_sequence(py::module_& cbor) {
    py::class_<Sequence>(cbor, "SequenceIterator", SEQUENCE_DOC)
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &Sequence::next)
        .def_property_readonly("offset", &Sequence::offset, "Where the next item starts (bytes from the start).")
        .def_property_readonly("truncated", &Sequence::truncated,
                               "True when the iteration stopped before an item that the data ends inside of.");
    cbor.def(
        "iter_loads",
        [](const py::object& data, unsigned long long max_depth, py::object tag_hook, py::object object_hook,
           bool standard_tags) {
            check_hook(tag_hook, "tag_hook");
            check_hook(object_hook, "object_hook");
            return new Sequence(data, max_depth, std::move(tag_hook), std::move(object_hook), standard_tags);
        },
        ITER_LOADS_DOC, py::arg("data"), py::arg("max_depth") = 0, py::kw_only(), py::arg("tag_hook") = py::none(),
        py::arg("object_hook") = py::none(), py::arg("standard_tags") = true, py::return_value_policy::take_ownership);
}

}  // namespace quorvane
