// Module initialisation: the cbor submodule, then the delta submodule.
#include <pybind11/pybind11.h>

#include "module/cbor_module.h"
#include "module/delta_module.h"

PYBIND11_MODULE(quorvane_core, m) {
    quorvane::define_cbor_module(m);
    quorvane::define_delta_module(m);
    quorvane::define_diff_path_hook(m);
}
