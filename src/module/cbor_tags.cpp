#include "module/cbor_tags.h"

#include <cstring>
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
// `also`: one more class of error to convert (re.error for tag 35), or null.
PyObject* converted(PyObject* result, std::size_t at, std::uint64_t number, const char* needed,
                    PyObject* also = nullptr) {
    if (result != nullptr) return result;
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !PyErr_ExceptionMatches(PyExc_ArithmeticError) && !PyErr_ExceptionMatches(PyExc_OSError) &&
        (also == nullptr || !PyErr_ExceptionMatches(also))) {
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

// Tag 4: [exponent, mantissa], both ints, as the Decimal with exactly those digits. The
// digits come from Decimal(mantissa), which converts an int of any size (str() of an int
// stops at the interpreter's limit on digits, 4,300 by default).
PyObject* decimal_from_pair(const Library& lib, PyObject* pair, std::size_t at) {
    const char* const needed = "an array of two integers (exponent, mantissa)";
    if ((!PyList_Check(pair) && !PyTuple_Check(pair)) || PySequence_Fast_GET_SIZE(pair) != 2) {
        return bad_content(at, CBOR_TAG_DECIMAL_FRACTION, needed);
    }
    PyObject* exponent = PySequence_Fast_GET_ITEM(pair, 0);
    PyObject* mantissa = PySequence_Fast_GET_ITEM(pair, 1);
    if (!PyLong_Check(exponent) || !PyLong_Check(mantissa)) return bad_content(at, CBOR_TAG_DECIMAL_FRACTION, needed);
    PyObject* whole = PyObject_CallOneArg(lib.decimal, mantissa);
    if (whole == nullptr) return nullptr;
    PyObject* parts = PyObject_CallMethod(whole, "as_tuple", nullptr);  // (sign, digits, 0)
    Py_DECREF(whole);
    if (parts == nullptr) return nullptr;
    PyObject* sign = PySequence_GetItem(parts, 0);
    PyObject* digits = PySequence_GetItem(parts, 1);
    Py_DECREF(parts);
    PyObject* scaled = sign == nullptr || digits == nullptr ? nullptr : PyTuple_Pack(3, sign, digits, exponent);
    Py_XDECREF(sign);
    Py_XDECREF(digits);
    if (scaled == nullptr) return nullptr;
    PyObject* value = PyObject_CallOneArg(lib.decimal, scaled);
    Py_DECREF(scaled);
    return converted(value, at, CBOR_TAG_DECIMAL_FRACTION,
                     "an array of two integers (exponent, mantissa) within Decimal's range (an exponent of at "
                     "most about 10**18 either way)");
}

// Looked up on the first tag that needs them, so that loads imports ipaddress, re and email
// only for data that holds such tags. Kept for the life of the process.
struct Lazy {
    PyObject* fraction = nullptr;        // fractions.Fraction
    PyObject* re_compile = nullptr;      // re.compile
    PyObject* re_error = nullptr;        // re.error
    PyObject* message_from_string = nullptr;  // email.message_from_string (email.parser's Parser)
    PyObject* ip_address = nullptr;      // ipaddress.ip_address
    PyObject* ip_network = nullptr;      // ipaddress.ip_network
    PyObject* address[2] = {nullptr, nullptr};    // IPv4Address, IPv6Address
    PyObject* network[2] = {nullptr, nullptr};    // IPv4Network, IPv6Network
    PyObject* interface[2] = {nullptr, nullptr};  // IPv4Interface, IPv6Interface
};

Lazy lazy;

// `slot`, looked up as module_name.name if it is not yet; borrowed, or null with an error set.
PyObject* lazily(PyObject*& slot, const char* module_name, const char* name) {
    if (slot == nullptr) slot = attribute_of(module_name, name);
    return slot;
}

bool is_array(PyObject* content) { return PyList_Check(content) || PyTuple_Check(content); }

// An integer as CBOR gives it (not a bool).
bool is_integer(PyObject* value) { return PyLong_Check(value) && !PyBool_Check(value); }

// Tag 30: [numerator, denominator > 0] as a Fraction.
PyObject* fraction_from_pair(PyObject* pair, std::size_t at) {
    const char* const needed = "an array of two integers (numerator, denominator greater than 0)";
    if (!is_array(pair) || PySequence_Fast_GET_SIZE(pair) != 2) return bad_content(at, CBOR_TAG_RATIONAL, needed);
    PyObject* numerator = PySequence_Fast_GET_ITEM(pair, 0);
    PyObject* denominator = PySequence_Fast_GET_ITEM(pair, 1);
    if (!is_integer(numerator) || !is_integer(denominator)) return bad_content(at, CBOR_TAG_RATIONAL, needed);
    PyObject* zero = PyLong_FromLong(0);
    if (zero == nullptr) return nullptr;
    const int positive = PyObject_RichCompareBool(denominator, zero, Py_GT);
    Py_DECREF(zero);
    if (positive < 0) return nullptr;
    if (positive == 0) return bad_content(at, CBOR_TAG_RATIONAL, needed);
    if (lazily(lazy.fraction, "fractions", "Fraction") == nullptr) return nullptr;
    PyObject* value = PyObject_CallFunctionObjArgs(lazy.fraction, numerator, denominator, nullptr);
    return converted(value, at, CBOR_TAG_RATIONAL, needed);
}

// Tag 35: a regular expression's text, compiled (its flags are not part of the tag).
PyObject* regex_from_text(PyObject* text, std::size_t at) {
    const char* const needed = "a text string (a regular expression)";
    if (!PyUnicode_Check(text)) return bad_content(at, CBOR_TAG_REGEX, needed);
    if (lazily(lazy.re_compile, "re", "compile") == nullptr || lazily(lazy.re_error, "re", "error") == nullptr) {
        return nullptr;
    }
    return converted(PyObject_CallOneArg(lazy.re_compile, text), at, CBOR_TAG_REGEX, "a regular expression that compiles",
                     lazy.re_error);
}

// Tag 36: a MIME message's text, parsed by email.parser (an email.message.Message).
PyObject* message_from_text(PyObject* text, std::size_t at) {
    if (!PyUnicode_Check(text)) return bad_content(at, CBOR_TAG_MIME, "a text string (a MIME message)");
    if (lazily(lazy.message_from_string, "email", "message_from_string") == nullptr) return nullptr;
    return converted(PyObject_CallOneArg(lazy.message_from_string, text), at, CBOR_TAG_MIME, "a MIME message");
}

// Tags 52 (IPv4) and 54 (IPv6), RFC 9164: an address (its bytes), a network [prefix length,
// its leading bytes without the trailing zero bytes], an interface [address bytes, prefix
// length]; for IPv6 also [address bytes, prefix length or null, zone] (the zone an integer,
// text or UTF-8 bytes), an interface or an address with that zone.
PyObject* ip_from_content(std::uint64_t number, PyObject* content, std::size_t at) {
    const bool v6 = number == CBOR_TAG_IPV6;
    const Py_ssize_t size = v6 ? 16 : 4;
    const char* const needed =
        v6 ? "a byte string of 16 bytes or an array [prefix length, bytes], [16 bytes, prefix length] or "
             "[16 bytes, prefix length or null, zone]"
           : "a byte string of 4 bytes or an array [prefix length, bytes] or [4 bytes, prefix length]";
    const char* const module = "ipaddress";
    if (lazily(lazy.address[v6], module, v6 ? "IPv6Address" : "IPv4Address") == nullptr ||
        lazily(lazy.network[v6], module, v6 ? "IPv6Network" : "IPv4Network") == nullptr ||
        lazily(lazy.interface[v6], module, v6 ? "IPv6Interface" : "IPv4Interface") == nullptr) {
        return nullptr;
    }
    if (PyBytes_Check(content)) {
        if (PyBytes_GET_SIZE(content) != size) return bad_content(at, number, needed);
        return converted(PyObject_CallOneArg(lazy.address[v6], content), at, number, needed);
    }
    if (!is_array(content)) return bad_content(at, number, needed);
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(content);
    PyObject* first = count >= 2 ? PySequence_Fast_GET_ITEM(content, 0) : nullptr;
    PyObject* second = count >= 2 ? PySequence_Fast_GET_ITEM(content, 1) : nullptr;
    if (count == 2 && is_integer(first) && PyBytes_Check(second) && PyBytes_GET_SIZE(second) <= size) {
        // A network: its bytes padded to the address's size; host bits set are an error.
        PyObject* padded = PyBytes_FromStringAndSize(nullptr, size);
        if (padded == nullptr) return nullptr;
        char* bytes = PyBytes_AS_STRING(padded);
        std::memset(bytes, 0, static_cast<std::size_t>(size));
        std::memcpy(bytes, PyBytes_AS_STRING(second), static_cast<std::size_t>(PyBytes_GET_SIZE(second)));
        PyObject* pair = PyTuple_Pack(2, padded, first);
        Py_DECREF(padded);
        if (pair == nullptr) return nullptr;
        PyObject* network = PyObject_CallOneArg(lazy.network[v6], pair);
        Py_DECREF(pair);
        return converted(network, at, number, "a network whose prefix length is within the address and covers every bit set");
    }
    if (count < 2 || count > (v6 ? 3 : 2) || !PyBytes_Check(first) || PyBytes_GET_SIZE(first) != size) {
        return bad_content(at, number, needed);
    }
    PyObject* zone = count == 3 ? PySequence_Fast_GET_ITEM(content, 2) : nullptr;
    if (zone == nullptr) {  // an interface
        if (!is_integer(second)) return bad_content(at, number, needed);
        PyObject* pair = PyTuple_Pack(2, first, second);
        if (pair == nullptr) return nullptr;
        PyObject* interface = PyObject_CallOneArg(lazy.interface[v6], pair);
        Py_DECREF(pair);
        return converted(interface, at, number, "an address and a prefix length within it");
    }
    if (!(is_integer(second) || second == Py_None) || !(is_integer(zone) || PyUnicode_Check(zone) || PyBytes_Check(zone))) {
        return bad_content(at, number, needed);
    }
    // ipaddress takes a zone only in text: "address%zone", and "/prefix" for an interface.
    PyObject* address = PyObject_CallOneArg(lazy.address[v6], first);
    if (address == nullptr) return converted(nullptr, at, number, needed);
    PyObject* zone_text = PyBytes_Check(zone) ? PyUnicode_FromEncodedObject(zone, "utf-8", "strict") : PyObject_Str(zone);
    if (zone_text == nullptr) {
        Py_DECREF(address);
        return converted(nullptr, at, number, "a zone in UTF-8");
    }
    PyObject* text = second == Py_None ? PyUnicode_FromFormat("%S%%%U", address, zone_text)
                                       : PyUnicode_FromFormat("%S%%%U/%S", address, zone_text, second);
    Py_DECREF(address);
    Py_DECREF(zone_text);
    if (text == nullptr) return converted(nullptr, at, number, needed);
    PyObject* value = PyObject_CallOneArg(second == Py_None ? lazy.address[v6] : lazy.interface[v6], text);
    Py_DECREF(text);
    return converted(value, at, number, "an address with a valid zone and prefix length");
}

// Tag 260 (an older tag for addresses): 4 or 16 bytes as an address; 6 or 8 bytes (a MAC
// address) has no Python type and stays a Tag (or goes to tag_hook).
PyObject* old_address(PyObject* content, std::size_t at, const DecodeHooks& hooks) {
    const char* const needed = "a byte string of 4, 6, 8 or 16 bytes (a network or MAC address)";
    if (!PyBytes_Check(content)) return bad_content(at, CBOR_TAG_NETWORK_ADDRESS, needed);
    const Py_ssize_t size = PyBytes_GET_SIZE(content);
    if (size == 6 || size == 8) {
        Py_INCREF(content);
        return cbor_other_tag(260, content, hooks);
    }
    if (size != 4 && size != 16) return bad_content(at, CBOR_TAG_NETWORK_ADDRESS, needed);
    if (lazily(lazy.ip_address, "ipaddress", "ip_address") == nullptr) return nullptr;
    return converted(PyObject_CallOneArg(lazy.ip_address, content), at, CBOR_TAG_NETWORK_ADDRESS, needed);
}

// Tag 261 (an older tag for networks): a map of one pair, {address bytes (4 or 16): prefix length}.
PyObject* old_network(PyObject* content, std::size_t at) {
    const char* const needed = "a map of one pair {4 or 16 bytes: prefix length}";
    if (!PyDict_Check(content) || PyDict_GET_SIZE(content) != 1) return bad_content(at, CBOR_TAG_NETWORK_PREFIX, needed);
    Py_ssize_t position = 0;
    PyObject *address, *prefix;
    PyDict_Next(content, &position, &address, &prefix);
    if (!PyBytes_Check(address) || (PyBytes_GET_SIZE(address) != 4 && PyBytes_GET_SIZE(address) != 16) ||
        !is_integer(prefix)) {
        return bad_content(at, CBOR_TAG_NETWORK_PREFIX, needed);
    }
    if (lazily(lazy.ip_network, "ipaddress", "ip_network") == nullptr) return nullptr;
    PyObject* pair = PyTuple_Pack(2, address, prefix);
    if (pair == nullptr) return nullptr;
    PyObject* network = PyObject_CallOneArg(lazy.ip_network, pair);
    Py_DECREF(pair);
    return converted(network, at, CBOR_TAG_NETWORK_PREFIX, "a network whose prefix length is within the address and covers every bit set");
}

PyObject* standard(const Library& lib, std::uint64_t number, PyObject* content, bool key, std::size_t at,
                   const DecodeHooks& hooks) {
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
        case CBOR_TAG_RATIONAL:
            return fraction_from_pair(content, at);
        case CBOR_TAG_REGEX:
            return regex_from_text(content, at);
        case CBOR_TAG_MIME:
            return message_from_text(content, at);
        case CBOR_TAG_IPV4:
        case CBOR_TAG_IPV6:
            return ip_from_content(number, content, at);
        case CBOR_TAG_NETWORK_ADDRESS:
            return old_address(content, at, hooks);
        case CBOR_TAG_NETWORK_PREFIX:
            return old_network(content, at);
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

PyObject* cbor_standard_tag(std::uint64_t number, PyObject* content, bool key, std::size_t at,
                            const DecodeHooks& hooks) {
    const Library* lib = library();
    PyObject* value = lib == nullptr ? nullptr : standard(*lib, number, content, key, at, hooks);
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
