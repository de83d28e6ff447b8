"""CBOR data items as JSON values, and back.

What JSON has (null, booleans, numbers, text, arrays, objects with text keys) is written as
itself; the rest as an object with one key, or two for a tag, that starts with "$":

    CBOR                                       JSON
    byte string                                {"$bytes": "<standard base64, padded>"}
    tag N around a value (other than 2 and 3)  {"$tag": N, "$value": <the value>}
    simple value N (undefined is 23)           {"$simple": N}
    NaN, infinity, negative infinity           {"$float": "NaN"}, {"$float": "Infinity"},
                                               {"$float": "-Infinity"}
    map with a key that is not text, or with   {"$map": [[<key>, <value>], ...]}
    a text key that starts with "$"
    integer (bignums, tags 2 and 3, too)       a JSON number, exactly

Any other JSON object with a key starting with "$" is refused, so the two directions are
exact inverses on values: json_to_value(value_to_json(v)) == v for every value cbor.loads
gives (floats as numbers with every digit, -0.0 included). Bytes may differ: json-to-cbor
writes definite lengths and the narrowest exact float width, as cbor.dumps does.
"""

import base64
import binascii
import math

from quorvane_core import cbor

FORMS = ("$bytes", "$tag/$value", "$simple", "$float", "$map")


class MappingError(ValueError):
    """JSON that has no CBOR form: an unknown "$" form, or a malformed one."""


# --- CBOR values to JSON values -----------------------------------------------------------

def value_to_json(value):
    """A JSON-ready value (for json.dumps with allow_nan=False) for a value cbor.loads gave."""
    kind = type(value)
    if value is None or kind is bool or kind is str or kind is int:
        return value
    if kind is float:
        if math.isfinite(value):
            return value
        return {"$float": "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")}
    if kind is bytes:
        return {"$bytes": base64.b64encode(value).decode("ascii")}
    if kind is list or kind is tuple:
        return [value_to_json(member) for member in value]
    if kind is dict:
        if all(type(key) is str and not key.startswith("$") for key in value):
            return {key: value_to_json(member) for key, member in value.items()}
        return {"$map": [[value_to_json(key), value_to_json(member)] for key, member in value.items()]}
    if kind is cbor.Tag:
        return {"$tag": value.tag, "$value": value_to_json(value.value)}
    if kind is cbor.Simple:
        return {"$simple": value.value}
    raise TypeError(f"no JSON form for {kind.__name__}")


# --- JSON values to CBOR values -----------------------------------------------------------

def json_to_value(node, key=False):
    """The value that value_to_json maps to `node` (tuples inside map keys, as loads gives)."""
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
    raise MappingError(f"unknown form {{{shown}}}: an object with a key starting with \"$\" "
                       f"must be one of {', '.join(FORMS)}")


# --- values to CBOR bytes -----------------------------------------------------------------

def encode(value):
    """One CBOR item, definite lengths: cbor.dumps for whatever it writes, and around it the
    tags, simple values and bignums that it does not."""
    parts = []
    _encode(value, parts)
    return b"".join(parts)


def _head(major, number):
    if number < 24:
        return bytes([major << 5 | number])
    for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if number < 1 << (8 * size):
            return bytes([major << 5 | info]) + number.to_bytes(size, "big")
    raise MappingError(f"{number} does not fit a CBOR head")


def _encode(value, parts):
    try:
        parts.append(cbor.dumps(value, False))
        return
    except RecursionError:
        raise
    except (TypeError, RuntimeError):
        pass  # a member that dumps does not write: this level is written here
    kind = type(value)
    if kind is list or kind is tuple:
        parts.append(_head(4, len(value)))
        for member in value:
            _encode(member, parts)
    elif kind is dict:
        parts.append(_head(5, len(value)))
        for name, member in value.items():
            _encode(name, parts)
            _encode(member, parts)
    elif kind is cbor.Tag:
        parts.append(_head(6, value.tag))
        _encode(value.value, parts)
    elif kind is cbor.Simple:
        number = value.value
        parts.append(bytes([0xE0 | number]) if number < 24 else bytes([0xF8, number]))
    elif kind is int:  # beyond 64 bits: a bignum, tag 2 (n) or 3 (-1 - n) around its bytes
        magnitude = value if value >= 0 else -1 - value
        content = magnitude.to_bytes((magnitude.bit_length() + 7) // 8, "big")
        parts.append(_head(6, 2 if value >= 0 else 3) + _head(2, len(content)) + content)
    elif kind is str:
        raise MappingError("a string holds a lone surrogate, which has no UTF-8 form")
    else:
        raise MappingError(f"no CBOR form for {kind.__name__}")
