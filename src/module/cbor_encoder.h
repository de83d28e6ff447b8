// The value encoder behind cbor.dumps: walks a tree of Python values and writes it as one
// CBOR data item through the engine's CBOR writer. It touches Python, so it sits with the
// bindings.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string_view>
#include <variant>

namespace quorvane {

// What dumps accepts, in the order in which the binding library's two-pass variant
// conversion tries the alternatives.
using DumpsValue = std::variant<pybind11::bool_, pybind11::float_, pybind11::int_, pybind11::list, pybind11::tuple,
                                pybind11::dict, pybind11::bytes, pybind11::str, pybind11::none, bool,
                                unsigned long long, long long, std::string_view>;

// Encodes `value`: arrays and maps indefinite-length unless `indefinite` is false, nesting
// limited to `max_depth` levels below the top-level value unless it is 0.
pybind11::bytes dumps(const DumpsValue& value, bool indefinite, unsigned long long max_depth);

}  // namespace quorvane
