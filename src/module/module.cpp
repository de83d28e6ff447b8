// Module initialisation: the cbor submodule, then the delta submodule.
#include <pybind11/pybind11.h>

#include "cbor/encoder.h"
#include "module/delta_module.h"

namespace py = pybind11;

namespace {

const char* const CBOR_DOC =
    "\n            Quorvane cbor\n            -----------------------\n\n"
    "            .. currentmodule:: quorvane_cbor\n\n"
    "            .. autosummary::\n               :toctree: _generate\n\n               dumps\n        ";

const char* const DUMPS_DOC = "\n        Dump a Python object to cbor\n        ";

}  // namespace

PYBIND11_MODULE(quorvane_core, m) {
    py::module_ cbor = m.def_submodule("cbor");
    cbor.attr("__doc__") = py::str(CBOR_DOC);
    cbor.def("dumps", &quorvane::dumps, DUMPS_DOC, py::arg("value"), py::arg("indefinite") = true,
             py::arg("max_depth") = 0);
    cbor.attr("__version__") = "dev";

    quorvane::define_delta_module(m);
    quorvane::define_diff_path_hook(m);
}
