// Module initialisation: the cbor submodule, then the delta submodule.
#include <pybind11/pybind11.h>

#include "module/call_errors.h"
#include "module/cbor_module.h"
#include "module/delta_module.h"
#include "module/pickling.h"

namespace py = pybind11;

namespace {

// Hidden from dir(), and so from help(): the test and benchmark hook (still an attribute, so
// `from quorvane_core import _diff_path` works) and this listing itself.
const char* const NOT_LISTED[] = {"_diff_path", "__dir__"};

py::list listed_names() {
    py::list names;
    const py::dict members = py::module_::import("quorvane_core").attr("__dict__");
    for (const auto item : members) {
        const auto name = item.first.cast<std::string>();
        bool listed = true;
        for (const char* hidden : NOT_LISTED) listed = listed && name != hidden;
        if (listed) names.append(item.first);
    }
    names.attr("sort")();
    return names;
}

}  // namespace

PYBIND11_MODULE(quorvane_core, m) {
    quorvane::define_cbor_module(m);
    quorvane::define_delta_module(m);
    quorvane::define_diff_path_hook(m);
    m.def("__dir__", &listed_names);
    quorvane::make_functions_picklable(m);         // covers every function defined above
    quorvane::name_arguments_by_type_in_errors(m);  // last: it covers every function defined above
}
