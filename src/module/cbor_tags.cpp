#include "module/cbor_tags.h"

#include <string>

#include "module/cbor_types.h"
#include "module/python_compat.h"

namespace quorvane {
namespace {

// Classes and functions from the standard library, looked up on first need and kept.
struct Library {
    PyObject* decimal = nullptr;        // decimal.Decimal
    PyObject* uuid = nullptr;           // uuid.UUID
    PyObject* from_iso = nullptr;       // datetime.datetime.fromisoformat
    PyObject* from_timestamp = nullptr; // datetime.datetime.fromtimestamp
    PyObject* date_from_iso = nullptr;  // datetime.date.fromisoformat
    PyObject* date_from_ordinal = nullptr;
    PyObject* utc = nullptr;            // datetime.timezone.utc
};

PyObject* attribute_of(const char* module_name, const char* name) {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) return nullptr;
    PyObject* found = PyObject_GetAttrString(module, name);
    Py_DECREF(module);
    return found;
}

const Library* library() {
    static Library* found = nullptr;
    if (found != nullptr) return found;
    Library fresh;
    PyObject* datetime_class = attribute_of("datetime", "datetime");
    PyObject* date_class = attribute_of("datetime", "date");
    if (datetime_class != nullptr && date_class != nullptr) {
        fresh.from_iso = PyObject_GetAttrString(datetime_class, "fromisoformat");
        fresh.from_timestamp = PyObject_GetAttrString(datetime_class, "fromtimestamp");
        fresh.date_from_iso = PyObject_GetAttrString(date_class, "fromisoformat");
        fresh.date_from_ordinal = PyObject_GetAttrString(date_class, "fromordinal");
    }
    Py_XDECREF(datetime_class);
    Py_XDECREF(date_class);
    fresh.utc = attribute_of("datetime", "timezone");
    if (fresh.utc != nullptr) {
        PyObject* utc = PyObject_GetAttrString(fresh.utc, "utc");
        Py_DECREF(fresh.utc);
        fresh.utc = utc;
    }
    fresh.decimal = attribute_of("decimal", "Decimal");
    fresh.uuid = attribute_of("uuid", "UUID");
    if (fresh.from_iso == nullptr || fresh.from_timestamp == nullptr || fresh.date_from_iso == nullptr ||
        fresh.date_from_ordinal == nullptr || fresh.utc == nullptr || fresh.decimal == nullptr ||
        fresh.uuid == nullptr) {
        Py_XDECREF(fresh.from_iso);
        Py_XDECREF(fresh.from_timestamp);
        Py_XDECREF(fresh.date_from_iso);
        Py_XDECREF(fresh.date_from_ordinal);
        Py_XDECREF(fresh.utc);
        Py_XDECREF(fresh.decimal);
        Py_XDECREF(fresh.uuid);
        return nullptr;
    }
    found = new Library(fresh);
    return found;
}

// CBORDecodeError for a tag whose content is not what the tag needs; null.
PyObject* bad_content(std::size_t at, std::uint64_t number, const char* needed) {
    PyErr_Format(cbor_decode_error(), "CBOR decode error at byte %zu: the content of tag %llu must be %s", at,
                 static_cast<unsigned long long>(number), needed);
    return nullptr;
}

// A call whose ValueError, TypeError, ArithmeticError (OverflowError, decimal's
// InvalidOperation) or OSError (the content's value is out of range or malformed) becomes
// CBORDecodeError naming the tag; other errors pass.
PyObject* converted(PyObject* result, std::size_t at, std::uint64_t number, const char* needed) {
    if (result != nullptr) return result;
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_ArithmeticError) && !PyErr_ExceptionMatches(PyExc_OSError)) {
        return nullptr;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErr_Format(cbor_decode_error(), "CBOR decode error at byte %zu: the content of tag %llu must be %s (%S)", at,
                 static_cast<unsigned long long>(number), needed, value == nullptr ? Py_None : value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return nullptr;
}

// Tag 0: RFC 3339 text; "Z" is read as +00:00 (which fromisoformat takes only from 3.11).
PyObject* datetime_from_text(const Library& lib, PyObject* text, std::size_t at) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    PyObject* adjusted = nullptr;
    if (length > 0) {
        const Py_UCS4 last = PyUnicode_READ_CHAR(text, length - 1);
        if (last == 'Z' || last == 'z') {
            PyObject* stem = PyUnicode_Substring(text, 0, length - 1);
            if (stem == nullptr) return nullptr;
            adjusted = PyUnicode_FromFormat("%U+00:00", stem);
            Py_DECREF(stem);
            if (adjusted == nullptr) return nullptr;
        }
    }
    PyObject* moment = PyObject_CallOneArg(lib.from_iso, adjusted != nullptr ? adjusted : text);
    Py_XDECREF(adjusted);
    moment = converted(moment, at, CBOR_TAG_DATETIME_TEXT, "an RFC 3339 date and time");
    if (moment == nullptr) return nullptr;
    PyObject* zone = PyObject_GetAttrString(moment, "tzinfo");
    if (zone == nullptr) {
        Py_DECREF(moment);
        return nullptr;
    }
    const bool naive = zone == Py_None;
    Py_DECREF(zone);
    if (naive) {  // RFC 3339 times name their offset from UTC
        Py_DECREF(moment);
        return bad_content(at, CBOR_TAG_DATETIME_TEXT, "an RFC 3339 date and time with its offset from UTC");
    }
    return moment;
}

// Tag 4: [exponent, mantissa], both ints, as the Decimal with exactly those digits.
PyObject* decimal_from_pair(const Library& lib, PyObject* pair, std::size_t at) {
    const char* const needed = "an array of two integers (exponent, mantissa)";
    if ((!PyList_Check(pair) && !PyTuple_Check(pair)) || PySequence_Fast_GET_SIZE(pair) != 2) {
        return bad_content(at, CBOR_TAG_DECIMAL_FRACTION, needed);
    }
    PyObject* exponent = PySequence_Fast_GET_ITEM(pair, 0);
    PyObject* mantissa = PySequence_Fast_GET_ITEM(pair, 1);
    if (!PyLong_Check(exponent) || !PyLong_Check(mantissa)) return bad_content(at, CBOR_TAG_DECIMAL_FRACTION, needed);
    PyObject* zero = PyLong_FromLong(0);
    if (zero == nullptr) return nullptr;
    const int negative = PyObject_RichCompareBool(mantissa, zero, Py_LT);
    Py_DECREF(zero);
    if (negative < 0) return nullptr;
    // The digits of the mantissa from the exact Decimal of it: no decimal text of the int is
    // made, which the interpreter refuses past 4,300 digits.
    PyObject* magnitude = PyNumber_Absolute(mantissa);
    if (magnitude == nullptr) return nullptr;
    PyObject* whole = PyObject_CallOneArg(lib.decimal, magnitude);
    Py_DECREF(magnitude);
    if (whole == nullptr) return nullptr;
    PyObject* whole_parts = PyObject_CallMethod(whole, "as_tuple", nullptr);
    Py_DECREF(whole);
    if (whole_parts == nullptr) return nullptr;
    PyObject* digits = PyObject_GetAttrString(whole_parts, "digits");
    Py_DECREF(whole_parts);
    if (digits == nullptr) return nullptr;
    PyObject* parts = Py_BuildValue("(iNO)", negative, digits, exponent);
    if (parts == nullptr) return nullptr;
    PyObject* value = PyObject_CallOneArg(lib.decimal, parts);
    Py_DECREF(parts);
    return converted(value, at, CBOR_TAG_DECIMAL_FRACTION, "an array of two integers (exponent, mantissa) within Decimal's range");
}

PyObject* standard(const Library& lib, std::uint64_t number, PyObject* content, bool key, std::size_t at) {
    switch (number) {
        case CBOR_TAG_DATETIME_TEXT:
            if (!PyUnicode_Check(content)) return bad_content(at, CBOR_TAG_DATETIME_TEXT, "a text string (RFC 3339 date and time)");
            return datetime_from_text(lib, content, at);
        case CBOR_TAG_DATETIME_EPOCH: {
            if (!(PyLong_Check(content) || PyFloat_Check(content)) || PyBool_Check(content)) {
                return bad_content(at, CBOR_TAG_DATETIME_EPOCH, "a number (seconds since the epoch)");
            }
            PyObject* moment = PyObject_CallFunctionObjArgs(lib.from_timestamp, content, lib.utc, nullptr);
            return converted(moment, at, CBOR_TAG_DATETIME_EPOCH, "a number of seconds within the range of datetime");
        }
        case CBOR_TAG_DATE_DAYS: {
            if (!PyLong_Check(content) || PyBool_Check(content)) return bad_content(at, CBOR_TAG_DATE_DAYS, "an integer (days since 1970-01-01)");
            PyObject* offset = PyLong_FromLong(719163);  // the ordinal of 1970-01-01
            if (offset == nullptr) return nullptr;
            PyObject* ordinal = PyNumber_Add(content, offset);
            Py_DECREF(offset);
            if (ordinal == nullptr) return nullptr;
            PyObject* day = PyObject_CallOneArg(lib.date_from_ordinal, ordinal);
            Py_DECREF(ordinal);
            return converted(day, at, CBOR_TAG_DATE_DAYS, "a number of days within the range of date");
        }
        case CBOR_TAG_DATE_TEXT:
            if (!PyUnicode_Check(content)) return bad_content(at, CBOR_TAG_DATE_TEXT, "a text string (RFC 3339 full-date)");
            return converted(PyObject_CallOneArg(lib.date_from_iso, content), at, CBOR_TAG_DATE_TEXT, "an RFC 3339 full-date");
        case CBOR_TAG_DECIMAL_FRACTION:
            return decimal_from_pair(lib, content, at);
        case CBOR_TAG_UUID: {
            if (!PyBytes_Check(content) || PyBytes_GET_SIZE(content) != 16) {
                return bad_content(at, CBOR_TAG_UUID, "a byte string of 16 bytes");
            }
            PyObject* arguments = PyTuple_New(0);
            if (arguments == nullptr) return nullptr;
            PyObject* keywords = Py_BuildValue("{sO}", "bytes", content);
            PyObject* value = keywords == nullptr ? nullptr : PyObject_Call(lib.uuid, arguments, keywords);
            Py_DECREF(arguments);
            Py_XDECREF(keywords);
            return value;
        }
        default: {  // 258
            if (!PyList_Check(content) && !PyTuple_Check(content)) return bad_content(at, CBOR_TAG_SET, "an array");
            PyObject* set = key ? PyFrozenSet_New(content) : PySet_New(content);
            if (set == nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return bad_content(at, CBOR_TAG_SET, "an array of hashable members");
            }
            return set;
        }
    }
}

}  // namespace

PyObject* cbor_standard_tag(std::uint64_t number, PyObject* content, bool key, std::size_t at) {
    const Library* lib = library();
    PyObject* value = lib == nullptr ? nullptr : standard(*lib, number, content, key, at);
    Py_DECREF(content);
    return value;
}

PyObject* cbor_other_tag(std::uint64_t number, PyObject* content, const DecodeHooks& hooks) {
    PyObject* tag_number = PyLong_FromUnsignedLongLong(number);
    if (tag_number == nullptr) {
        Py_DECREF(content);
        return nullptr;
    }
    PyObject* tag = cbor_tag_new(tag_number, content);
    if (tag == nullptr || hooks.tag_hook == nullptr) return tag;
    PyObject* value = PyObject_CallOneArg(hooks.tag_hook, tag);
    Py_DECREF(tag);
    return value;
}

PyObject* cbor_object_hook(PyObject* map, const DecodeHooks& hooks) {
    PyObject* value = PyObject_CallOneArg(hooks.object_hook, map);
    Py_DECREF(map);
    return value;
}

}  // namespace quorvane
