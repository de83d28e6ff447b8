#include "module/cbor_types.h"

#include <structmember.h>

#include <cstddef>

#include "module/python_compat.h"

namespace quorvane {
namespace {

PyObject* decode_error = nullptr;  // CBORDecodeError; created once, lives with the module
PyTypeObject* tag_type = nullptr;
PyTypeObject* simple_type = nullptr;
PyTypeObject* undefined_type = nullptr;
PyObject* undefined_value = nullptr;  // the one UndefinedType object; lives with the module

struct TagObject {
    PyObject_HEAD
    PyObject* tag;    // an int from 0 to 2**64 - 1
    PyObject* value;  // the content
};

struct SimpleObject {
    PyObject_HEAD
    unsigned char value;
};

// A tag number: an int from 0 to 2**64 - 1, as an exact int (new reference) or null.
PyObject* tag_number(PyObject* number) {
    if (!PyLong_Check(number)) {
        PyErr_Format(PyExc_TypeError, "Tag number must be an int, not %.100s", Py_TYPE(number)->tp_name);
        return nullptr;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(number);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Tag number must be from 0 to 2**64 - 1");
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(value);
}

PyObject* tag_new_from(PyObject* number, PyObject* value) {  // steals both
    auto* self = PyObject_GC_New(TagObject, tag_type);
    if (self == nullptr) {
        Py_DECREF(number);
        Py_DECREF(value);
        return nullptr;
    }
    self->tag = number;
    self->value = value;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* tag_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"tag", "value", nullptr};
    PyObject* number = nullptr;
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Tag", const_cast<char**>(names), &number, &value)) {
        return nullptr;
    }
    PyObject* exact = tag_number(number);
    if (exact == nullptr) return nullptr;
    Py_INCREF(value);
    return tag_new_from(exact, value);
}

int tag_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<TagObject*>(self)->value);
    return 0;
}

int tag_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<TagObject*>(self)->value);
    return 0;
}

// Deeply nested tags are freed through the interpreter's trashcan, not by native recursion.
void tag_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    QUORVANE_TRASHCAN_BEGIN(self, tag_dealloc)
    auto* tag = reinterpret_cast<TagObject*>(self);
    PyTypeObject* type = Py_TYPE(self);  // instances of a heap type hold a reference to it
    Py_XDECREF(tag->tag);
    Py_XDECREF(tag->value);
    PyObject_GC_Del(self);
    Py_DECREF(type);
    QUORVANE_TRASHCAN_END
}

PyObject* tag_repr(PyObject* self) {
    auto* tag = reinterpret_cast<TagObject*>(self);
    const int entered = Py_ReprEnter(self);
    if (entered != 0) return entered > 0 ? PyUnicode_FromString("Tag(...)") : nullptr;
    PyObject* text = PyUnicode_FromFormat("Tag(%R, %R)", tag->tag, tag->value == nullptr ? Py_None : tag->value);
    Py_ReprLeave(self);
    return text;
}

PyObject* tag_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, tag_type)) Py_RETURN_NOTIMPLEMENTED;
    auto* a = reinterpret_cast<TagObject*>(self);
    auto* b = reinterpret_cast<TagObject*>(other);
    const int same_number = PyObject_RichCompareBool(a->tag, b->tag, Py_EQ);
    if (same_number < 0) return nullptr;
    if (!same_number) return PyBool_FromLong(op == Py_NE);
    PyObject* va = a->value == nullptr ? Py_None : a->value;
    PyObject* vb = b->value == nullptr ? Py_None : b->value;
    return PyObject_RichCompare(va, vb, op);
}

Py_hash_t tag_hash(PyObject* self) {
    auto* tag = reinterpret_cast<TagObject*>(self);
    if (Py_EnterRecursiveCall(" while hashing a Tag") != 0) return -1;
    PyObject* pair = PyTuple_Pack(2, tag->tag, tag->value == nullptr ? Py_None : tag->value);
    Py_hash_t hash = -1;
    if (pair != nullptr) {
        hash = PyObject_Hash(pair);
        Py_DECREF(pair);
    }
    Py_LeaveRecursiveCall();
    return hash;
}

PyObject* tag_reduce(PyObject* self, PyObject*) {
    auto* tag = reinterpret_cast<TagObject*>(self);
    return Py_BuildValue("O(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), tag->tag,
                         tag->value == nullptr ? Py_None : tag->value);
}

PyMemberDef tag_members[] = {
    {const_cast<char*>("tag"), T_OBJECT_EX, offsetof(TagObject, tag), READONLY, const_cast<char*>("The tag number.")},
    {const_cast<char*>("value"), T_OBJECT_EX, offsetof(TagObject, value), READONLY,
     const_cast<char*>("The tagged content.")},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef tag_methods[] = {
    {"__reduce__", tag_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char* const TAG_DOC =
    "Tag(tag, value)\n\n"
    "A CBOR tag that loads has no Python type for: the tag number and the content it marks.\n"
    "Equal when both numbers and contents are equal; hashable when the content is.\n"
    "tag must be an int from 0 to 2**64 - 1 (TypeError, ValueError otherwise); value is any\n"
    "object. Read-only; pickles as itself; dumps does not write it.";

PyType_Slot tag_slots[] = {
    {Py_tp_doc, const_cast<char*>(TAG_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(tag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tag_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tag_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(tag_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tag_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(tag_hash)},
    {Py_tp_members, tag_members},
    {Py_tp_methods, tag_methods},
    {0, nullptr},
};

PyType_Spec tag_spec = {"quorvane_core.cbor.Tag", sizeof(TagObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        tag_slots};

bool simple_number_allowed(long value) { return value >= 0 && value <= 255 && !(value >= 24 && value <= 31); }

PyObject* simple_new_from(unsigned value) {
    auto* self = PyObject_New(SimpleObject, simple_type);
    if (self == nullptr) return nullptr;
    self->value = static_cast<unsigned char>(value);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* simple_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"value", nullptr};
    PyObject* number = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Simple", const_cast<char**>(names), &number)) return nullptr;
    if (!PyLong_Check(number)) {
        PyErr_Format(PyExc_TypeError, "Simple value must be an int, not %.100s", Py_TYPE(number)->tp_name);
        return nullptr;
    }
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(number, &overflow);
    if (overflow != 0 || !simple_number_allowed(value)) {
        PyErr_SetString(PyExc_ValueError, "Simple value must be from 0 to 23 or from 32 to 255");
        return nullptr;
    }
    return simple_new_from(static_cast<unsigned>(value));
}

void simple_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* simple_value(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<SimpleObject*>(self)->value);
}

PyObject* simple_repr(PyObject* self) {
    return PyUnicode_FromFormat("Simple(%d)", static_cast<int>(reinterpret_cast<SimpleObject*>(self)->value));
}

PyObject* simple_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, simple_type)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = reinterpret_cast<SimpleObject*>(self)->value == reinterpret_cast<SimpleObject*>(other)->value;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

Py_hash_t simple_hash(PyObject* self) {
    return static_cast<Py_hash_t>(0x5EED0000 + reinterpret_cast<SimpleObject*>(self)->value);
}

PyObject* simple_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("O(i)", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         static_cast<int>(reinterpret_cast<SimpleObject*>(self)->value));
}

PyGetSetDef simple_getset[] = {
    {const_cast<char*>("value"), simple_value, nullptr, const_cast<char*>("The simple value's number."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef simple_methods[] = {
    {"__reduce__", simple_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char* const SIMPLE_DOC =
    "Simple(value)\n\n"
    "A CBOR simple value that has no Python counterpart: undefined is Simple(23); the others\n"
    "are the numbers 0 to 19 and 32 to 255. Equal when the numbers are; hashable.\n"
    "value must be an int from 0 to 23 or from 32 to 255 (TypeError, ValueError otherwise).\n"
    "Read-only; pickles as itself; dumps does not write it.";

PyType_Slot simple_slots[] = {
    {Py_tp_doc, const_cast<char*>(SIMPLE_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(simple_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(simple_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(simple_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(simple_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(simple_hash)},
    {Py_tp_getset, simple_getset},
    {Py_tp_methods, simple_methods},
    {0, nullptr},
};

PyType_Spec simple_spec = {"quorvane_core.cbor.Simple", sizeof(SimpleObject), 0, Py_TPFLAGS_DEFAULT, simple_slots};

// UndefinedType: one object, cbor.undefined, for CBOR's undefined (simple value 23).
PyObject* undefined_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "UndefinedType takes no arguments");
        return nullptr;
    }
    Py_INCREF(undefined_value);
    return undefined_value;
}

void undefined_dealloc(PyObject* self) {  // only at interpreter exit: the module holds the one object
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* undefined_repr(PyObject*) { return PyUnicode_FromString("undefined"); }

int undefined_bool(PyObject*) { return 0; }

PyObject* undefined_reduce(PyObject*, PyObject*) { return PyUnicode_FromString("undefined"); }

PyMethodDef undefined_methods[] = {
    {"__reduce__", undefined_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char* const UNDEFINED_DOC =
    "UndefinedType()\n\n"
    "The type of cbor.undefined, the one object that stands for CBOR's undefined (simple\n"
    "value 23). Calling the type returns that object; it is false; it pickles as itself.";

PyType_Slot undefined_slots[] = {
    {Py_tp_doc, const_cast<char*>(UNDEFINED_DOC)},
    {Py_tp_new, reinterpret_cast<void*>(undefined_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(undefined_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(undefined_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(undefined_bool)},
    {Py_tp_methods, undefined_methods},
    {0, nullptr},
};

PyType_Spec undefined_spec = {"quorvane_core.cbor.UndefinedType", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                              undefined_slots};

}  // namespace

PyObject* cbor_decode_error_type() {
    if (decode_error == nullptr) {
        decode_error = PyErr_NewExceptionWithDoc(
            "quorvane_core.cbor.CBORDecodeError",
            "Raised by loads for input that is not exactly one well-formed CBOR data item, or that\n"
            "cannot be represented (a map as a map key, nesting deeper than max_depth). The message\n"
            "names the byte offset of the fault: 'CBOR decode error at byte N: <fault>' (args[0]).\n"
            "A subclass of ValueError; pickles as itself.",
            PyExc_ValueError, nullptr);
        if (decode_error == nullptr) return nullptr;
    }
    Py_INCREF(decode_error);
    return decode_error;
}

PyObject* cbor_tag_type() {
    if (tag_type == nullptr) {
        tag_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&tag_spec));
        if (tag_type == nullptr) return nullptr;
    }
    Py_INCREF(tag_type);
    return reinterpret_cast<PyObject*>(tag_type);
}

PyObject* cbor_simple_type() {
    if (simple_type == nullptr) {
        simple_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&simple_spec));
        if (simple_type == nullptr) return nullptr;
    }
    Py_INCREF(simple_type);
    return reinterpret_cast<PyObject*>(simple_type);
}

PyObject* cbor_undefined_type() {
    if (undefined_type == nullptr) {
        undefined_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&undefined_spec));
        if (undefined_type == nullptr) return nullptr;
    }
    Py_INCREF(undefined_type);
    return reinterpret_cast<PyObject*>(undefined_type);
}

PyObject* cbor_undefined_object() {
    if (undefined_value == nullptr) {
        if (undefined_type == nullptr) {
            PyObject* type = cbor_undefined_type();
            if (type == nullptr) return nullptr;
            Py_DECREF(type);
        }
        undefined_value = PyObject_New(PyObject, undefined_type);
        if (undefined_value == nullptr) return nullptr;
    }
    Py_INCREF(undefined_value);
    return undefined_value;
}

PyObject* cbor_undefined() { return undefined_value; }

PyObject* cbor_decode_error() { return decode_error; }

PyObject* cbor_tag_new(PyObject* number, PyObject* value) { return tag_new_from(number, value); }

PyObject* cbor_simple_new(unsigned value) { return simple_new_from(value); }

}  // namespace quorvane
