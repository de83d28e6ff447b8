#include "module/delta_module.h"

#include <new>
#include <string>

#include "delta/blocks.h"
#include "delta/diff.h"
#include "delta/patch.h"
#include "module/buffers.h"

namespace py = pybind11;

namespace quorvane {
namespace {

const char* const DELTA_DOC =
    "\n        Quorvane Delta\n        -----------------------\n\n"
    "        .. currentmodule:: quorvane_delta\n\n"
    "        .. autosummary::\n           :toctree: _generate\n\n           diff\n    ";
const char* const DIFF_DOC = "\n    Diff between 'old_value' and 'new_value'\n    ";
const char* const PATCH_DOC = "\n    Apply 'diff' to 'old_value'\n    ";

// The diff limits: the diagonal store's size and the waves of one search.
constexpr std::int32_t STORE_LIMIT = 2147483647;
constexpr std::int32_t EFFORT_LIMIT = 10000;

[[noreturn]] void too_large(const char* function) {
    throw py::value_error(std::string(function) + ": values must be smaller than 2 GiB (2147483648 bytes)");
}

PythonOutBuffer diff(const PythonInBuffer& old_value, const PythonInBuffer& new_value) {
    DiffFailure failure = DIFF_FAILURE_NONE;
    ByteVector* result = delta_diff(nullptr, old_value.view(), new_value.view(), STORE_LIMIT, EFFORT_LIMIT, &failure);
    if (result == nullptr) {
        if (failure == DIFF_FAILURE_TOO_LARGE) too_large("diff");
        if (failure == DIFF_FAILURE_NO_MEMORY) throw std::bad_alloc();
        throw std::runtime_error("diff: the engine gave no result");
    }
    return PythonOutBuffer(result, byte_vector_free);
}

PythonOutBuffer patch(const PythonInBuffer& old_value, const PythonInBuffer& delta) {
    if (old_value.view()->length > PATCH_MAX_LENGTH || delta.view()->length > PATCH_MAX_LENGTH) too_large("patch");
    PatchError error{PATCH_FAILURE_NONE, 0};
    ByteVector* result = apply_delta(old_value.view(), delta.view(), &error);
    if (result == nullptr) {
        if (error.failure == PATCH_FAILURE_NO_MEMORY) throw std::bad_alloc();
        throw py::value_error("invalid delta at byte " + std::to_string(error.offset) + ": " +
                              patch_failure_text(error.failure));
    }
    return PythonOutBuffer(result, byte_vector_free);
}

const char* const DIFF_BLOCKS_DOC = R"(
    Delta from 'old_value' to 'new_value' that also finds moved and repeated blocks.

    Stretches of 'new_value' that occur anywhere in 'old_value' are copied from there, in
    any order and as often as they recur (shared stretches of 8 bytes or more are looked
    up by a hash of their bytes); the rest is carried literally. It takes time linear in
    the two lengths and an index of 2 bytes per byte of 'old_value'. The result is a delta
    in diff's format, which patch applies, and never longer than the delta that holds the
    whole new value.

    Prefer it to diff for builds of programs, archives, records and texts whose parts
    moved or repeat, and for large values: diff keeps only matches that come in the same
    order in both values, and its time grows with the number of differences.

    compact: index every 2nd position of 'old_value' instead of every 4th, with larger
    buckets and a slower stepping through unmatched bytes: deltas 2 to 4 percent smaller
    on text and records (about 1 percent on binaries), for 1.5 to 2.5 times the time and
    an index of 4 bytes per byte.
    )";

PythonOutBuffer diff_blocks(const PythonInBuffer& old_value, const PythonInBuffer& new_value, bool compact) {
    const BlocksOptions options = compact ? blocks_options_compact() : blocks_options_default();
    DiffFailure failure = DIFF_FAILURE_NONE;
    ByteVector* result;
    {
        py::gil_scoped_release unlocked;  // the inputs are immutable bytes kept alive by the buffers
        result = delta_diff_blocks(old_value.view(), new_value.view(), options, &failure);
    }
    if (result == nullptr) {
        if (failure == DIFF_FAILURE_TOO_LARGE) too_large("diff_blocks");
        if (failure == DIFF_FAILURE_NO_MEMORY) throw std::bad_alloc();
        throw std::runtime_error("diff_blocks: the engine gave no result");
    }
    return PythonOutBuffer(result, byte_vector_free);
}

}  // namespace

void define_delta_module(py::module_& parent) {
    py::module_ delta = parent.def_submodule("delta");
    delta.attr("__doc__") = py::str(DELTA_DOC);

    py::class_<PythonOutBuffer>(delta, "PythonOutBuf", py::buffer_protocol())
        .def_buffer([](PythonOutBuffer& buffer) { return buffer.buffer(); });
    py::class_<PythonInBuffer>(delta, "PythonInBuf").def(py::init<py::bytes>());
    py::implicitly_convertible<py::bytes, PythonInBuffer>();

    delta.def("diff", &diff, DIFF_DOC, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &patch, PATCH_DOC, py::arg("old_value"), py::arg("diff"));
    delta.def("diff_blocks", &diff_blocks, DIFF_BLOCKS_DOC, py::arg("old_value"), py::arg("new_value"), py::kw_only(),
              py::arg("compact") = false);
    delta.attr("__version__") = "dev";
}

}  // namespace quorvane
