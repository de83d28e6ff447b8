#include "module/delta_module.h"

namespace py = pybind11;

namespace quorvane {

void define_delta_module(py::module_& parent) {
    py::module_ delta = parent.def_submodule("delta");
    delta.attr("__version__") = "dev";
}

}  // namespace quorvane
