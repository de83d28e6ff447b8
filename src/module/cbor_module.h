#pragma once

#include <pybind11/pybind11.h>

namespace quorvane {

// Defines the `cbor` submodule of `parent`: dumps, loads, CBORDecodeError, Tag and Simple.
void define_cbor_module(pybind11::module_& parent);

}  // namespace quorvane
