// Errors of dispatch, rewritten in one place for every function (see call_errors.h).
//
// The binding library makes each function a built-in function object whose method
// definition points at its one dispatcher, and the interpreter reads that pointer on every
// call (these functions take positional and keyword arguments, which are never called
// through a cached vector call). Here the pointer of each of our functions is set to a step
// that calls the dispatcher and, when it fails, rewrites its message. The dispatcher itself,
// the signatures, the docstrings and the results are untouched.
#include "module/call_errors.h"

#include <cstring>
#include <string>

#include "module/pickling.h"
#include "module/python_compat.h"

namespace py = pybind11;

namespace quorvane {
namespace {

// A repr longer than this is cut (with "..." in place of the rest).
constexpr std::size_t REPR_LIMIT = 60;

const char* const INVOKED_WITH = "\nInvoked with: ";

// The dispatcher every function of the binding library shares (a protected member).
struct Dispatcher : py::cpp_function {
    static PyCFunction get() { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dispatcher)); }
};

std::string type_name(PyObject* object) {
    const char* name = Py_TYPE(object)->tp_name;
    const char* dot = std::strrchr(name, '.');
    return dot != nullptr ? dot + 1 : name;
}

std::string counted(unsigned long long number, const char* one, const char* many) {
    return grouped(number) + " " + (number == 1 ? one : many);
}

// An argument as the error names it: its type and size, never its contents.
std::string describe(PyObject* object) {
    if (PyObject_CheckBuffer(object)) {
        Py_buffer view;
        if (PyObject_GetBuffer(object, &view, PyBUF_FULL_RO) != 0) {
            PyErr_Clear();
            return "<" + type_name(object) + " object>";
        }
        const auto length = static_cast<unsigned long long>(view.len);
        PyBuffer_Release(&view);
        return "<" + type_name(object) + " of " + counted(length, "byte>", "bytes>");
    }
    if (PyUnicode_Check(object)) {
        return "<" + type_name(object) + " of " +
               counted(static_cast<unsigned long long>(PyUnicode_GET_LENGTH(object)), "character>", "characters>");
    }
    if (object == Py_None || PyLong_Check(object) || PyFloat_Check(object) || PyComplex_Check(object)) {
        return short_repr(object);
    }
    if (!PyType_Check(object) && (PySequence_Check(object) || PyMapping_Check(object))) {
        const Py_ssize_t size = PyObject_Size(object);
        if (size >= 0) {
            return "<" + type_name(object) + " of " +
                   counted(static_cast<unsigned long long>(size), "item>", "items>");
        }
        PyErr_Clear();
    }
    return short_repr(object);
}

// The list after "Invoked with: ", in the binding library's form, arguments described.
std::string described_arguments(PyObject* args, PyObject* kwargs, bool constructor) {
    std::string text;
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = constructor ? 1 : 0; i < count; ++i) {
        if (!text.empty()) text += ", ";
        text += describe(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
        text += text.empty() ? "kwargs: " : "; kwargs: ";
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool first = true;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!first) text += ", ";
            first = false;
            const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            if (name == nullptr) PyErr_Clear();
            text += (name != nullptr ? std::string(name) : short_repr(key)) + "=" + describe(value);
        }
    }
    return text;
}

// The message of the pending exception, or nothing when it has none of its own.
bool message_of(PyObject* exception, std::string* message) {
    PyObject* text = PyObject_Str(exception);
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        Py_XDECREF(text);
        return false;
    }
    *message = utf8;
    Py_DECREF(text);
    return true;
}

void set_message(PyObject* exception, const std::string& message) {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    PyObject* arguments = text != nullptr ? PyTuple_Pack(1, text) : nullptr;
    if (arguments == nullptr || PyObject_SetAttrString(exception, "args", arguments) != 0) PyErr_Clear();
    Py_XDECREF(arguments);
    Py_XDECREF(text);
}

// Rewrites the pending error of a call of the function whose record is `self`.
void explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // Only an error raised by the dispatcher itself: one that came up through Python code
    // (a hook calling another function) has a traceback and is left as it is.
    const bool own = traceback == nullptr && (type == PyExc_TypeError || type == PyExc_MemoryError);
    if (own) {
        PyErr_NormalizeException(&type, &value, &traceback);
        const auto* record =
            static_cast<const py::detail::function_record*>(PyCapsule_GetPointer(self, py::detail::get_function_record_capsule_name()));
        std::string message;
        if (record == nullptr || value == nullptr) {
            PyErr_Clear();
        } else if (message_of(value, &message)) {
            const std::string name = std::string(record->name) + "(): incompatible ";
            const std::size_t invoked = message.find(INVOKED_WITH);
            if (type == PyExc_TypeError && message.compare(0, name.size(), name) == 0 &&
                invoked != std::string::npos) {
                const bool constructor = message.compare(name.size(), 11, "constructor") == 0;
                set_message(value, message.substr(0, invoked + std::strlen(INVOKED_WITH)) +
                                       described_arguments(args, kwargs, constructor));
            } else if (type == PyExc_MemoryError && (message.empty() || message == "std::bad_alloc")) {
                set_message(value, std::string(record->name) + ": out of memory");
            }
        }
    }
    PyErr_Restore(type, value, traceback);
}

PyObject* dispatch_and_explain(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* result = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(Dispatcher::get()))(
        self, args, kwargs);
    if (result == nullptr) explain(self, args, kwargs);
    return result;
}

void install(PyObject* function) {
#if QUORVANE_CPYTHON
    if (!PyCFunction_Check(function)) return;
    PyMethodDef* definition = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    if (definition->ml_meth == Dispatcher::get()) {
        definition->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&dispatch_and_explain));
    }
#else
    (void)function;  // PyPy's function objects are its own: their messages stay as they are
#endif
}

// Every function held by a class: methods, static methods, properties.
void install_in_class(py::handle type) {
    const py::object members = type.attr("__dict__");
    for (const auto item : members.attr("values")()) {
        PyObject* member = item.ptr();
        if (PyInstanceMethod_Check(member)) {
            install(PyInstanceMethod_GET_FUNCTION(member));
        } else if (PyCFunction_Check(member)) {
            install(member);
        } else {
            for (const char* slot : {"__func__", "fget", "fset", "fdel"}) {
                if (py::hasattr(item, slot)) install(item.attr(slot).ptr());
            }
        }
    }
}

}  // namespace

std::string short_repr(PyObject* object) {
    PyObject* text = PyObject_Repr(object);
    Py_ssize_t size = 0;
    const char* utf8 = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        Py_XDECREF(text);
        return "<" + type_name(object) + " object>";
    }
    std::string result(utf8, static_cast<std::size_t>(size));
    const Py_ssize_t characters = PyUnicode_GET_LENGTH(text);
    Py_DECREF(text);
    if (characters > static_cast<Py_ssize_t>(REPR_LIMIT)) {
        // Cut on a character boundary of the UTF-8 text.
        std::size_t end = REPR_LIMIT - 3;
        while (end > 0 && (static_cast<unsigned char>(result[end]) & 0xC0) == 0x80) --end;
        result = result.substr(0, end) + "...";
    }
    return result;
}

std::string grouped(unsigned long long number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

[[noreturn]] void raise_no_memory(const char* function, const std::string& what) {
    PyErr_SetString(PyExc_MemoryError, (std::string(function) + ": out of memory " + what).c_str());
    throw py::error_already_set();
}

void name_arguments_by_type_in_errors(py::module_& top) {
#if !QUORVANE_CPYTHON
    // PyPy's function objects are its own (their messages stay as they are), and walking
    // the classes' members through its emulated C API crashed it at import.
    (void)top;
    return;
#endif
    for (const auto module : module_and_submodules(top)) {
        for (const auto item : py::reinterpret_borrow<py::dict>(module.attr("__dict__"))) {
            if (PyType_Check(item.second.ptr())) {
                install_in_class(item.second);
            } else {
                install(item.second.ptr());
            }
        }
    }
}

}  // namespace quorvane
