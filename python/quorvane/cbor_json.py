"""CBOR data items as JSON values, and back.

Plain JSON (the default): what JSON has (null, booleans, numbers, text, arrays, objects with
text keys) is written as itself, integers of any size included, and JSON is read as it is: an
object is a map whatever its keys, "$id" and "$ref" included. A CBOR value that JSON cannot
hold (a byte string, a tag, a simple value or undefined, NaN or an infinity, a map with a key
that is not text) is refused by name and place, naming the typed form that keeps it.

The typed form (typed=True, the command line's --typed) is reversible: the rest is written
as an object with one key, or two for a tag, that starts with "$":

    CBOR                                       JSON
    byte string                                {"$bytes": "<standard base64, padded>"}
    tag N around a value (other than 2 and 3)  {"$tag": N, "$value": <the value>}
    simple value N (undefined is 23)           {"$simple": N}
    NaN, infinity, negative infinity           {"$float": "NaN"}, {"$float": "Infinity"},
                                               {"$float": "-Infinity"}
    map with a key that is not text, or with   {"$map": [[<key>, <value>], ...]}
    a text key that starts with "$"
    integer (bignums, tags 2 and 3, too)       a JSON number, exactly

and any other JSON object with a key starting with "$" is refused, so the two directions are
exact inverses on values: json_to_value(value_to_json(v, True)) == v for every value
cbor.loads gives (floats as numbers with every digit, -0.0 included). Bytes may differ:
json-to-cbor writes definite lengths and the narrowest exact float width, as cbor.dumps does.
cbor.encode writes no standard tag around content the tag does not allow, so such CBOR
(tag 0 around null, say) converts to JSON but not back.

In both forms a JSON number that a 64-bit float cannot hold (1e400, which would become
infinity, or 1e-400, which would become 0.0) is refused rather than changed, and integers
have no limit on their digits.
"""

import base64
import binascii
import contextlib
import json
import math
import sys

from quorvane_core import cbor

FORMS = ("$bytes", "$tag/$value", "$simple", "$float", "$map")

# cbor.undefined where the module has it (CBOR's undefined, simple value 23).
UNDEFINED = getattr(cbor, "undefined", None)
UNDEFINED_NUMBER = 23


class MappingError(ValueError):
    """A value with no form in the direction asked: JSON that has no CBOR form (an unknown
    "$" form, a malformed one, a number no float holds), or CBOR that plain JSON cannot hold."""


@contextlib.contextmanager
def _any_digits():
    """Integers of any number of digits to and from text: the interpreter's limit (4,300
    digits by default, from 3.11 and in later 3.8 to 3.10 releases) lifted for the block."""
    limit = getattr(sys, "get_int_max_str_digits", None)
    if limit is None:
        yield
        return
    before = limit()
    sys.set_int_max_str_digits(0)
    try:
        yield
    finally:
        sys.set_int_max_str_digits(before)


def _shown(text, most=40):
    return text if len(text) <= most else f"{text[:most]}... ({len(text)} characters)"


def _float(text):
    """A JSON number with a fraction or an exponent as a float, refused when the float would
    not be near it: an infinity for 1e400, 0.0 for 1e-400."""
    number = float(text)
    if number != 0.0 and number - number == 0.0:
        return number
    if number != 0.0:
        raise MappingError(f"the number {_shown(text)} is beyond the range of a 64-bit float "
                           f"(about 1.8e308 at most)")
    if any(digit in "123456789" for digit in text.lower().partition("e")[0]):
        raise MappingError(f"the number {_shown(text)} is too small for a 64-bit float "
                           f"(it would be read as 0.0)")
    return number


def read_json(data, typed=False):
    """The CBOR-ready value of a JSON text (bytes or str): as it is (typed=False) or with the
    "$" forms read (typed=True). ValueError (json's JSONDecodeError) for invalid JSON,
    MappingError for JSON with no CBOR form."""
    with _any_digits():
        tree = json.loads(data, parse_float=_float)
    return json_to_value(tree) if typed else tree


def write_json(value, typed=False, pretty=False):
    """The JSON text of a value cbor.loads gave: plain (MappingError for what JSON cannot
    hold) or typed; one line, or indented with pretty."""
    node = value_to_json(value, typed)
    with _any_digits():
        return json.dumps(node, ensure_ascii=False, allow_nan=False, indent=2 if pretty else None,
                          separators=(",", ": ") if pretty else (",", ":"))


# --- CBOR values to JSON values -----------------------------------------------------------

class _NoPlainForm(Exception):
    """A value plain JSON cannot hold; `where` collects its place on the way out."""

    def __init__(self, what):
        super().__init__(what)
        self.what = what
        self.where = []


def _pointer(where):
    """A JSON Pointer (RFC 6901) to the place, from the parts collected innermost first."""
    parts = (str(part).replace("~", "~0").replace("/", "~1") for part in reversed(where))
    return "/" + "/".join(parts) if where else "the top"


def value_to_json(value, typed=False):
    """A JSON-ready value (for json.dumps with allow_nan=False) for a value cbor.loads gave:
    the typed form, or plain JSON (MappingError naming what JSON cannot hold, and where)."""
    try:
        return _to_json(value, typed)
    except _NoPlainForm as error:
        raise MappingError(f"{error.what} at {_pointer(error.where)} has no plain JSON form "
                           f"(--typed writes the typed form)") from None


def _to_json(value, typed):
    kind = type(value)
    if value is None or kind is bool or kind is str or kind is int:
        return value
    if kind is float:
        if math.isfinite(value):
            return value
        name = "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
        if not typed:
            raise _NoPlainForm(name)
        return {"$float": name}
    if kind is list or kind is tuple:
        members = []
        for index, member in enumerate(value):
            try:
                members.append(_to_json(member, typed))
            except _NoPlainForm as error:
                error.where.append(index)
                raise
        return members
    if kind is dict:
        if all(type(key) is str and (not typed or not key.startswith("$")) for key in value):
            members = {}
            for key, member in value.items():
                try:
                    members[key] = _to_json(member, typed)
                except _NoPlainForm as error:
                    error.where.append(key)
                    raise
            return members
        if not typed:
            raise _NoPlainForm("a map with a key that is not text")
        return {"$map": [[_to_json(key, typed), _to_json(member, typed)] for key, member in value.items()]}
    if not typed:
        raise _NoPlainForm(_plain_name(value))
    if kind is bytes:
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    if kind is cbor.Tag:
        return {"$tag": value.tag, "$value": _to_json(value.value, typed)}
    if kind is cbor.Simple:
        return {"$simple": value.value}
    if UNDEFINED is not None and value is UNDEFINED:
        return {"$simple": UNDEFINED_NUMBER}
    raise TypeError(f"no JSON form for {kind.__name__}")


def _plain_name(value):
    kind = type(value)
    if kind is bytes:
        return "a byte string"
    if kind is cbor.Tag:
        return f"tag {value.tag}"
    if kind is cbor.Simple:
        return f"simple value {value.value}"
    if UNDEFINED is not None and value is UNDEFINED:
        return "undefined"
    return kind.__name__


# --- JSON values to CBOR values -----------------------------------------------------------

def json_to_value(node, key=False):
    """The value that value_to_json(..., typed=True) maps to `node` (tuples inside map keys,
    as loads gives)."""
    kind = type(node)
    if kind is list:
        members = [json_to_value(member, key) for member in node]
        return tuple(members) if key else members
    if kind is dict:
        if not any(name.startswith("$") for name in node):
            if key:
                raise MappingError("a map cannot be (part of) a map key")
            return {name: json_to_value(member) for name, member in node.items()}
        return _form(node, key)
    return node  # null, booleans, numbers, text


def _form(node, key):
    names = set(node)
    if names == {"$bytes"}:
        text = node["$bytes"]
        if type(text) is not str:
            raise MappingError('"$bytes" takes a base64 string')
        try:
            return base64.b64decode(text, validate=True)
        except (binascii.Error, ValueError) as error:
            raise MappingError(f'"$bytes" is not valid base64: {error}') from None
    if names == {"$tag", "$value"}:
        tag = node["$tag"]
        if type(tag) is not int:
            raise MappingError('"$tag" takes an integer')
        try:
            return cbor.Tag(tag, json_to_value(node["$value"], key))
        except ValueError as error:
            raise MappingError(f'"$tag": {error}') from None
    if names == {"$simple"}:
        number = node["$simple"]
        if type(number) is not int:
            raise MappingError('"$simple" takes an integer')
        if number == UNDEFINED_NUMBER and UNDEFINED is not None:
            return UNDEFINED
        try:
            return cbor.Simple(number)
        except ValueError as error:
            raise MappingError(f'"$simple": {error}') from None
    if names == {"$float"}:
        special = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}
        if node["$float"] not in special:
            raise MappingError('"$float" takes "NaN", "Infinity" or "-Infinity"')
        return special[node["$float"]]
    if names == {"$map"}:
        if key:
            raise MappingError("a map cannot be (part of) a map key")
        pairs = node["$map"]
        if type(pairs) is not list or not all(type(pair) is list and len(pair) == 2 for pair in pairs):
            raise MappingError('"$map" takes a list of [key, value] pairs')
        result = {}
        for name, member in pairs:
            name = json_to_value(name, key=True)
            try:
                result[name] = json_to_value(member)
            except TypeError:
                raise MappingError("a map key holds a value that cannot be a key") from None
        return result
    shown = ", ".join(sorted(names))
    raise MappingError(f"unknown form {{{shown}}}: with --typed, an object with a key starting with \"$\" "
                       f"must be one of {', '.join(FORMS)} (plain JSON needs no --typed)")


# --- values to CBOR bytes -----------------------------------------------------------------

def encode(value):
    """One CBOR item, definite lengths, by cbor.encode (bignums as tags 2 and 3). What encode
    refuses is a MappingError with its message: a str with a lone surrogate (no UTF-8 form),
    a standard tag around content the tag does not allow ({"$tag": 0, "$value": null})."""
    try:
        return cbor.encode(value)
    except (TypeError, ValueError) as error:
        raise MappingError(str(error)) from None
