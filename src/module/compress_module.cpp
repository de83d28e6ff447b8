// The bindings of compressed deltas: delta.compress and delta.decompress.
#include "module/compress_module.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "delta/compressed/compress.h"
#include "module/buffer_input.h"
#include "module/call_errors.h"
#include "module/left_inputs.h"
#include "module/signals.h"

namespace py = pybind11;

namespace quorvane {
namespace {

// An int argument of compress (level, threads) as given: any int (or object with __index__),
// kept whole so that one beyond the range of a C int is refused with the argument's range,
// not as a mismatch; a bool is noted, to be refused by name.
struct IntArgument {
    long long number = 0;
    bool beyond = false;   // outside the range of long long
    bool is_bool = false;  // True and False are ints to Python, but level=True is a slip
    std::string text;      // the number as written, for the error
};

}  // namespace
}  // namespace quorvane

namespace pybind11 {
namespace detail {
template <>
struct type_caster<quorvane::IntArgument> {
    PYBIND11_TYPE_CASTER(quorvane::IntArgument, const_name("int"));

    bool load(handle source, bool /*convert*/) {
        if (PyBool_Check(source.ptr())) {
            value.is_bool = true;
            return true;
        }
        if (PyFloat_Check(source.ptr()) || !PyIndex_Check(source.ptr())) return false;
        const object number = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
        if (!number) {
            PyErr_Clear();
            return false;
        }
        int overflow = 0;
        value.number = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
        if (value.number == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        value.beyond = overflow != 0;
        value.text = value.beyond ? (overflow > 0 ? "an int of more than 63 bits" : "a negative int of more than 63 bits")
                                  : std::to_string(value.number);
        return true;
    }
    static handle cast(const quorvane::IntArgument& level, return_value_policy, handle) {
        return PyLong_FromLongLong(level.number);
    }
};
}  // namespace detail
}  // namespace pybind11

namespace quorvane {
namespace {

const char* const COMPRESS_DOC = R"(
    Compressed delta from 'old_value' to 'new_value', as bytes.

    Both values are any objects with a contiguous buffer (bytes, bytearray, memoryview,
    mmap), read in place. The delta holds copies from 'old_value' that may differ from
    their source in some bytes (as in a rebuilt program whose addresses moved), literal
    bytes, and the lengths and checksums of both values, compressed with zstd (and LZMA2
    at the top levels); where
    the whole new value compressed against the old one is smaller, it holds that instead.
    decompress rebuilds 'new_value' from it and refuses a damaged delta or another old
    value. The same values and level give the same bytes on every run and platform.

    level: from 1 (fastest) to MAX_LEVEL (smallest deltas, slowest); DEFAULT_LEVEL
    balances the two. Memory besides the values: an index of 2 bytes per byte of
    'old_value' at levels 1-6 and 4 at 7-9 (at most 0.25 for an old value of 64 MiB or
    more), about the new value's size for the streams, and the compressors' tables (up
    to 96 MiB at the default level, a few hundred MiB at the top levels).

    threads: 1 (the default) works on one thread at a time; 2 or more make the
    whole-value frame on a second thread while the calling thread makes the block frame
    (more threads build the old value's index with it), and code the block frame's
    streams at once where it is made alone, holding both modes' tables at once; 0 takes
    one per core. The bytes are the same whatever the number of threads.

    Raises ValueError for a level outside 1..MAX_LEVEL or a negative thread count,
    TypeError for a bool level or thread count, BufferError for a non-contiguous
    buffer, MemoryError when memory runs out, and KeyboardInterrupt (nothing returned)
    when Ctrl-C stops a long call.
    )";

const char* const DECOMPRESS_DOC = R"(
    The new value rebuilt from 'old_value' and a delta made by compress, as bytes.

    Both arguments are any objects with a contiguous buffer, read in place. Every field,
    section and value is checked: a delta that is cut short, damaged in any byte, or made
    from another old value raises ValueError naming the byte of the delta and the reason,
    and nothing is returned. A delta declaring a new value longer than 'max_size' bytes
    (default 4 GiB) raises ValueError before any memory is taken for it.

    Memory: the new value (decoded in place), plus a few hundred KiB of decoders and
    pieces, plus the instruction streams' windows as far as they are read (block mode; at
    most three times the new value's size together); sections declaring more than their
    instructions read take no memory for it.

    Raises MemoryError (naming what was being allocated and its size) when memory runs out,
    and KeyboardInterrupt (nothing returned) when Ctrl-C stops a long call.
    )";

py::bytes compress(const BufferArgument& old_object, const BufferArgument& new_object, const IntArgument& given,
                   const IntArgument& threads_given) {
    if (given.is_bool) throw py::type_error("compress: level must be an int, not bool");
    if (threads_given.is_bool) throw py::type_error("compress: threads must be an int, not bool");
    if (given.beyond || given.number < COMPRESS_MIN_LEVEL || given.number > COMPRESS_MAX_LEVEL) {
        throw py::value_error("compress: level must be from " + std::to_string(COMPRESS_MIN_LEVEL) + " to " +
                              std::to_string(COMPRESS_MAX_LEVEL) + ", not " + given.text);
    }
    if (threads_given.beyond || threads_given.number < 0) {
        throw py::value_error("compress: threads must be 0 (one per core) or more, not " + threads_given.text);
    }
    const int level = static_cast<int>(given.number);
    int threads = threads_given.number > 64 ? 64 : static_cast<int>(threads_given.number);
    if (threads == 0) threads = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    give_back_left_inputs();
    auto inputs = std::make_unique<LeasableInputs>(old_object, new_object, "compress");
    const ByteVector* old_value = inputs->old_value();
    const ByteVector* new_value = inputs->new_value();
    const std::uint64_t old_length = old_value->length, new_length = new_value->length;
    const StopCheck stop = stop_check_unlocked();
    InputLease lease = inputs->lease();
    CompressFailure failure = COMPRESS_FAILURE_NONE;
    ByteVector* delta;
    {
        py::gil_scoped_release unlocked;  // the buffers stay held until the call returns, or its worker ends
        delta = delta_compress(old_value, new_value, level, &failure, &stop, threads, &lease);
    }
    LeasableInputs::settle(inputs, lease);
    if (delta == nullptr) {
        if (failure == COMPRESS_FAILURE_CANCELLED) throw py::error_already_set();
        if (failure == COMPRESS_FAILURE_NO_MEMORY) {
            raise_no_memory("compress", "for values of " + grouped(old_length) + " and " + grouped(new_length) +
                                            " bytes at level " + std::to_string(level));
        }
        throw std::runtime_error("compress: the engine gave no result");
    }
    struct Free {
        void operator()(ByteVector* v) const { byte_vector_free(v); }
    };
    const std::unique_ptr<ByteVector, Free> owned(delta);
    return py::bytes(reinterpret_cast<const char*>(delta->data), static_cast<py::ssize_t>(delta->length));
}

// MemoryError naming what decompress was allocating and its size.
[[noreturn]] void decompress_out_of_memory(const char* what, std::uint64_t bytes) {
    raise_no_memory("decompress", std::string("for ") + what + " of " + grouped(bytes) + " bytes");
}

[[noreturn]] void raise(const DecompressError& error, std::uint64_t max_size) {
    switch (error.failure) {
        case DECOMPRESS_FAILURE_CANCELLED: throw py::error_already_set();
        case DECOMPRESS_FAILURE_NO_MEMORY: decompress_out_of_memory(error.reason, error.value);
        case DECOMPRESS_FAILURE_TOO_LARGE:
            throw py::value_error("compressed delta declares a new value of " + std::to_string(error.value) +
                                  " bytes, more than max_size (" + std::to_string(max_size) + ")");
        case DECOMPRESS_FAILURE_WRONG_OLD:
            throw py::value_error("wrong old value for this compressed delta (byte " + std::to_string(error.offset) +
                                  "): " + error.reason);
        default:
            throw py::value_error("invalid compressed delta at byte " + std::to_string(error.offset) + ": " +
                                  error.reason);
    }
}

// The zstd decoders each thread keeps between its decompress calls (compress.h: KeptDecoders),
// freed when the thread ends; none when they cannot be made.
KeptDecoders* this_threads_decoders() {
    struct Holder {
        KeptDecoders* kept = kept_decoders_new();
        ~Holder() { kept_decoders_free(kept); }
    };
    static thread_local Holder holder;
    return holder.kept;
}

py::bytes decompress(const BufferArgument& old_object, const BufferArgument& data_object, std::uint64_t max_size) {
    const BufferInput old_value(old_object, "decompress");
    const BufferInput data(data_object, "decompress");
    DecompressError error;
    std::uint64_t length = 0;
    if (!delta_decompressed_length(data.view(), max_size, &length, &error)) raise(error, max_size);
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) / 2) decompress_out_of_memory("the new value", length);
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (result == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) throw py::error_already_set();
        PyErr_Clear();
        decompress_out_of_memory("the new value", length);
    }
    py::bytes owned = py::reinterpret_steal<py::bytes>(result);
    const StopCheck stop = stop_check_unlocked();
    bool done;
    {
        py::gil_scoped_release unlocked;  // the new bytes object is ours alone until returned
        done = delta_decompress_into(old_value.view(), data.view(),
                                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result)), length, &error,
                                     &stop, this_threads_decoders());
    }
    if (!done) raise(error, max_size);
    return owned;
}

}  // namespace

void define_compress_functions(py::module_& delta) {
    register_left_inputs_hooks();
    delta.attr("MAX_LEVEL") = COMPRESS_MAX_LEVEL;
    delta.attr("DEFAULT_LEVEL") = COMPRESS_DEFAULT_LEVEL;
    delta.def("compress", &compress, COMPRESS_DOC, py::arg("old_value"), py::arg("new_value"), py::kw_only(),
              py::arg("level") = COMPRESS_DEFAULT_LEVEL, py::arg("threads") = 1);
    delta.def("decompress", &decompress, DECOMPRESS_DOC, py::arg("old_value"), py::arg("data"), py::kw_only(),
              py::arg("max_size") = DECOMPRESS_DEFAULT_MAX_SIZE);
}

}  // namespace quorvane
