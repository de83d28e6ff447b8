// The messages of errors raised while a call is dispatched, for every function of the module
// in one place, and the MemoryError the bindings raise with what was being allocated.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace quorvane {

// Installs, on every function and method of `top` and its submodules (their classes
// included), a step after the binding library's dispatch that rewrites two of its errors:
//   - the TypeError for arguments that match no signature keeps its first line and the list
//     of signatures, but names each argument by its type and size ("<bytes of 5,191,936
//     bytes>", "<str of 3 characters>"), never by its contents; short reprs (ints, None)
//     stay, and every repr is cut to a few dozen characters;
//   - a MemoryError without a message (or "std::bad_alloc") says which function ran out.
// Call it last, after every function is defined.
void name_arguments_by_type_in_errors(pybind11::module_& top);

// Raises MemoryError("<function>: out of memory <what>"), e.g. what = "for a new value of
// 5,191,936 bytes".
[[noreturn]] void raise_no_memory(const char* function, const std::string& what);

// repr(object) for a message, cut on a character boundary to a few dozen characters
// (with "..." in place of the rest); "<type object>" when repr fails.
std::string short_repr(PyObject* object);

// 5191936 -> "5,191,936".
std::string grouped(unsigned long long number);

}  // namespace quorvane
