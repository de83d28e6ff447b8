// cbor.encode, cbor.dump and cbor.load: the lossless encoder beside dumps. It writes the values
// Python programs hold (the standard tags for datetimes, decimals, UUIDs, sets and big
// integers), or hands what it does not know to a default function, or refuses it; optionally
// in the deterministic form (map keys and set members in the bytewise order of their
// encodings).
#pragma once

#include <pybind11/pybind11.h>

namespace quorvane {

// Adds encode, dump and load to the cbor submodule (load calls the submodule's loads, which
// must be defined first).
void define_encode(pybind11::module_& cbor);

}  // namespace quorvane
