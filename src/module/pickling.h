#pragma once

#include <pybind11/pybind11.h>

namespace quorvane {

// Makes every function of `top`'s submodules (and of `top`) pickle by reference, also those
// added after this call. Call it once, at the end of the module's initialisation.
void make_functions_picklable(pybind11::module_& top);

// `top` and the submodules it holds (cbor, delta, _diff_path), the namespaces of the module's
// functions.
pybind11::list module_and_submodules(const pybind11::module_& top);

}  // namespace quorvane
