#pragma once

#include <pybind11/pybind11.h>

namespace quorvane {

// Adds compress, decompress, MAX_LEVEL and DEFAULT_LEVEL to the `delta` submodule.
void define_compress_functions(pybind11::module_& delta);

}  // namespace quorvane
