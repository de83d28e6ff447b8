// Functions made by the binding library are built-in methods of a capsule (their __self__),
// and pickle saves a built-in method as getattr(__self__, name): the capsule cannot be pickled,
// so neither can the function. Here a reducer for the capsule type is registered with copyreg.
// A capsule that is the __self__ of one of our functions pickles as the call
// importlib.import_module("quorvane_core.<submodule>"), so the function unpickles as
// getattr(<that submodule>, name): by reference, importing the module where needed. The
// submodules are in sys.modules from the start, so import_module finds them. Any other capsule
// goes to the reducer registered for the type before ours, if there was one, or fails as it
// did (the interpreter's own TypeError).
#include "module/pickling.h"

namespace py = pybind11;

namespace quorvane {
namespace {

// The name of the module among `top` and its submodules that has a function whose __self__
// is `capsule`, or None. Looked up on each call, so that functions added later count too.
py::object home_of(const py::module_& top, py::handle capsule) {
    for (const auto module : module_and_submodules(top)) {
        for (const auto item : py::reinterpret_borrow<py::dict>(module.attr("__dict__"))) {
            if (py::getattr(item.second, "__self__", py::none()).is(capsule)) return module.attr("__name__");
        }
    }
    return py::none();
}

}  // namespace

py::list module_and_submodules(const py::module_& top) {
    py::list modules;
    modules.append(top);
    for (const auto item : py::reinterpret_borrow<py::dict>(top.attr("__dict__"))) {
        if (PyModule_Check(item.second.ptr())) modules.append(item.second);
    }
    return modules;
}

void make_functions_picklable(py::module_& top) {
    const py::module_ copyreg = py::module_::import("copyreg");
    const py::object import_module = py::module_::import("importlib").attr("import_module");
    const auto capsule_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyCapsule_Type));
    const py::object previous = copyreg.attr("dispatch_table").attr("get")(capsule_type);
    const py::cpp_function reducer(
        [top, import_module, previous](py::handle capsule) -> py::object {
            py::object home = home_of(top, capsule);
            if (!home.is_none()) return py::make_tuple(import_module, py::make_tuple(home));
            if (!previous.is_none()) return previous(capsule);
            return capsule.attr("__reduce_ex__")(4);  // raises the interpreter's "cannot pickle"
        },
        py::name("_reduce_function_capsule"));
    copyreg.attr("pickle")(capsule_type, reducer);
}

}  // namespace quorvane
