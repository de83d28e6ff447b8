#include "module/delta_module.h"

#include <optional>
#include <string>

#include "delta/blocks/blocks.h"
#include "delta/search/diff.h"
#include "delta/raw/patch.h"
#include "module/buffer_input.h"
#include "module/buffer_methods.h"
#include "module/buffers.h"
#include "module/call_errors.h"
#include "module/signals.h"
#include "module/compress_module.h"

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

// Calls whose inputs together reach this many bytes release the interpreter lock while the
// engine works; below it, releasing and re-taking the lock (about 0.1-0.3 us) is a sizeable
// part of a call of a few microseconds.
constexpr std::uint64_t GIL_RELEASE_MIN_BYTES = 8192;

bool releases_lock(const BufferInput& first, const BufferInput& second) {
    return first.view()->length + second.view()->length >= GIL_RELEASE_MIN_BYTES;
}

// "of 5,191,936 and 12 bytes": the sizes of two values, for a MemoryError.
std::string sizes_of(const BufferInput& first, const BufferInput& second) {
    return "for values of " + grouped(first.view()->length) + " and " + grouped(second.view()->length) + " bytes";
}

[[noreturn]] void too_large(const char* function) {
    throw py::value_error(std::string(function) + ": values must be smaller than 2 GiB (2147483648 bytes)");
}

// The engine's result as a PythonOutBuf, or the Python exception for its failure.
PythonOutBuffer diff_result(ByteVector* result, DiffFailure failure, const char* function, const BufferInput& old_value,
                            const BufferInput& new_value) {
    if (result == nullptr) {
        if (failure == DIFF_FAILURE_CANCELLED) throw py::error_already_set();
        if (failure == DIFF_FAILURE_TOO_LARGE) too_large(function);
        if (failure == DIFF_FAILURE_NO_MEMORY) raise_no_memory(function, sizes_of(old_value, new_value));
        throw std::runtime_error(std::string(function) + ": the engine gave no result");
    }
    return PythonOutBuffer(result, byte_vector_free);
}

PythonOutBuffer diff(const BufferArgument& old_argument, const BufferArgument& new_argument) {
    const BufferInput old_value(old_argument, "diff");
    const BufferInput new_value(new_argument, "diff");
    DiffFailure failure = DIFF_FAILURE_NONE;
    DiffObserver observer;
    std::optional<py::gil_scoped_release> unlocked;
    if (releases_lock(old_value, new_value)) {
        observer.stop = stop_check_unlocked();
        // The buffer exports are held meanwhile (a mutable input cannot be resized or freed)
        // and the engine touches no Python object.
        unlocked.emplace();
    } else {
        observer.stop = stop_check_locked();
    }
    ByteVector* result =
        delta_diff(nullptr, old_value.view(), new_value.view(), STORE_LIMIT, EFFORT_LIMIT, &failure, &observer);
    unlocked.reset();
    return diff_result(result, failure, "diff", old_value, new_value);
}

PythonOutBuffer patch(const BufferArgument& old_argument, const BufferArgument& delta_argument) {
    const BufferInput old_value(old_argument, "patch");
    const BufferInput delta(delta_argument, "patch");
    if (old_value.view()->length > PATCH_MAX_LENGTH || delta.view()->length > PATCH_MAX_LENGTH) too_large("patch");
    PatchError error{PATCH_FAILURE_NONE, 0};
    std::optional<py::gil_scoped_release> unlocked;
    StopCheck stop = stop_check_locked();
    if (releases_lock(old_value, delta)) {
        stop = stop_check_unlocked();
        unlocked.emplace();
    }
    ByteVector* result = apply_delta(old_value.view(), delta.view(), &error, &stop);
    unlocked.reset();
    if (result == nullptr) {
        if (error.failure == PATCH_FAILURE_CANCELLED) throw py::error_already_set();
        if (error.failure == PATCH_FAILURE_NO_MEMORY) {
            raise_no_memory("patch", "for the new value (old value of " + grouped(old_value.view()->length) +
                                         " bytes, delta of " + grouped(delta.view()->length) + " bytes)");
        }
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

    Takes for each value bytes, bytearray, memoryview, mmap, array.array, a PythonOutBuf or
    any other object with a contiguous buffer, read in place without a copy (a mutable one
    cannot be resized while the call runs; the interpreter lock is released meanwhile), or
    a PythonInBuf. Returns a PythonOutBuf: read it with bytes(result). Raises TypeError for
    other arguments (str included), BufferError for a buffer that is not contiguous,
    ValueError for a value of 2 GiB or more, and MemoryError when memory runs out.
    )";

PythonOutBuffer diff_blocks(const BufferArgument& old_argument, const BufferArgument& new_argument, bool compact) {
    const BlocksOptions options = compact ? blocks_options_compact() : blocks_options_default();
    const BufferInput old_value(old_argument, "diff_blocks");
    const BufferInput new_value(new_argument, "diff_blocks");
    DiffFailure failure = DIFF_FAILURE_NONE;
    const StopCheck stop = stop_check_unlocked();
    ByteVector* result;
    {
        // The buffer exports are held meanwhile, so a mutable input cannot be resized or freed.
        py::gil_scoped_release unlocked;
        result = delta_diff_blocks(old_value.view(), new_value.view(), options, &failure, &stop);
    }
    return diff_result(result, failure, "diff_blocks", old_value, new_value);
}

}  // namespace

void define_delta_module(py::module_& parent) {
    py::module_ delta = parent.def_submodule("delta");
    delta.attr("__doc__") = py::str(DELTA_DOC);

    py::class_<PythonOutBuffer>(delta, "PythonOutBuf", py::buffer_protocol())
        .def_buffer([](PythonOutBuffer& buffer) { return buffer.buffer(); });
    py::class_<PythonInBuffer>(delta, "PythonInBuf").def(py::init<py::bytes>());
    py::implicitly_convertible<py::bytes, PythonInBuffer>();
    define_buffer_methods(delta);

    delta.def("diff", &diff, DIFF_DOC, py::arg("old_value"), py::arg("new_value"));
    delta.def("patch", &patch, PATCH_DOC, py::arg("old_value"), py::arg("diff"));
    delta.def("diff_blocks", &diff_blocks, DIFF_BLOCKS_DOC, py::arg("old_value"), py::arg("new_value"), py::kw_only(),
              py::arg("compact") = false);
    delta.attr("__version__") = "dev";
    define_compress_functions(delta);
}

// The private submodule `_diff_path`: which implementation of the search's wave passes
// diffs take. For the engine's tests and the benchmark only; every path gives the same bytes.
void define_diff_path_hook(py::module_& parent) {
    py::module_ hook = parent.def_submodule("_diff_path");
    hook.attr("__doc__") = py::str("Test and benchmark hook: the implementation diffs use (same bytes on every path).");
    static const DiffPath paths[] = {DIFF_PATH_PORTABLE, DIFF_PATH_AVX2, DIFF_PATH_AVX512, DIFF_PATH_REFERENCE};
    hook.def("available", [] {
        py::list names;
        for (const DiffPath path : paths) {
            if (diff_path_available(path)) names.append(diff_path_name(path));
        }
        return names;
    });
    hook.def("get", [] { return std::string(diff_path_name(diff_path())); });
    hook.def("set", [](const std::string& name) {
        for (const DiffPath path : paths) {
            if (name == diff_path_name(path)) return diff_set_path(path);
        }
        throw py::value_error("unknown diff path: " + name);
    }, py::arg("name"));
}

}  // namespace quorvane
