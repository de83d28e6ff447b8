#pragma once

#include <pybind11/pybind11.h>

namespace quorvane {

// Defines the `delta` submodule of `parent`: the byte-buffer classes, diff and patch.
void define_delta_module(pybind11::module_& parent);
void define_diff_path_hook(pybind11::module_& parent);

}  // namespace quorvane
