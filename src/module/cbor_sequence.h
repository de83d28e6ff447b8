// cbor.iter_loads: the items of a CBOR sequence (RFC 8742), such as a log of records that is
// appended to, one at a time, with where each one ended.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvane {

// Adds iter_loads and its iterator class to the cbor submodule.
void define_sequence(pybind11::module_& cbor);

}  // namespace quorvane
