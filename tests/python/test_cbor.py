"""cbor.dumps: module surface, exact encodings, errors, and the float-width rule."""
import gc
import json
import math
import os
import random
import re
import struct
import subprocess
import sys
import textwrap

import cbor2
import pytest
from hypothesis import given, settings, strategies as st

import quorvane_core
from quorvane_core import cbor
from conftest import CAST_FAILURE, OUT_OF_RANGE as RANGE, Shrinker, cbor_head, limits_address_space


def test_module_surface():
    assert not hasattr(quorvane_core, "__version__")
    assert vars(quorvane_core).get("__doc__") is None
    assert cbor.__version__ == "dev" and quorvane_core.delta.__version__ == "dev"
    assert cbor.__doc__ == (
        "\n            Quorvane cbor\n            -----------------------\n\n            .. currentmodule:: quorvane_cbor"
        "\n\n            .. autosummary::\n               :toctree: _generate\n\n               dumps\n        "
    )
    assert cbor.dumps.__doc__.endswith(" -> bytes\n\n\n        Dump a Python object to cbor\n        \n")
    assert cbor.dumps.__doc__.startswith(
        "dumps(value: Union[bool, float, int, list, tuple, dict, bytes, str, None, bool, int, int, str], "
        "indefinite: bool = True, max_depth: int = 0) -> bytes")
    assert sys.modules["quorvane_core.cbor"] is cbor
    assert [name for name in vars(cbor) if not name.startswith("__") or name in ("__doc__", "__version__")] == [
        "__doc__", "dumps", "__version__", "CBORDecodeError", "Tag", "Simple", "UndefinedType", "undefined", "loads",
        "encode", "dump", "load", "SequenceIterator", "iter_loads"]


@pytest.mark.parametrize("value, indefinite, expected", [
    (0, True, "00"), (23, True, "17"), (24, True, "1818"), (-1, True, "20"),
    (2**64 - 1, True, "1b" + "ff" * 8), (-2**63, True, "3b7f" + "ff" * 7),
    (True, True, "f5"), (False, True, "f4"), (None, True, "f6"), (1.5, True, "f93e00"),
    (0.1, True, "fb3fb999999999999a"), (math.nan, True, "f97e00"),
    (b"", True, "40"), ("", True, "60"), ("\u00e9", True, "62c3a9"), (b"x", True, "4178"),
    ([1, 2], True, "9f0102ff"), ([1, 2], False, "820102"), ((1,), True, "9f01ff"),
    ([], True, "9fff"), ([], False, "80"),
    ({"a": 1}, True, "bf616101ff"), ({"a": 1}, False, "a1616101"), ({}, True, "bfff"), ({}, False, "a0"),
    ({1: None}, True, "bf01f6ff"), ({(1, 2): "x"}, True, "bf9f0102ff6178ff"),
    (1 + 2j, True, "f5"), (0j, True, "f4"),
])
def test_exact_encodings(value, indefinite, expected):
    assert cbor.dumps(value, indefinite).hex() == expected


def test_long_byte_string_head():
    assert cbor.dumps(b"y" * 24)[:2] == b"\x58\x18"


def test_defaults_positions_and_keywords_are_the_same_call():
    assert cbor.dumps(1) == cbor.dumps(1, True, 0)
    assert cbor.dumps([[1]], False, 5) == cbor.dumps(value=[[1]], indefinite=False, max_depth=5)
    assert cbor.dumps([1], None) == cbor.dumps([1], False)  # bool conversion takes None as false


@pytest.mark.parametrize("args", [(1, True, -1), (1, True, 1.5), (1, True, 2**64), ({1, 2},), (), (1, True, 0, 4)])
def test_argument_mismatch_is_a_type_error(args):
    with pytest.raises(TypeError):
        cbor.dumps(*args)


@pytest.mark.parametrize("value, text", [
    (2**64, "18446744073709551616"),
    (-2**63 - 1, "-9223372036854775809"),
    (10**50, "1" + "0" * 39),
])
def test_integer_out_of_range(value, text):
    with pytest.raises(RuntimeError) as info:
        cbor.dumps([value])
    assert str(info.value) == RANGE + text


class Unequal(int):
    def __eq__(self, other):
        return False

    __hash__ = int.__hash__


class RaisingEq(int):
    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = int.__hash__


class WideText(int):
    def __str__(self):
        return "\u00e9" * 30  # 60 bytes of UTF-8


class BadText(int):
    def __eq__(self, other):
        return False

    def __str__(self):
        raise KeyError("nope")


@pytest.mark.parametrize("value, message", [
    (Unequal(5), RANGE + "5"),
    (RaisingEq(7), RANGE + "7"),
    (BadText(1), RANGE + "failed with KeyError: 'nope'"),
], ids=["own-eq-false", "own-eq-raises", "str-raises"])
def test_int_subclasses_keep_their_own_equality(value, message):
    for top in (value, [value]):
        with pytest.raises(RuntimeError) as info:
            cbor.dumps(top)
        assert str(info.value).startswith(message[:40 + len(RANGE)])


def test_value_text_is_cut_at_a_whole_character():
    with pytest.raises(RuntimeError) as info:
        cbor.dumps(WideText(2**70))
    assert str(info.value) == RANGE + "\u00e9" * 20


@pytest.mark.parametrize("value, limit, ok", [
    ([1, 2], 1, True), ({"a": 1}, 1, True), ([[]], 1, True), ([[1]], 1, False), ({"a": {"b": 1}}, 1, False),
    ([[[[1]]]], 4, True), ([[[[1]]]], 3, False), ([[[[1]]]], 0, True),
])
def test_depth_limit(value, limit, ok):
    for indefinite in (True, False):
        if ok:
            assert cbor2.loads(cbor.dumps(value, indefinite, limit)) == value
        else:
            with pytest.raises(RuntimeError, match=f"^Exceeded recursion limit:{limit}$"):
                cbor.dumps(value, indefinite, limit)


@pytest.mark.parametrize("value", [[{1, 2}], ["\ud800"], "\ud800", {"k": object()}])
def test_members_without_an_encoding(value):
    with pytest.raises(RuntimeError, match="^" + re.escape(CAST_FAILURE) + "$"):
        cbor.dumps(value)


def test_deep_and_self_containing_values_raise_recursion_error():
    loop = []
    loop.append(loop)
    deep = []
    for _ in range(100000):
        deep = [deep]
    mapping = {}
    mapping["self"] = mapping
    for value in (loop, deep, mapping):
        for limit in (0, 10**9):
            with pytest.raises(RecursionError):
                cbor.dumps(value, True, limit)
    assert cbor.dumps([1]) == b"\x9f\x01\xff"


@limits_address_space
def test_running_out_of_memory_raises_memory_error():
    # Several GiB of encoding under a 2 GiB address-space limit, in a process of its own.
    code = textwrap.dedent("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (2**31, 2**31))
        from quorvane_core import cbor
        big = [b"x" * 2**20] * 4096
        for indefinite in (True, False):
            try:
                cbor.dumps(big, indefinite)
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError")
        assert cbor.dumps([1, "a"]) == b"\\x9f\\x01\\x61a\\xff"
        print("usable")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout.strip() == "usable", run.stderr


def test_container_changed_by_a_conversion():
    victim = [1, 2, 3]
    victim.insert(1, Shrinker(victim))
    with pytest.raises(RuntimeError, match="list changed size during encoding"):
        cbor.dumps(victim, False)
    table = {"a": 1}
    table["b"] = Shrinker(table)
    table["c"] = 3
    with pytest.raises(RuntimeError, match="dictionary changed size during encoding"):
        cbor.dumps(table)


# --- the float-width rule, literally: three trial encodings read back ---------------------------

def _half_by_truncation(x):
    """The half pattern of the writer: round to single, then truncate the fraction."""
    try:
        bits = struct.unpack(">I", struct.pack(">f", x))[0]
    except OverflowError:
        bits = 0x7F800000 | (0x80000000 if x < 0 else 0)
    s, e, f = bits >> 31, (bits >> 23) & 0xFF, bits & 0x7FFFFF
    if e == 255:
        return 0xFC00 if s else 0x7C00
    if e == 0:
        return (s << 15) | (f >> 13)
    return (s << 15) | (((((e - 127) % 256) + 15) * 1024) & 0xFFFF) | (f >> 13)


def _decode_half(v):
    e, f = (v >> 10) & 31, v & 1023
    if e == 0:
        magnitude = math.ldexp(f, -24)
    elif e < 31:
        magnitude = math.ldexp(f + 1024, e - 25)
    else:
        magnitude = math.inf if f == 0 else math.nan
    return -magnitude if v & 0x8000 else magnitude


def _single(x):
    try:
        return struct.unpack(">f", struct.pack(">f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def float_by_trial(x):
    if math.isnan(x):
        return b"\xf9\x7e\x00"
    if math.isinf(x):
        return b"\xf9\x7c\x00" if x > 0 else b"\xf9\xfc\x00"
    half = _half_by_truncation(x)
    h, s = _decode_half(half), _single(x)
    if s != x:
        return b"\xfb" + struct.pack(">d", x)
    if h != s:
        return b"\xfa" + struct.pack(">f", x)
    return b"\xf9" + struct.pack(">H", half)


def test_every_half_pattern_follows_the_trial_rule():
    values = [struct.unpack(">e", struct.pack(">H", p))[0] for p in range(65536)]
    encoded = cbor.dumps(values, False)
    expected = b"\x9a\x00\x01\x00\x00" + b"".join(float_by_trial(v) for v in values)
    assert encoded == expected


def test_single_exponents_and_random_doubles_follow_the_trial_rule():
    rng = random.Random(1209)
    values = []
    for sign in (0, 1):
        for exponent in range(255):
            for mantissa in (0, 1, 0x1000, 0x1FFF, 0x2000, 0x7FE000, 0x7FFFFF, rng.getrandbits(23)):
                bits = (sign << 31) | (exponent << 23) | mantissa
                values.append(struct.unpack(">f", struct.pack(">I", bits))[0])
    values += [struct.unpack(">d", struct.pack(">Q", rng.getrandbits(64)))[0] for _ in range(50000)]
    values += [3.4028234663852886e38, 3.4028235677973366e38, 3.402823669209385e38, 2.0**128, 2.0**-149, 2.0**-150]
    for value in values:
        assert cbor.dumps(value) == float_by_trial(value), value


def _around_powers_of_two():
    for bits in range(0, 65):
        for delta in (-1, 0, 1):
            for sign in (1, -1):
                value = sign * (2**bits + delta)
                if -2**63 <= value < 2**64:
                    yield value


@pytest.mark.parametrize("container", [list, tuple, lambda members: {i: m for i, m in enumerate(members)}])
def test_integers_around_every_power_of_two(container):
    # Every int size the interpreter stores differently (one digit, two, more) and every head width.
    members = list(_around_powers_of_two())
    value = container(members)
    assert cbor2.loads(cbor.dumps(value, False)) == (value if isinstance(value, dict) else members)
    for value in members:
        assert cbor2.loads(cbor.dumps(value)) == value


@pytest.mark.parametrize("text", ["", "a", "ascii" * 40, "é", "x" * 23 + "é", "日本語" * 30, "\U0001F600" * 3,
                                  "a\x00b", "\x7f\x80"])
def test_text_members_of_every_kind(text):
    assert cbor2.loads(cbor.dumps([text, {text: text}])) == [text, {text: text}]


# --- property tests ----------------------------------------------------------------------------

scalars = (st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats(allow_nan=False)
           | st.text() | st.binary())
values = st.recursive(scalars, lambda inner: st.lists(inner) | st.dictionaries(st.text() | st.integers(0, 99), inner),
                      max_leaves=40)


@settings(max_examples=300, deadline=None)
@given(values, st.booleans())
def test_round_trip_through_an_independent_decoder(value, indefinite):
    assert cbor2.loads(cbor.dumps(value, indefinite)) == value


class L(list):
    pass


class T(tuple):
    pass


class D(dict):
    pass


class S(str):
    pass


class B(bytes):
    pass


class I(int):
    pass


class F(float):
    pass


def _subclassed(value):
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return I(value)
    if isinstance(value, float):
        return F(value)
    if isinstance(value, str):
        return S(value)
    if isinstance(value, bytes):
        return B(value)
    if isinstance(value, list):
        return L(_subclassed(v) for v in value) if len(value) % 2 else T(_subclassed(v) for v in value)
    return D((k, _subclassed(v)) for k, v in value.items())


@settings(max_examples=200, deadline=None)
@given(values, st.booleans(), st.integers(0, 6))
def test_subclasses_take_the_general_path_to_the_same_bytes(value, indefinite, max_depth):
    try:
        expected = cbor.dumps(value, indefinite, max_depth)
    except RuntimeError as error:
        with pytest.raises(RuntimeError, match="^" + re.escape(str(error)) + "$"):
            cbor.dumps(_subclassed(value), indefinite, max_depth)
    else:
        assert cbor.dumps(_subclassed(value), indefinite, max_depth) == expected



def _byte_string_item(content):
    return cbor_head(2, len(content)) + content


@pytest.mark.parametrize("before", [0, 100, 5_000, 70_000, 300_000])
def test_results_of_any_size_after_a_result_of_another(before):
    # The first buffer of a call is sized from the previous result; every size around it,
    # smaller, equal or larger, must come out exact.
    pattern = bytes(range(256)) * (2 * before // 256 + 1)
    for after in sorted({0, 1, 60, 64, 65, before // 2, max(before - 9, 0), before, before + 1, before + 70,
                         before * 2 + 3}):
        cbor.dumps(pattern[:before])
        assert cbor.dumps(pattern[:after]) == _byte_string_item(pattern[:after])


# --- dict entries and nesting ------------------------------------------------------------------


class Slots:
    def __init__(self):
        self.a, self.b, self.c = 1, "two", [3.5]


def _dicts_of_every_layout():
    deleted = {f"k{i}": i for i in range(40)}
    for i in range(0, 40, 3):
        del deleted[f"k{i}"]
    mixed = {1: "a", "b": 2, (3,): None, 4.5: [1], b"x": {}}
    del mixed["b"]
    mixed["b"] = 5
    instance = Slots().__dict__  # a split table, shared keys
    grown = Slots().__dict__
    grown["d"] = 4
    emptied = {"a": 1, "b": 2}
    emptied.clear()
    return [deleted, mixed, instance, grown, emptied, dict.fromkeys("abcdefghijklmnopqrstuvwxyz" * 3, 0),
            {i: i for i in range(1000)}]


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("mapping", _dicts_of_every_layout())
def test_dict_entries_come_in_iteration_order(mapping, indefinite):
    # Entries are walked without a call per entry; the oracle is the items in the
    # interpreter's own iteration order, each encoded alone.
    items = b"".join(cbor.dumps(k, indefinite) + cbor.dumps(v, indefinite) for k, v in mapping.items())
    count = cbor.dumps(len(mapping))  # the same head with major type 0
    head = b"\xbf" if indefinite else bytes([count[0] | 0xA0]) + count[1:]
    assert cbor.dumps(mapping, indefinite) == head + items + (b"\xff" if indefinite else b"")


def _deepest(encode, make):
    """The deepest nesting `encode` takes before RecursionError."""
    # No collection runs during the search: a finalizer's Python code that ran near the
    # limit could go past it while the interpreter recovers from the error (fatal on 3.8).
    collecting = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        low, high = 1, 20_000
        while low < high:
            middle = (low + high + 1) // 2
            value = 0
            for _ in range(middle):
                value = make(value)
            try:
                encode(value)
                low = middle
            except (RecursionError, RuntimeError):  # a conversion refused at the limit: RuntimeError
                high = middle - 1
        return low
    finally:
        if collecting:
            gc.enable()


def _at_call_depth(frames, function, *args):
    return function(*args) if frames == 0 else _at_call_depth(frames - 1, function, *args)


class Truthy:
    def __bool__(self):
        return True


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="the interpreter's recursion count is CPython's")
@pytest.mark.parametrize("make, offset", [
    (lambda inner: [inner], 4),
    (lambda inner: (inner,), 4),
    (lambda inner: {"k": inner}, 4),
    (lambda inner: {"k": [1, inner, 2.5, "x"]}, 2),
    (lambda inner: [Truthy(), inner], 4),  # Python code at every level
    (lambda inner: {"a": Truthy(), "k": {"b": inner}}, 2),
], ids=["list", "tuple", "dict", "dict-of-list", "list-with-conversions", "dict-with-conversions"])
def test_recursion_error_comes_where_the_interpreter_guard_puts_it(make, offset):
    # Every container is one level of the interpreter's recursion guard, as in the
    # interpreter's own json encoder: the deepest value encoded lies a fixed number of levels
    # from json's, at any call depth. (The offsets are those of entering the guard once per
    # container, on CPython 3.11.)
    offsets = set()
    for frames in (0, 150):
        ours = _at_call_depth(frames, _deepest, cbor.dumps, make)
        reference = _at_call_depth(frames, _deepest, lambda v: json.dumps(v, default=bool), make)
        offsets.add(ours - reference)
    assert offsets == {offset} if sys.version_info[:2] == (3, 11) else len(offsets) == 1


# --- text against the interpreter's UTF-8 encoder ------------------------------------------------

# The first and last code point of every UTF-8 length, the surrogates around them, and the
# boundaries of the interpreter's one-, two- and four-byte string storage.
CODE_POINTS = [0x00, 0x41, 0x7F, 0x80, 0xE9, 0xFF, 0x100, 0x7FF, 0x800, 0x20AC, 0xD7FF, 0xD800, 0xDBFF, 0xDC00,
               0xDFFF, 0xE000, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF]
WIDEST_OF_KIND = ["", "\xff", "\uffff", "\U0010ffff"]  # makes a string ASCII/UCS-1, UCS-2 or UCS-4


def _text_item(text):
    """The text item by the interpreter's own encoder, or None when it has no UTF-8 form."""
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return bytes([cbor.dumps(len(data))[0] | 0x60]) + cbor.dumps(len(data))[1:] + data


def _with_cached_utf8(text):
    ctypes = pytest.importorskip("ctypes")
    ctypes.pythonapi.PyUnicode_AsUTF8.restype = ctypes.c_void_p
    ctypes.pythonapi.PyUnicode_AsUTF8.argtypes = [ctypes.py_object]
    if ctypes.pythonapi.PyUnicode_AsUTF8(text) is None:
        ctypes.pythonapi.PyErr_Clear()
    return text


def _check_text(text, cached):
    text = "".join(list(text))  # a new string object: no UTF-8 form kept with it yet
    if cached and _text_item(text) is not None and sys.implementation.name == "cpython":
        _with_cached_utf8(text)
    expected = _text_item(text)
    for value, wrap in ((text, lambda item: item), ([text], lambda item: b"\x9f" + item + b"\xff"),
                        ({text: 0}, lambda item: b"\xbf" + item + b"\x00\xff")):
        if expected is None:
            with pytest.raises(RuntimeError, match="^" + re.escape(CAST_FAILURE) + "$"):
                cbor.dumps(value)
        else:
            assert cbor.dumps(value) == wrap(expected)


@pytest.mark.parametrize("cached", [False, True], ids=["fresh", "cached-utf8"])
@pytest.mark.parametrize("code_point, widest", [
    pytest.param(c, w, id=f"{c:#x}-{kind}") for c in CODE_POINTS
    for w, kind in zip(WIDEST_OF_KIND, ["ascii", "ucs1", "ucs2", "ucs4"]) if not w or c <= ord(w)])
def test_text_of_every_code_point_class(code_point, widest, cached):
    character = chr(code_point)
    for text in (character + widest, widest + character * 30, "ab" + character + "é" * 24 + widest):
        _check_text(text, cached)


@settings(max_examples=400, deadline=None)
@given(st.lists(st.integers(0, 0x10FFFF) | st.sampled_from(CODE_POINTS), max_size=40), st.booleans())
def test_text_matches_the_interpreters_utf8_encoder(code_points, cached):
    _check_text("".join(map(chr, code_points)), cached)
