#pragma once

#include <pybind11/pybind11.h>

namespace quorvane {

// Adds to the registered PythonOutBuf class of `delta` its docstring, len(), ==, repr and
// pickling as bytes, and to PythonInBuf its docstring and pickling.
void define_buffer_methods(pybind11::module_& delta);

}  // namespace quorvane
