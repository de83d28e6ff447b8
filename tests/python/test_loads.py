"""cbor.loads: the examples of RFC 8949 Appendix A, round trips through dumps, agreement with
cbor2 on random well-formed items, hostile input (every malformation, huge declared lengths,
deep nesting, truncation at every offset) and leaks on success and failure."""

import array
import datetime
import gc
import math
import pathlib
import pickle
import re
import struct
import sys
from collections.abc import Mapping

import cbor2
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quorvane_core import cbor

from conftest import CPYTHON, cbor_head as head

loads = cbor.loads
dumps = cbor.dumps
Tag = cbor.Tag
Simple = cbor.Simple
CBORDecodeError = cbor.CBORDecodeError


def same(a, b):
    """Equal values of the same types, NaN equal to NaN, dicts in the same order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return len(a) == len(b) and all(same(ka, kb) and same(va, vb)
                                        for (ka, va), (kb, vb) in zip(a.items(), b.items()))
    if isinstance(a, Tag):
        return a.tag == b.tag and same(a.value, b.value)
    return a == b


# --------------------------------------------------------------------------- RFC 8949, Appendix A

NAN = float("nan")
INF = float("inf")
APPENDIX_A = [
    ("00", 0), ("01", 1), ("0a", 10), ("17", 23), ("1818", 24), ("1819", 25), ("1864", 100),
    ("1903e8", 1000), ("1a000f4240", 1000000), ("1b000000e8d4a51000", 1000000000000),
    ("1bffffffffffffffff", 18446744073709551615), ("c249010000000000000000", 18446744073709551616),
    ("3bffffffffffffffff", -18446744073709551616), ("c349010000000000000000", -18446744073709551617),
    ("20", -1), ("29", -10), ("3863", -100), ("3903e7", -1000),
    ("f90000", 0.0), ("f98000", -0.0), ("f93c00", 1.0), ("fb3ff199999999999a", 1.1), ("f93e00", 1.5),
    ("f97bff", 65504.0), ("fa47c35000", 100000.0), ("fa7f7fffff", 3.4028234663852886e+38),
    ("fb7e37e43c8800759c", 1.0e+300), ("f90001", 5.960464477539063e-8), ("f90400", 0.00006103515625),
    ("f9c400", -4.0), ("fbc010666666666666", -4.1),
    ("f97c00", INF), ("f97e00", NAN), ("f9fc00", -INF), ("fa7f800000", INF), ("fa7fc00000", NAN),
    ("faff800000", -INF), ("fb7ff0000000000000", INF), ("fb7ff8000000000000", NAN), ("fbfff0000000000000", -INF),
    ("f4", False), ("f5", True), ("f6", None), ("f7", cbor.undefined), ("f0", Simple(16)), ("f8ff", Simple(255)),
    # the standard date and time tags decode to datetime (Tag before cbor.encode came)
    ("c074323031332d30332d32315432303a30343a30305a", datetime.datetime(2013, 3, 21, 20, 4, tzinfo=datetime.timezone.utc)),
    ("c11a514b67b0", datetime.datetime(2013, 3, 21, 20, 4, tzinfo=datetime.timezone.utc)),
    ("c1fb41d452d9ec200000", datetime.datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=datetime.timezone.utc)),
    ("d74401020304", Tag(23, b"\x01\x02\x03\x04")), ("d818456449455446", Tag(24, b"dIETF")),
    ("d82076687474703a2f2f7777772e6578616d706c652e636f6d", Tag(32, "http://www.example.com")),
    ("40", b""), ("4401020304", b"\x01\x02\x03\x04"), ("60", ""), ("6161", "a"), ("6449455446", "IETF"),
    ("62225c", "\"\\"), ("62c3bc", "\u00fc"), ("63e6b0b4", "\u6c34"), ("64f0908591", "\U00010151"),
    ("80", []), ("83010203", [1, 2, 3]), ("8301820203820405", [1, [2, 3], [4, 5]]),
    ("98190102030405060708090a0b0c0d0e0f101112131415161718181819", list(range(1, 26))),
    ("a0", {}), ("a201020304", {1: 2, 3: 4}), ("a26161016162820203", {"a": 1, "b": [2, 3]}),
    ("826161a161626163", ["a", {"b": "c"}]),
    ("a56161614161626142616361436164614461656145", {"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"}),
    ("5f42010243030405ff", b"\x01\x02\x03\x04\x05"), ("7f657374726561646d696e67ff", "streaming"),
    ("9fff", []), ("9f018202039f0405ffff", [1, [2, 3], [4, 5]]), ("9f01820203820405ff", [1, [2, 3], [4, 5]]),
    ("83018202039f0405ff", [1, [2, 3], [4, 5]]), ("83019f0203ff820405", [1, [2, 3], [4, 5]]),
    ("9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", list(range(1, 26))),
    ("bf61610161629f0203ffff", {"a": 1, "b": [2, 3]}), ("826161bf61626163ff", ["a", {"b": "c"}]),
    ("bf6346756ef563416d7421ff", {"Fun": True, "Amt": -2}),
]


# Beyond the appendix: empty chunks and empty indefinite strings, non-shortest heads, the
# largest integers of each sign, empty bignums, a tagged tag, duplicate keys.
MORE = [
    ("7f6060ff", ""), ("5f4040ff", b""), ("7fff", ""), ("5fff", b""), ("7f60616160ff", "a"),
    ("1b0000000000000001", 1), ("3900ff", -256), ("b90001616101", {"a": 1}), ("99000101", [1]),
    ("3b7fffffffffffffff", -(2**63)), ("c240", 0), ("c340", -1), ("c6c78101", Tag(6, Tag(7, [1]))),
    ("a201020103", {1: 3}), ("f820", Simple(32)), ("e0", Simple(0)),
]


@pytest.mark.parametrize("encoded, expected", APPENDIX_A + MORE, ids=[e for e, _ in APPENDIX_A + MORE])
def test_decodings(encoded, expected):
    assert same(loads(bytes.fromhex(encoded)), expected)


def test_every_half_precision_pattern_reads_as_struct_does():
    for pattern in range(1 << 16):
        raw = pattern.to_bytes(2, "big")
        assert same(loads(b"\xf9" + raw), struct.unpack(">e", raw)[0]), hex(pattern)


# --------------------------------------------------------------------------- round trips

scalars = (st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats() | st.text()
           | st.binary())
key_scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=20) | st.binary(max_size=8)
keys = st.recursive(key_scalars, lambda inner: st.tuples(inner, inner) | st.lists(inner, max_size=3).map(tuple),
                    max_leaves=6)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=6) | st.tuples(inner, inner)
                      | st.dictionaries(keys, inner, max_size=6), max_leaves=40)


def as_read(value, key=False):
    """What loads gives back for a value that dumps wrote: tuples as lists, except in keys."""
    if isinstance(value, (list, tuple)):
        items = [as_read(v, key) for v in value]
        return tuple(items) if key else items
    if isinstance(value, dict):
        return {as_read(k, True): as_read(v) for k, v in value.items()}
    return value


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(values, st.booleans())
def test_round_trip_through_dumps(value, indefinite):
    encoded = dumps(value, indefinite)
    assert same(loads(encoded), as_read(value))
    assert same(loads(bytearray(encoded)), loads(memoryview(encoded)))


def test_round_trip_of_many_keys_and_long_strings():
    """Many distinct short keys (the key cache's collisions and replacements), keys just past the
    cached length, repeated keys in many records and long ASCII and non-ASCII strings."""
    value = {
        "wide": {f"k{i}": i for i in range(5000)},
        "lengths": {"x" * n: n for n in range(0, 40)},
        "near": {"abcdefghijklmnop"[:15] + c: c for c in "abcdefghij"},
        "records": [{"id": i, "name": "n", "tags": ["a", "b"], "\u00e9t\u00e9": i % 7} for i in range(300)],
        "text": ["a" * 1000, "\u00e9" * 1000, "a" * 999 + "\u00e9", "\U0001f642" * 33, "x" * 31 + "\u20ac"],
        "tuples": {(1, (2, "a")): "t", ((),): "empty"},
    }
    for indefinite in (True, False):
        assert same(loads(dumps(value, indefinite)), as_read(value))


# --------------------------------------------------------------------------- against cbor2

TAG_NUMBERS = [6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 1000, 40000, 2**32 + 5, 2**64 - 1]


widths = st.integers(0, 4)


def string_item(major, content_strategy):
    definite = st.builds(lambda c, w: head(major, len(c), w) + c, content_strategy, widths)
    chunked = st.builds(lambda chunks, w: bytes([major << 5 | 31]) + b"".join(head(major, len(c), w) + c
                                                                           for c in chunks) + b"\xff",
                        st.lists(content_strategy, max_size=4), widths)
    return definite | chunked


wire_text = st.text(max_size=12).map(lambda t: t.encode("utf-8"))
wire_scalars = st.one_of(
    st.builds(lambda n, w: head(0, n, w), st.integers(0, 2**64 - 1), widths),
    st.builds(lambda n, w: head(1, n, w), st.integers(0, 2**64 - 1), widths),
    string_item(2, st.binary(max_size=12)),
    string_item(3, wire_text),
    st.sampled_from([b"\xf4", b"\xf5", b"\xf6", b"\xf7"]),
    st.integers(0, 19).map(lambda n: bytes([0xE0 | n])),
    st.integers(32, 255).map(lambda n: bytes([0xF8, n])),
    st.binary(min_size=2, max_size=2).map(lambda b: b"\xf9" + b),
    st.binary(min_size=4, max_size=4).map(lambda b: b"\xfa" + b),
    st.binary(min_size=8, max_size=8).map(lambda b: b"\xfb" + b),
    st.builds(lambda t, b: bytes([0xC0 | t]) + head(2, len(b), 0) + b, st.sampled_from([2, 3]), st.binary(max_size=20)),
)
wire_keys = st.one_of(
    st.builds(lambda n, w: head(0, n, w), st.integers(0, 2**64 - 1), widths),
    st.builds(lambda n: head(1, n, 0), st.integers(0, 2**64 - 1)),
    string_item(3, wire_text), string_item(2, st.binary(max_size=6)),
    st.lists(st.builds(lambda n: head(0, n, 0), st.integers(0, 100)), max_size=3)
    .map(lambda items: head(4, len(items), 0) + b"".join(items)),
)


def wire_containers(inner):
    array = st.builds(lambda items, w: head(4, len(items), w) + b"".join(items), st.lists(inner, max_size=5), widths)
    array_indefinite = st.lists(inner, max_size=5).map(lambda items: b"\x9f" + b"".join(items) + b"\xff")
    pairs = st.lists(st.tuples(wire_keys, inner), max_size=5)
    map_ = st.builds(lambda ps, w: head(5, len(ps), w) + b"".join(k + v for k, v in ps), pairs, widths)
    map_indefinite = pairs.map(lambda ps: b"\xbf" + b"".join(k + v for k, v in ps) + b"\xff")
    tagged = st.builds(lambda t, w, item: head(6, t, w) + item, st.sampled_from(TAG_NUMBERS), widths, inner)
    return array | array_indefinite | map_ | map_indefinite | tagged


wire_items = st.recursive(wire_scalars, wire_containers, max_leaves=30)


def from_cbor2(value, key=False):
    """Our reading of what cbor2 read. cbor2 makes tag contents immutable (tuples, frozendict);
    we keep lists and dicts outside map keys."""
    if isinstance(value, cbor2.CBORTag):
        return Tag(value.tag, from_cbor2(value.value, key))
    if isinstance(value, cbor2.CBORSimpleValue):
        return Simple(value.value)
    if value is cbor2.undefined:
        return cbor.undefined
    if isinstance(value, (list, tuple)):
        items = [from_cbor2(v, key) for v in value]
        return tuple(items) if key else items
    if isinstance(value, Mapping):
        return {from_cbor2(k, True): from_cbor2(v) for k, v in value.items()}
    return value


@pytest.mark.skipif(not CPYTHON, reason="the oracle is cbor2's C decoder (its pure-Python one differs)")
@settings(max_examples=600, suppress_health_check=[HealthCheck.too_slow])
@given(wire_items)
def test_agrees_with_cbor2_on_well_formed_items(encoded):
    assert same(loads(encoded), from_cbor2(cbor2.loads(encoded)))


# --------------------------------------------------------------------------- the value classes

def test_tag_and_simple_values():
    tag = Tag(2**64 - 1, [1, "x"])
    assert (tag.tag, tag.value) == (2**64 - 1, [1, "x"])
    assert repr(tag) == "Tag(18446744073709551615, [1, 'x'])" and repr(Simple(23)) == "Simple(23)"
    assert Tag(1, (2, 3)) == Tag(1, (2, 3)) and Tag(1, 2) != Tag(2, 2) and Tag(1, 2) != Tag(1, 3)
    assert Tag(1, 2) != (1, 2) and Simple(1) != 1 and Simple(7) == Simple(7) and Simple(7) != Simple(8)
    assert hash(Tag(1, (2, "a"))) == hash(Tag(1, (2, "a"))) and len({Simple(5), Simple(5), Simple(6)}) == 2
    with pytest.raises(TypeError):
        hash(Tag(1, [2]))
    for bad in (lambda: Tag(-1, 0), lambda: Tag(2**64, 0), lambda: Simple(24), lambda: Simple(31),
                lambda: Simple(256), lambda: Simple(-1)):
        with pytest.raises(ValueError):
            bad()
    for bad in (lambda: Tag("1", 0), lambda: Simple(1.0), lambda: Tag(1), lambda: Simple()):
        with pytest.raises(TypeError):
            bad()
    with pytest.raises(AttributeError):
        tag.value = 1
    assert pickle.loads(pickle.dumps(tag)) == tag and pickle.loads(pickle.dumps(Simple(99))) == Simple(99)
    assert loads(dumps({(1, 2): "x"})) == {(1, 2): "x"}
    assert loads(bytes.fromhex("a1d863820102f5")) == {Tag(99, (1, 2)): True}  # tagged array key: a tuple
    cyclic = Tag(1, [])
    cyclic.value.append(cyclic)
    assert repr(cyclic) == "Tag(1, [Tag(...)])"
    assert issubclass(CBORDecodeError, ValueError)
    for value in (Tag(1, 2), Simple(23)):  # dumps treats them as any unknown object, a set say
        with pytest.raises(TypeError):
            dumps(value)
    for value in ([Simple(0)], {"a": Tag(1, 2)}, [{1}]):
        with pytest.raises(RuntimeError, match="^Unable to cast Python instance"):
            dumps(value)


# --------------------------------------------------------------------------- hostile input

DEEP = 10**6
ERR = CBORDecodeError
HOSTILE = [
    # name, input, exception, pattern the message matches
    ("empty", b"", ERR, "byte 0: the input is empty"),
    ("trailing-1", b"\x01\x02", ERR, "byte 1: 1 byte after the end"),
    ("trailing-3", b"\x80\x00\x00\x00", ERR, "byte 1: 3 bytes after the end"),
    ("reserved-28-uint", b"\x1c", ERR, "byte 0: reserved additional information 28"),
    ("reserved-29-neg", b"\x3d", ERR, "reserved additional information 29"),
    ("reserved-30-bytes", b"\x5e", ERR, "reserved additional information 30"),
    ("reserved-in-array", b"\x82\x01\x7c", ERR, "byte 2: reserved additional information 28"),
    ("reserved-simple", b"\xfc", ERR, "reserved additional information 28"),
    ("indefinite-uint", b"\x1f", ERR, "an integer cannot have an indefinite length"),
    ("indefinite-neg", b"\x3f", ERR, "an integer cannot have an indefinite length"),
    ("indefinite-tag", b"\xdf\x00", ERR, "a tag cannot have an indefinite length"),
    ("break-top", b"\xff", ERR, "byte 0: a break"),
    ("break-definite-array", b"\x82\x01\xff", ERR, "byte 2: a break"),
    ("break-tag", b"\x9f\xc1\xff", ERR, "byte 2: a break"),
    ("break-after-item", b"\x01\xff", ERR, "1 byte after"),
    ("chunk-other-type", b"\x5f\x61\x61\xff", ERR, "byte 1: a chunk of an indefinite-length byte string"),
    ("chunk-text-in-bytes", b"\x7f\x41\x61\xff", ERR, "byte 1: a chunk of an indefinite-length text string"),
    ("chunk-nested-indefinite", b"\x5f\x5f\xff\xff", ERR, "byte 1: a chunk"),
    ("chunk-int", b"\x7f\x01\xff", ERR, "byte 1: a chunk"),
    ("chunk-splits-character", b"\x7f\x61\xc3\x61\xbc\xff", ERR, "byte 4: a text string chunk must not start"),
    ("chunk-truncated", b"\x5f\x42\x01", ERR, "string chunk of 2 bytes declared, 1 remain"),
    ("chunks-unterminated", b"\x7f\x61\x61", ERR, "byte 3: truncated: the input ends inside an indefinite-length text"),
    ("simple-24-two-bytes", b"\xf8\x18", ERR, "byte 0: simple value 24 written in two bytes"),
    ("simple-31-two-bytes", b"\xf8\x1f", ERR, "simple value 31 written in two bytes"),
    ("simple-false-two-bytes", b"\xf8\x14", ERR, "simple value 20 written in two bytes"),
    ("odd-map", b"\xbf\x01\xff", ERR, "byte 2: the indefinite-length map that starts at byte 0 has an odd"),
    ("odd-map-nested", b"\x81\xbf\x61\x61\x02\x03\xff", ERR, "byte 6: .* starts at byte 1 has an odd"),
    ("utf8-invalid-start", b"\x61\xff", ERR, r"byte 1: invalid UTF-8 in the text string that starts at byte 0"),
    ("utf8-overlong", b"\x82\x00\x62\xc0\x80", ERR, "byte 3: invalid UTF-8"),
    ("utf8-surrogate", b"\x63\xed\xa0\x80", ERR, "byte 1: invalid UTF-8"),
    ("utf8-cut", b"\x62\x61\xe2", ERR, "byte 2: invalid UTF-8"),
    ("utf8-key", b"\xa1\x62\x61\xff\x00", ERR, "byte 3: invalid UTF-8 in the text string that starts at byte 1"),
    ("utf8-chunks", b"\x7f\x61\x61\x61\xff\xff", ERR, "byte 4: invalid UTF-8"),
    ("map-key", b"\xa1\xa0\x00", ERR, "byte 1: a map cannot be .*a map key"),
    ("map-in-array-key", b"\xa1\x81\xa0\x00", ERR, "byte 2: a map cannot be"),
    ("map-in-tag-key", b"\xbf\xc1\xa0\x00\xff", ERR, "byte 2: a map cannot be"),
    ("bignum-not-bytes", b"\xc2\x01", ERR, "byte 0: the content of tag 2 .* must be a byte string"),
    ("bignum-text", b"\xc3\x61\x61", ERR, "the content of tag 3"),
    ("truncated-argument", b"\x19\x01", ERR, "byte 0: truncated item: 2 more bytes needed, 1 remain"),
    ("truncated-negative", b"\x39\x01", ERR, "truncated item"),
    ("truncated-double", b"\xfb\x00\x00", ERR, "truncated item: 8 more bytes needed, 2 remain"),
    ("truncated-half", b"\xf9\x00", ERR, "truncated item"),
    ("truncated-array", b"\x82\x19\x01\x00", ERR, "byte 4: truncated: the input ends inside an array that starts at byte 0"),
    ("truncated-map", b"\xa1\x19\x01\x00", ERR, "byte 4: truncated: the input ends inside a map that starts at byte 0"),
    ("truncated-indefinite", b"\x82\x9f\x01\x01", ERR, "byte 4: .* inside an indefinite-length array that starts at byte 1"),
    ("truncated-indefinite-map", b"\xbf\x01\x01", ERR, "byte 3: .* inside an indefinite-length map that starts at byte 0"),
    ("array-too-long", b"\x83\x01\x02", ERR, "byte 0: array of 3 items declared, 2 bytes remain"),
    ("truncated-tag", b"\xc1", ERR, "byte 1: truncated: the input ends inside a tag"),
    ("huge-bytes", b"\x5b\x80" + bytes(7) + b"abc", ERR, "byte 0: byte string of 9223372036854775808 bytes declared, 3 remain"),
    ("huge-text", b"\x7b" + b"\xff" * 8, ERR, "text string of 18446744073709551615 bytes declared, 0 remain"),
    ("huge-array", b"\x9b" + b"\xff" * 8 + b"\x00", ERR, "array of 18446744073709551615 items declared, 1 bytes remain"),
    ("huge-array-32", b"\x9a\xff\xff\xff\xff" + bytes(100), ERR, "array of 4294967295 items declared"),
    ("huge-map", b"\xbb" + b"\xff" * 8, ERR, "map of 18446744073709551615 pairs declared"),
    ("map-just-too-long", b"\xa2\x01\x02\x03", ERR, "map of 2 pairs declared, 3 bytes remain"),
    ("huge-chunk", b"\x5f\x5b" + b"\xff" * 8 + b"\xff", ERR, "string chunk of 18446744073709551615 bytes"),
    ("deep-arrays", b"\x81" * DEEP + b"\x00", RecursionError, "maximum recursion depth exceeded while decoding CBOR"),
    ("deep-indefinite", b"\x9f" * DEEP, RecursionError, "maximum recursion depth"),
    ("deep-maps", b"\xa1\x00" * DEEP + b"\x00", RecursionError, "maximum recursion depth"),
    ("deep-tags", b"\xc6" * DEEP + b"\x00", RecursionError, "maximum recursion depth"),
    ("deep-tuple-keys", b"\xa1" + b"\x81" * DEEP + b"\x00\x00", RecursionError, "maximum recursion depth"),
]


@pytest.mark.parametrize("data, error, message", [pytest.param(d, e, m, id=n) for n, d, e, m in HOSTILE])
def test_hostile_input(data, error, message):
    with pytest.raises(error, match=message):
        loads(data)
    buffer = bytearray(data)
    with pytest.raises(error):
        loads(buffer)
    buffer.append(0)  # the buffer was released: resizing works


# Text strings against the interpreter's strict UTF-8 decoder: characters of every storage
# class, and the byte sequences it refuses (surrogates, overlong forms, beyond U+10FFFF, stray
# continuation bytes, cut sequences), mixed; the result or the error's offset and reason agree.
utf8_pieces = st.one_of(
    st.text(st.characters(max_codepoint=0x7F), max_size=20),
    st.characters(min_codepoint=0x80, max_codepoint=0xFF),
    st.characters(min_codepoint=0x100, max_codepoint=0x7FF),
    st.characters(min_codepoint=0x800, max_codepoint=0xFFFF, blacklist_categories=("Cs",)),
    st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF),
).map(lambda t: t.encode("utf-8")) | st.one_of(
    st.integers(0xD800, 0xDFFF).map(lambda c: bytes([0xE0 | c >> 12, 0x80 | (c >> 6) & 0x3F, 0x80 | c & 0x3F])),
    st.builds(lambda lead, c: bytes([lead, c]), st.sampled_from([0xC0, 0xC1]), st.integers(0x80, 0xBF)),
    st.integers(0, 0x7FF).map(lambda c: bytes([0xE0, 0x80 | c >> 6, 0x80 | c & 0x3F])),
    st.integers(0, 0xFFFF).map(lambda c: bytes([0xF0, 0x80 | c >> 12, 0x80 | (c >> 6) & 0x3F, 0x80 | c & 0x3F])),
    st.integers(0x110000, 0x1FFFFF).map(lambda c: bytes([0xF0 | c >> 18, 0x80 | (c >> 12) & 0x3F,
                                                         0x80 | (c >> 6) & 0x3F, 0x80 | c & 0x3F])),
    st.integers(0xF5, 0xFF).map(lambda b: bytes([b, 0x80, 0x80, 0x80])),
    st.integers(0x80, 0xBF).map(lambda b: bytes([b])),
    st.characters(min_codepoint=0x80).map(lambda c: c.encode("utf-8", "surrogatepass")[:-1]),
)


@settings(max_examples=1500, deadline=None)
@given(st.lists(utf8_pieces, max_size=12).map(b"".join), widths)
def test_text_matches_strict_utf8(content, width):
    encoded = head(3, len(content), width) + content
    offset = len(encoded) - len(content)
    try:
        expected = content.decode("utf-8")
    except UnicodeDecodeError as exc:
        message = f"CBOR decode error at byte {offset + exc.start}: invalid UTF-8 in the text string " \
                  f"that starts at byte 0 ({exc.reason})"
        with pytest.raises(CBORDecodeError) as caught:
            loads(encoded)
        assert str(caught.value) == message
    else:
        assert same(loads(encoded), expected)
        assert same(loads(b"\xa1" + encoded + b"\x00"), {expected: 0})


# PyPy frees a value this deep that was built through its C API recursively, and its native
# stack overflows when the value dies: there the values kept are smaller.
KEPT_DEEP = DEEP if CPYTHON else DEEP // 100


@pytest.mark.parametrize("prefix, count", [(b"\x81", KEPT_DEEP), (b"\xc6", KEPT_DEEP), (b"\xa1\x00", KEPT_DEEP // 2)])
def test_deep_nesting_within_max_depth(prefix, count):
    """With max_depth above the nesting, a million levels decode without native recursion."""
    data = prefix * count + b"\x00"
    value = loads(data, max_depth=count)
    for _ in range(3):
        value = value[0] if isinstance(value, list) else value.value if isinstance(value, Tag) else value[0]
    with pytest.raises(CBORDecodeError, match=f"nesting deeper than max_depth \\({count - 1}\\)"):
        loads(data, max_depth=count - 1)
    del value


@pytest.mark.parametrize("value", [1, [1], [[1]], {"a": {"b": [1, 2]}}, [[]], [{}], {"a": []}, [[[[]]]]])
@pytest.mark.parametrize("indefinite", [True, False])
def test_max_depth_mirrors_dumps(value, indefinite):
    encoded = dumps(value, indefinite)
    for depth in range(1, 6):
        try:
            dumps(value, indefinite, depth)
            written = True
        except RuntimeError:
            written = False
        if written:
            assert loads(encoded, max_depth=depth) == value
        else:
            with pytest.raises(CBORDecodeError, match="nesting deeper than max_depth"):
                loads(encoded, max_depth=depth)


def test_recursion_limit_is_the_default_limit():
    limit = sys.getrecursionlimit()
    assert loads(b"\x81" * (limit - 50) + b"\x00") is not None
    with pytest.raises(RecursionError):
        loads(b"\x81" * (limit + 1) + b"\x00")


SAMPLE = dumps({"name": "sample \u00e9", "ids": [1, 500, 70000, 2**40, -3], "f": [1.5, 0.1, 1e-7],
                "raw": b"\x00\x01", "nested": [{"a": None, "b": True}, (1, 2)], "big": 2**64 - 1})
SAMPLE_DEFINITE = dumps(loads(SAMPLE), False)


@pytest.mark.parametrize("sample", [SAMPLE, SAMPLE_DEFINITE, bytes.fromhex("9f018202039f0405ffff"),
                                    bytes.fromhex("7f657374726561646d696e67ff"), bytes.fromhex("c249010000000000000000")])
def test_truncation_at_every_offset(sample):
    loads(sample)
    for cut in range(len(sample)):
        with pytest.raises(CBORDecodeError) as error:
            loads(sample[:cut])
        at = int(re.match(r"CBOR decode error at byte ([0-9]+): ", str(error.value)).group(1))
        assert at <= cut and re.search("truncated|declared|is empty", str(error.value))


@settings(max_examples=300, suppress_health_check=[HealthCheck.too_slow])
@given(st.binary(max_size=64))
def test_arbitrary_bytes_decode_or_raise_the_documented_error(data):
    try:
        loads(data)
    except CBORDecodeError as error:
        assert " at byte " in str(error)
    except RecursionError:
        pytest.fail("shallow input hit the recursion limit")


FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
FUZZ_INPUTS = sorted(p for d in ("corpus/fuzz_loads", "regressions/fuzz_loads") if (FUZZ / d).is_dir()
                     for p in (FUZZ / d).iterdir())


@pytest.mark.parametrize("path", FUZZ_INPUTS, ids=[p.name for p in FUZZ_INPUTS])
def test_fuzz_seeds_and_regressions(path):
    data = path.read_bytes()
    try:
        value = loads(data)
    except (CBORDecodeError, RecursionError):
        return
    assert type(loads(bytearray(data))) is type(value)  # some are too deep to compare here


def test_input_types():
    encoded = dumps([1, "a", b"b"])
    for data in (encoded, bytearray(encoded), memoryview(encoded), memoryview(b"xx" + encoded)[2:],
                 array.array("B", encoded)):
        assert loads(data) == [1, "a", b"b"]
    assert loads(data=encoded, max_depth=3) == [1, "a", b"b"]
    for bad in ("text", 1, None, [1]):
        with pytest.raises(TypeError):
            loads(bad)
    with pytest.raises((BufferError, TypeError, ValueError)):
        loads(memoryview(encoded * 2)[::2])
    for bad in (-1, 1.5, 2**64):
        with pytest.raises(TypeError):
            loads(encoded, max_depth=bad)


def test_duplicate_keys_last_wins_in_first_position():
    assert list(loads(bytes.fromhex("a3616101616202616103")).items()) == [("a", 3), ("b", 2)]


# --------------------------------------------------------------------------- leaks

BIG = 16 * 1024
DOC = dumps({"text": "\u00e9" * BIG, "ascii": "a" * BIG, "raw": bytes(BIG), "ints": list(range(-100, 2000)),
             "records": [{"id": i, "k": [i, 2.5], (1, 2): None} for i in range(200)], "big": 2**64 - 1}, False)
FAILING = [
    DOC[:-1],                                     # truncated deep inside the last map
    DOC[:-9] + b"\xff",                           # break for the last value of a definite map
    b"\x9f" + DOC + b"\xbf\x61a\xff",             # odd map after a complete document
    b"\x9f" + DOC + b"\xa1\xa0\x00",              # a map key after a complete document
    b"\x9f" + DOC + b"\x62\xc3\x28\xff",          # invalid UTF-8 after a complete document
    b"\x9f" + DOC + b"\xc2\x01\xff",              # bignum of an int
    DOC + b"\x00",                                # trailing byte after the whole document
    b"\x9f" + DOC + b"\xd9\x03\xe8\x81" + b"\x81" * 2000,   # too deep after a complete document
]


def _call_all():
    assert loads(DOC)["big"] == 2**64 - 1
    loads(bytes.fromhex("83d82076687474703a2f2f7777772e6578616d706c652e636f6df7f0"))  # Tag and Simple
    for data in FAILING:
        try:
            loads(data)
        except (CBORDecodeError, RecursionError):
            pass
        else:
            raise AssertionError("no error")


@pytest.mark.skipif(not CPYTHON, reason="reference counts and prompt freeing are CPython's")
def test_no_leaks_on_success_or_failure():
    for _ in range(5):
        _call_all()
    gc.collect()
    watched = [DOC, Tag, Simple, CBORDecodeError] + FAILING
    before = [sys.getrefcount(obj) for obj in watched]
    total_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    import tracemalloc  # CPython's only

    tracemalloc.start()
    try:
        for _ in range(3):
            _call_all()
        gc.collect()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(40):
            _call_all()
        gc.collect()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in watched] == before
    assert end - start < 64 * 1024, f"traced memory grew by {end - start} bytes over 40 rounds"
    if total_before is not None:
        assert sys.gettotalrefcount() - total_before < 100


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("data", [cbor.dumps([[1, "a"], {"k": b"v"}]), b"\x9f\x01", b"\xbf\x61"])
def test_collector_state_is_left_as_it_was(enabled, data):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            cbor.loads(data)
        except cbor.CBORDecodeError:
            pass
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
