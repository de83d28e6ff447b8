"""dumps against hostile values: arbitrary nesting, subclasses of int and float, objects
whose __bool__, __index__, __eq__ or __str__ raise or change the container being encoded,
self-containing containers and nesting deeper than the recursion limit.

Every call must give bytes that decode as exactly one CBOR item (equal to the value when
nothing hostile happened), or raise one of the exceptions dumps documents. Never a crash,
and the interpreter stays usable afterwards.
"""

import io
import math
import subprocess
import sys
import textwrap

import cbor2
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quorvane_core import cbor

from conftest import CAST_FAILURE, OUT_OF_RANGE

dumps = cbor.dumps

CAST = CAST_FAILURE


class Boom(Exception):
    """Raised by the hostile objects' special methods."""


DOCUMENTED = (RuntimeError, RecursionError, MemoryError, Boom)


def documented_message(error):
    """True when an exception from dumps is one it documents."""
    if isinstance(error, (RecursionError, MemoryError, Boom)):
        return True
    text = str(error)
    return (
        text == CAST
        or text.startswith(OUT_OF_RANGE)
        or text.startswith("Exceeded recursion limit:")
        or text.endswith("changed size during encoding")
    )


def decode_one(data):
    """Decodes exactly one CBOR item from data (nothing may follow it)."""
    stream = io.BytesIO(data)
    value = cbor2.CBORDecoder(stream).decode()
    assert stream.tell() == len(data), "bytes left after the item"
    return value


# --- a model of what a value becomes --------------------------------------------------------

class Unpredictable(Exception):
    """The value holds an object whose encoding the model does not predict."""


def model(value):
    """The decoded form of value, in a shape that compares safely (bools tagged, NaN as a
    marker, arrays as tuples, maps as sorted tuples of pairs)."""
    if isinstance(value, Hostile):
        return value.model()
    if value is True or value is False:
        return ("bool", value)
    if value is None:
        return ("null",)
    if isinstance(value, float):
        # float.__float__ gives the stored number without calling a subclass's own __float__
        # (math.isnan and .real call it on PyPy).
        number = float.__float__(value)
        return ("nan",) if math.isnan(number) else ("number", number, math.copysign(1, number))
    if isinstance(value, int):
        return ("number", int(value), 1)
    if isinstance(value, bytes):
        return ("bytes", bytes(value))
    if isinstance(value, str):
        return ("text", str(value))
    if isinstance(value, (list, tuple)):
        return ("array", tuple(model(member) for member in value))
    if isinstance(value, dict):
        return ("map", tuple(sorted((repr(model(k)), model(v)) for k, v in value.items())))
    raise Unpredictable(type(value).__name__)


def decoded_model(value):
    """The same shape for what cbor2 decoded."""
    if value is True or value is False:
        return ("bool", value)
    if value is None:
        return ("null",)
    if isinstance(value, float):
        if math.isnan(value):
            return ("nan",)
        return ("number", value, math.copysign(1, value))
    if isinstance(value, int):
        return ("number", value, 1)
    if isinstance(value, bytes):
        return ("bytes", value)
    if isinstance(value, str):
        return ("text", value)
    if isinstance(value, (list, tuple)):
        return ("array", tuple(decoded_model(member) for member in value))
    if isinstance(value, dict) or hasattr(value, "items"):
        return ("map", tuple(sorted((repr(decoded_model(k)), decoded_model(v)) for k, v in value.items())))
    raise AssertionError(f"unexpected decoded type {type(value)}")


# --- hostile objects --------------------------------------------------------------------------

class Hostile:
    """Base of the hostile objects: `action` says what its special method does, `target`
    (set after the tree is built) is a container of the tree that a mutation changes."""

    def __init__(self, action, payload):
        self.action = action
        self.payload = payload
        self.target = None
        self.fired = False

    def act(self):
        self.fired = True
        if self.action == "raise":
            raise Boom(type(self).__name__)
        if self.action == "mutate" and self.target is not None:
            mutate(self.target, self.payload)

    @property
    def pure(self):
        return self.action == "plain"

    def model(self):
        raise Unpredictable(type(self).__name__)


def mutate(container, how):
    if isinstance(container, list):
        if how % 4 == 0:
            container.clear()
        elif how % 4 == 1:
            container.extend([1, [2], "three"] * 5)
        elif how % 4 == 2 and container:
            container.pop()
        else:
            container[:] = [None]
    elif isinstance(container, dict):
        if how % 3 == 0:
            container.clear()
        elif how % 3 == 1:
            for i in range(20):
                container[f"added{i}-{id(container)}"] = i
        elif container:
            container.popitem()


class BoolOnly(Hostile):
    """Has a truth value and nothing else: encoded as a CBOR boolean (conversion pass)."""

    def __bool__(self):
        self.act()
        return bool(self.payload % 2)

    def model(self):
        if self.action == "plain":
            return ("bool", bool(self.payload % 2))
        raise Unpredictable("BoolOnly")


class IndexOnly(Hostile):
    """Has __index__: encoded as the integer it gives when that fits 64 bits."""

    def __index__(self):
        self.act()
        return self.payload

    def model(self):
        if self.action == "plain" and -(2**63) <= self.payload < 2**64:
            return ("number", self.payload, 1)
        raise Unpredictable("IndexOnly")


class HostileInt(int):
    """An int subclass whose __eq__ or __str__ misbehaves; encoded by the integer rule."""

    def __new__(cls, value, action, payload, where):
        self = super().__new__(cls, value)
        self.action, self.payload, self.where = action, payload, where
        self.target = None
        self.fired = False
        return self

    act = Hostile.act
    pure = Hostile.pure

    def __eq__(self, other):
        if self.where == "eq":
            self.act()
        return int(self) == other

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = int.__hash__

    def __str__(self):
        if self.where == "str":
            self.act()
        return int.__str__(self)

    def model(self):
        value = int(self)
        if self.action == "plain" and -(2**63) <= value < 2**64:
            return ("number", value, 1)
        raise Unpredictable("HostileInt")


class FloatSub(float):
    """The encoder takes the stored number; a __float__ of its own is never called."""

    def __float__(self):
        raise Boom("FloatSub.__float__ must not be needed")


class IntSub(int):
    pass


def is_hostile(value):
    return isinstance(value, (Hostile, HostileInt))


ACTIONS = st.sampled_from(["plain", "plain", "raise", "mutate"])

hostile_objects = st.one_of(
    st.builds(BoolOnly, ACTIONS, st.integers(0, 7)),
    st.builds(IndexOnly, ACTIONS, st.one_of(st.integers(-(2**63), 2**64 - 1), st.integers(-(2**70), 2**70))),
    st.builds(
        HostileInt,
        st.one_of(st.integers(-(2**63), 2**64 - 1), st.integers(-(2**80), 2**80)),
        ACTIONS,
        st.integers(0, 7),
        st.sampled_from(["eq", "str"]),
    ),
)

plain_scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**63), 2**64 - 1),
    st.integers(-(2**63), 2**64 - 1).map(IntSub),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(allow_nan=False).map(FloatSub),
    st.binary(max_size=40),
    st.text(max_size=20),
)

keys = st.one_of(st.none(), st.booleans(), st.integers(-(2**63), 2**64 - 1), st.text(max_size=8), st.binary(max_size=8),
                 st.floats(allow_nan=False))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=6),
        st.lists(children, max_size=6).map(tuple),
        st.dictionaries(keys, children, max_size=5),
    )


plain_values = st.recursive(plain_scalars, containers, max_leaves=40)
hostile_values = st.recursive(st.one_of(plain_scalars, hostile_objects), containers, max_leaves=30)


def walk(value, seen=None):
    """Every container and every hostile object in the tree."""
    seen = set() if seen is None else seen
    if id(value) in seen:
        return
    seen.add(id(value))
    yield value
    if isinstance(value, (list, tuple)):
        for member in value:
            yield from walk(member, seen)
    elif isinstance(value, dict):
        for key, member in value.items():
            yield from walk(key, seen)
            yield from walk(member, seen)


def assert_usable():
    assert dumps([1, "a", {"b": 2.5}], False) == bytes.fromhex("83016161a16162f94100")
    assert sys.getrecursionlimit() >= 100


# --- the properties ----------------------------------------------------------------------------

@settings(max_examples=200, deadline=None)
@given(value=plain_values, indefinite=st.booleans())
def test_plain_values_round_trip(value, indefinite):
    encoded = dumps(value, indefinite)
    assert decoded_model(decode_one(encoded)) == model(value)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(value=hostile_values, indefinite=st.booleans(), depth=st.sampled_from([0, 0, 2, 5]), data=st.data())
def test_hostile_values_give_bytes_or_documented_errors(value, indefinite, depth, data):
    tree = list(walk(value))
    targets = [node for node in tree if isinstance(node, (list, dict))]
    for node in tree:
        if is_hostile(node) and targets:
            node.target = data.draw(st.sampled_from(targets))
    pure = all(node.pure for node in tree if is_hostile(node))
    try:
        encoded = dumps(value, indefinite, depth)
    except TypeError as error:
        # Only a hostile top-level value can fail argument conversion.
        assert is_hostile(value) and "incompatible function arguments" in str(error), repr(error)
    except DOCUMENTED as error:
        assert documented_message(error), repr(error)
    else:
        decoded = decode_one(encoded)
        if pure and depth == 0:
            try:
                expected = model(value)
            except Unpredictable:
                pass
            else:
                assert decoded_model(decoded) == expected
    assert_usable()


@pytest.mark.parametrize(
    "make, expected",
    [
        # A failing truth value refuses the alternative: nothing else matches, so a cast error.
        (lambda: [BoolOnly("raise", 1)], (RuntimeError, CAST)),
        (lambda: [BoolOnly("plain", 1)], b"\x9f\xf5\xff"),
        (lambda: [IndexOnly("raise", 1)], (RuntimeError, CAST)),
        (lambda: [IndexOnly("plain", 2**64 - 1)], b"\x9f\x1b" + b"\xff" * 8 + b"\xff"),
        (lambda: [IndexOnly("plain", 2**64)], (RuntimeError, CAST)),
        # An int subclass whose comparison fails is out of range for the integer rule.
        (lambda: [HostileInt(5, "raise", 0, "eq")], (RuntimeError, OUT_OF_RANGE + "5")),
        (lambda: [HostileInt(5, "plain", 0, "eq")], b"\x9f\x05\xff"),
        # __str__ only matters for the message of an out-of-range integer.
        (lambda: [HostileInt(5, "raise", 0, "str")], b"\x9f\x05\xff"),
        (lambda: [HostileInt(2**64, "raise", 0, "str")], (RuntimeError, OUT_OF_RANGE + "failed with ")),
        (lambda: [FloatSub(1.5)], b"\x9f\xf9\x3e\x00\xff"),
        (lambda: IntSub(-1), b"\x20"),
    ],
    ids=["bool-raises", "bool-true", "index-raises", "index-2**64-1", "index-2**64", "eq-raises", "eq-plain",
         "str-raises-in-range", "str-raises-out-of-range", "float-subclass", "int-subclass"],
)
def test_hostile_members(make, expected):
    value = make()
    if isinstance(expected, bytes):
        assert dumps(value) == expected
    else:
        kind, prefix = expected
        with pytest.raises(kind) as info:
            dumps(value)
        assert str(info.value).startswith(prefix)
    assert_usable()


@pytest.mark.parametrize("indefinite", [True, False])
@pytest.mark.parametrize("how", range(4))
@pytest.mark.parametrize("container", ["list", "dict"])
def test_conversion_that_changes_the_container(container, how, indefinite):
    """A member's conversion changes the container being encoded: the result is a complete,
    consistent item, or RuntimeError '... changed size during encoding'."""
    if container == "list":
        value = [1, 2, None, "x"]
        trigger = BoolOnly("mutate", how)
        value.insert(1, trigger)
        value.extend(range(10))
    else:
        value = {"a": 1, "b": 2}
        trigger = BoolOnly("mutate", how)
        value["c"] = trigger
        value.update({f"k{i}": i for i in range(10)})
    trigger.target = value
    try:
        encoded = dumps(value, indefinite)
    except RuntimeError as error:
        assert str(error).endswith("changed size during encoding"), str(error)
    else:
        decoded = decode_one(encoded)
        assert isinstance(decoded, list if container == "list" else dict)
    assert trigger.fired
    assert_usable()


def test_int_subclass_comparison_that_changes_the_container():
    value = [0, 1, 2]
    trigger = HostileInt(7, "mutate", 0, "eq")  # clears the list
    trigger.target = value
    value.append(trigger)
    value.extend(range(100))
    try:
        encoded = dumps(value, False)
    except RuntimeError as error:
        assert str(error).endswith("changed size during encoding"), str(error)
    else:
        decode_one(encoded)
    assert_usable()


@pytest.mark.parametrize("kind", ["list", "dict", "mutual"])
def test_self_containing_values(kind):
    if kind == "list":
        value = [1]
        value.append(value)
    elif kind == "dict":
        value = {"a": 1}
        value["self"] = value
    else:
        first, second = [], {}
        first.append(second)
        second["back"] = first
        value = first
    with pytest.raises(RecursionError):
        dumps(value)
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:7$"):
        dumps(value, max_depth=7)
    assert_usable()


def nested(depth, make=lambda inner: [inner]):
    value = 0
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize(
    "make",
    [lambda inner: [inner], lambda inner: (inner,), lambda inner: {"k": inner}, lambda inner: {(1,): [inner]}],
    ids=["list", "tuple", "dict", "dict-of-list"],
)
def test_nesting_deeper_than_the_recursion_limit(make):
    limit = sys.getrecursionlimit()
    deep = nested(limit + 100, make)
    with pytest.raises(RecursionError):
        dumps(deep)
    with pytest.raises(RuntimeError, match="^Exceeded recursion limit:50$"):
        dumps(deep, max_depth=50)
    shallow = nested(100, make)
    assert decode_one(dumps(shallow)) is not None
    assert sys.getrecursionlimit() == limit
    assert_usable()


def test_deep_nesting_with_a_raised_recursion_limit_does_not_crash():
    """With the recursion limit raised well above its default, a value nested deeper still
    ends in RecursionError, not in a crash. (Limits so high that the interpreter's own
    json.dumps, repr or pickle overflow the native stack are out of reach for dumps too.)"""
    script = textwrap.dedent(
        """
        import sys
        from quorvane_core import cbor
        sys.setrecursionlimit(20_000)
        value = 0
        for _ in range(40_000):
            value = [value]
        try:
            cbor.dumps(value)
            print("bytes")
        except RecursionError:
            print("RecursionError")
        assert cbor.dumps([1]) == b"\\x9f\\x01\\xff"
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr[-2000:]}"
    assert done.stdout.strip() == "RecursionError"
