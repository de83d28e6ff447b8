// The cbor submodule: dumps, loads and the classes that loads returns or raises.
#include "module/cbor_module.h"

#include <string>
#include <tuple>

#include "module/cbor_decoder.h"
#include "module/cbor_encode.h"
#include "module/cbor_encoder.h"
#include "module/cbor_sequence.h"
#include "module/cbor_types.h"

namespace py = pybind11;

namespace quorvane {
namespace {

const char* const CBOR_DOC =
    "\n            Quorvane cbor\n            -----------------------\n\n"
    "            .. currentmodule:: quorvane_cbor\n\n"
    "            .. autosummary::\n               :toctree: _generate\n\n               dumps\n        ";

const char* const DUMPS_DOC = "\n        Dump a Python object to cbor\n        ";

const char* const LOADS_DOC =
    "Read one CBOR data item from data (bytes, bytearray, memoryview or any object with a\n"
    "contiguous buffer, read in place) and return the Python value it stands for.\n\n"
    "Integers, byte and text strings, arrays (lists; tuples when used as map keys), maps\n"
    "(dicts), floats of every width, false, true and null become the Python values; bignum\n"
    "tags 2 and 3 become int; the standard tags become their Python types: 0 and 1 datetime,\n"
    "100 and 1004 date, 4 Decimal, 30 Fraction, 35 re.Pattern, 36 email.message.Message,\n"
    "37 UUID, 52, 54, 260 and 261 ipaddress addresses, networks and interfaces, 258 set\n"
    "(frozenset inside a map key). Other tags become tag_hook(Tag(number, content)) when\n"
    "tag_hook is given, else Tag; every map becomes object_hook(dict) when object_hook is given.\n"
    "With standard_tags=False the standard tags are read as other tags are (a converter of CBOR\n"
    "as it is written). undefined becomes cbor.undefined, other simple values Simple.\n"
    "The input must hold exactly one well-formed item: anything else raises\n"
    "CBORDecodeError, whose message names the byte offset. Nesting deeper than max_depth raises\n"
    "CBORDecodeError; with max_depth 0, nesting deeper than the recursion limit raises\n"
    "RecursionError.\n\n"
    "A str or another object without a buffer raises TypeError, a buffer that is not\n"
    "contiguous BufferError, and a max_depth that is not an int of 0 or more TypeError.";

py::object loads(const py::object& data, unsigned long long max_depth, const py::object& tag_hook,
                 const py::object& object_hook, bool standard_tags) {
    DecodeHooks hooks;
    hooks.standard_tags = standard_tags;
    for (const auto& [hook, name, slot] : {std::make_tuple(&tag_hook, "tag_hook", &hooks.tag_hook),
                                           std::make_tuple(&object_hook, "object_hook", &hooks.object_hook)}) {
        if (hook->is_none()) continue;
        if (!PyCallable_Check(hook->ptr())) throw py::type_error(std::string(name) + " must be callable or None");
        *slot = hook->ptr();
    }
    PyObject* value = cbor_loads(data.ptr(), max_depth, hooks);
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

py::object checked(PyObject* object) {
    if (object == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace

void define_cbor_module(py::module_& parent) {
    py::module_ cbor = parent.def_submodule("cbor");
    cbor.attr("__doc__") = py::str(CBOR_DOC);
    cbor.def("dumps", &dumps, DUMPS_DOC, py::arg("value"), py::arg("indefinite") = true,
             py::arg("max_depth") = 0);
    cbor.attr("__version__") = "dev";
    cbor.attr("CBORDecodeError") = checked(cbor_decode_error_type());
    cbor.attr("Tag") = checked(cbor_tag_type());
    cbor.attr("Simple") = checked(cbor_simple_type());
    cbor.attr("UndefinedType") = checked(cbor_undefined_type());
    cbor.attr("undefined") = checked(cbor_undefined_object());
    cbor.def("loads", &loads, LOADS_DOC, py::arg("data"), py::arg("max_depth") = 0, py::kw_only(),
             py::arg("tag_hook") = py::none(), py::arg("object_hook") = py::none(), py::arg("standard_tags") = true);
    define_encode(cbor);
    define_sequence(cbor);
}

}  // namespace quorvane
