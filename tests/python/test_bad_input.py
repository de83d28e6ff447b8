"""Bad input for every entry point: dumps, diff, patch, PythonInBuf and PythonOutBuf.

Each row of the tables names a call and what it must give: a result (bytes) or an exception
type with a pattern its message must match. After every row the interpreter and the module
must still work (the autouse fixture checks that).
"""

import array
import gc
import mmap
import os
import re
import resource

import pytest
from hypothesis import given, settings, strategies as st

from quorvane_core import cbor, delta

from conftest import CAST_FAILURE, OUT_OF_RANGE as DUMPS_OUT_OF_RANGE, PYPY, needs_memory_for_2_gib

dumps = cbor.dumps
diff = delta.diff
patch = delta.patch
InBuf = delta.PythonInBuf
OutBuf = delta.PythonOutBuf

OLD = b"abcdef"
LIMIT = 2**31  # values of this many bytes or more are refused by diff and patch
LIMIT_MESSAGE = r"2147483647|2147483648|2\^31|2\*\*31"
INCOMPATIBLE = r"incompatible function arguments"
INCOMPATIBLE_CTOR = r"incompatible constructor arguments"
CAST = re.escape(CAST_FAILURE)
OUT_OF_RANGE = re.escape(DUMPS_OUT_OF_RANGE)
INVALID_DELTA = r"^invalid delta at byte \d+: "


class BytesSub(bytes):
    pass


class IntSub(int):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def sample_outbuf():
    return diff(b"0123456789", b"01234X56789")


@pytest.fixture(autouse=True)
def interpreter_still_usable():
    yield
    gc.collect()
    assert dumps([1, {"a": 1.5}]) == bytes.fromhex("9f01bf6161f93e00ffff")
    assert bytes(patch(b"0123456789", bytes(diff(b"0123456789", b"01234X56789")))) == b"01234X56789"


def as_bytes(result):
    return result if isinstance(result, bytes) else bytes(result)


def check_row(call, expected):
    """expected: bytes for a result, or (exception type, message pattern)."""
    if isinstance(expected, bytes):
        assert as_bytes(call()) == expected
    else:
        kind, pattern = expected
        with pytest.raises(kind, match=pattern):
            call()


def row(id_, call, expected, pypy_differs=None):
    """One table row; `pypy_differs` says why the binding library behaves otherwise on PyPy."""
    marks = [pytest.mark.xfail(PYPY, reason=pypy_differs, strict=True)] if pypy_differs else []
    return pytest.param(call, expected, id=id_, marks=marks)


# --- dumps --------------------------------------------------------------------------------

DUMPS_ROWS = [
    row("no-arguments", lambda: dumps(), (TypeError, INCOMPATIBLE)),
    row("too-many-arguments", lambda: dumps(1, True, 0, 5), (TypeError, INCOMPATIBLE)),
    row("unknown-keyword", lambda: dumps(1, depth=2), (TypeError, INCOMPATIBLE)),
    row("set", lambda: dumps({1, 2}), (TypeError, INCOMPATIBLE)),
    row("frozenset", lambda: dumps(frozenset()), (TypeError, INCOMPATIBLE)),
    row("object", lambda: dumps(object()), (TypeError, INCOMPATIBLE)),
    row("type", lambda: dumps(int), (TypeError, INCOMPATIBLE),
        pypy_differs="on PyPy the bool conversion takes any object with a __bool__ attribute, "
                     "which the type int has, so it is written as true"),
    row("bytes-subclass", lambda: dumps(BytesSub(b"ab")), bytes.fromhex("426162")),
    row("int-subclass", lambda: dumps(IntSub(24)), bytes.fromhex("1818")),
    row("index-object", lambda: dumps(Index(5)), bytes.fromhex("05")),
    row("index-object-negative", lambda: dumps(Index(-2)), bytes.fromhex("21")),
    row("index-object-huge", lambda: dumps(Index(2**64)), (TypeError, INCOMPATIBLE)),
    row("None", lambda: dumps(None), b"\xf6"),
    row("empty-bytes", lambda: dumps(b""), b"\x40"),
    row("empty-str", lambda: dumps(""), b"\x60"),
    row("empty-list", lambda: dumps([]), b"\x9f\xff"),
    row("empty-tuple-definite", lambda: dumps((), False), b"\x80"),
    row("empty-dict", lambda: dumps({}), b"\xbf\xff"),
    row("int-2**64", lambda: dumps(2**64), (RuntimeError, OUT_OF_RANGE + "18446744073709551616$")),
    row("int-below-int64", lambda: dumps(-(2**63) - 1), (RuntimeError, OUT_OF_RANGE + "-9223372036854775809$")),
    row("int-huge", lambda: dumps(10**100), (RuntimeError, OUT_OF_RANGE + "1" + "0" * 39 + "$")),
    row("int-huge-member", lambda: dumps([1, -(10**50)]), (RuntimeError, OUT_OF_RANGE + "-" + "1" + "0" * 38 + "$")),
    row("lone-surrogate", lambda: dumps("\ud800"), (RuntimeError, CAST)),
    row("lone-surrogate-key", lambda: dumps({"\udfff": 1}), (RuntimeError, CAST)),
    row("set-member", lambda: dumps([{1, 2}]), (RuntimeError, CAST)),
    row("object-value-in-dict", lambda: dumps({"a": object()}), (RuntimeError, CAST)),
    # max_depth: an unsigned 64-bit integer.
    row("max_depth-negative", lambda: dumps(1, max_depth=-1), (TypeError, INCOMPATIBLE)),
    row("max_depth-2**64", lambda: dumps(1, max_depth=2**64), (TypeError, INCOMPATIBLE)),
    row("max_depth-huge", lambda: dumps(1, max_depth=10**100), (TypeError, INCOMPATIBLE)),
    row("max_depth-huge-negative", lambda: dumps(1, max_depth=-(10**100)), (TypeError, INCOMPATIBLE)),
    row("max_depth-float", lambda: dumps(1, max_depth=1.5), (TypeError, INCOMPATIBLE)),
    row("max_depth-None", lambda: dumps(1, max_depth=None), (TypeError, INCOMPATIBLE)),
    row("max_depth-str", lambda: dumps(1, max_depth="1"), (TypeError, INCOMPATIBLE)),
    row("max_depth-bytes", lambda: dumps(1, max_depth=b"1"), (TypeError, INCOMPATIBLE)),
    row("max_depth-largest", lambda: dumps([[[1]]], max_depth=2**64 - 1), b"\x9f\x9f\x9f\x01\xff\xff\xff"),
    row("max_depth-int-subclass", lambda: dumps([[1]], max_depth=IntSub(1)), (RuntimeError, "^Exceeded recursion limit:1$")),
    row("max_depth-index-object", lambda: dumps([[1]], max_depth=Index(1)), (RuntimeError, "^Exceeded recursion limit:1$")),
    row("max_depth-bool", lambda: dumps([[1]], max_depth=True), (RuntimeError, "^Exceeded recursion limit:1$")),
    row("max_depth-exceeded", lambda: dumps({"a": {"b": 1}}, max_depth=1), (RuntimeError, "^Exceeded recursion limit:1$")),
    # indefinite: the binding library's bool conversion (None is false).
    row("indefinite-None", lambda: dumps([1], indefinite=None), b"\x81\x01"),
    row("indefinite-int", lambda: dumps([1], indefinite=0), b"\x81\x01"),
    row("indefinite-str", lambda: dumps([1], indefinite="yes"), (TypeError, INCOMPATIBLE)),
    row("indefinite-list", lambda: dumps([1], indefinite=[]), (TypeError, INCOMPATIBLE)),
]


@pytest.mark.parametrize("call, expected", DUMPS_ROWS)
def test_dumps_bad_input(call, expected):
    check_row(call, expected)


# --- dumps: buffer-like values ----------------------------------------------------------------
# The binding library's text conversion takes a bytearray as raw bytes (the last alternative
# of the value union), so a bytearray holding UTF-8 becomes a text string; any other content
# is refused like a str without a UTF-8 form, since a text string must hold UTF-8. Other
# buffers match no alternative: TypeError at the top, the cast error as a member.


def _mmap(content):
    mapped = mmap.mmap(-1, max(len(content), 1))
    mapped.write(content)
    return mapped


BUFFERS = [
    ("bytearray-ascii", lambda: bytearray(b"ab"), "626162"),
    ("bytearray-utf8", lambda: bytearray("é€🙂".encode()), "69c3a9e282acf09f9982"),
    ("bytearray-empty", lambda: bytearray(), "60"),
    ("bytearray-not-utf8", lambda: bytearray(b"\xff\xfe\x00"), CAST),
    ("bytearray-encoded-surrogate", lambda: bytearray(b"\xed\xa0\x80"), CAST),
    ("bytearray-overlong", lambda: bytearray(b"\xc0\xaf"), CAST),
    ("bytearray-truncated", lambda: bytearray(b"a\xe2\x82"), CAST),
    ("memoryview", lambda: memoryview(b"ab"), None),
    ("memoryview-empty", lambda: memoryview(b""), None),
    ("memoryview-of-bytearray", lambda: memoryview(bytearray(b"ab")), None),
    ("array-B", lambda: array.array("B", b"ab"), None),
    ("array-i", lambda: array.array("i", [1, 2]), None),
    ("array-d", lambda: array.array("d", [1.5]), None),
    ("mmap", lambda: _mmap(b"ab"), None),
    ("mmap-not-utf8", lambda: _mmap(b"\xff"), None),
]

# Where the buffer sits: (wrap, bytes before and after its encoding).
PLACES = [
    ("top", lambda v: v, "", ""),
    ("list", lambda v: [v], "9f", "ff"),
    ("tuple-definite", lambda v: (v,), "81", ""),
    ("dict-value", lambda v: {"k": v}, "bf616b", "ff"),
]


def _buffer_rows():
    for name, make, encoded in BUFFERS:
        for place, wrap, before, after in PLACES:
            indefinite = place != "tuple-definite"
            if encoded == CAST or encoded is None and place != "top":
                expected = (RuntimeError, "^" + CAST + "$")
            elif encoded is None:
                expected = (TypeError, INCOMPATIBLE)
            else:
                expected = bytes.fromhex(before + encoded + after)
            yield pytest.param(make, wrap, indefinite, expected, id=f"{name}-{place}")


@pytest.mark.parametrize("make, wrap, indefinite, expected", list(_buffer_rows()))
def test_dumps_buffer_like_values(make, wrap, indefinite, expected):
    value = wrap(make())
    check_row(lambda: dumps(value, indefinite), expected)


@settings(max_examples=500, deadline=None)
@given(st.lists(st.sampled_from([b"a", b"\x00", b"\x7f", b"\x80", b"\xbf", b"\xc0", b"\xc2", b"\xdf", b"\xe0",
                                 b"\xa0", b"\xed", b"\x9f", b"\xef", b"\xf0", b"\x90", b"\xf4", b"\x8f", b"\xf5",
                                 b"\xff", "é".encode(), "€".encode(), "🙂".encode(), b"12345678"]), max_size=12)
       | st.binary(max_size=40))
def test_bytearray_is_text_exactly_when_it_is_utf8(pieces):
    content = b"".join(pieces) if isinstance(pieces, list) else pieces
    try:
        text = content.decode("utf-8")
    except UnicodeDecodeError:
        with pytest.raises(RuntimeError, match="^" + CAST + "$"):
            dumps(bytearray(content))
        with pytest.raises(RuntimeError, match="^" + CAST + "$"):
            dumps([bytearray(content)])
    else:
        assert dumps(bytearray(content)) == dumps(text)
        assert dumps([bytearray(content)]) == dumps([text])


# --- diff and patch: argument types ---------------------------------------------------------

# bytearray, memoryview and PythonOutBuf are taken as any contiguous buffer is (test_outbuf_sequence.py).
WRONG_BUFFERS = [
    pytest.param(None, id="None"),
    pytest.param("abc", id="str"),
    pytest.param(3, id="int"),
    pytest.param([97, 98], id="list"),
    pytest.param(object(), id="object"),
]


@pytest.mark.parametrize("function", [diff, patch], ids=["diff", "patch"])
@pytest.mark.parametrize("position", [0, 1])
@pytest.mark.parametrize("wrong", WRONG_BUFFERS)
def test_diff_patch_reject_non_buffers(function, position, wrong):
    arguments = [b"abc", b"abd"]
    arguments[position] = wrong
    with pytest.raises(TypeError, match=INCOMPATIBLE):
        function(*arguments)


ARITY_ROWS = [
    row("diff-no-arguments", lambda: diff(), (TypeError, INCOMPATIBLE)),
    row("diff-one-argument", lambda: diff(b"a"), (TypeError, INCOMPATIBLE)),
    row("diff-three-arguments", lambda: diff(b"a", b"b", b"c"), (TypeError, INCOMPATIBLE)),
    row("diff-wrong-keyword", lambda: diff(b"a", new=b"b"), (TypeError, INCOMPATIBLE)),
    row("diff-keywords", lambda: diff(new_value=b"abd", old_value=b"abc"), b"\x43abd"),
    row("patch-no-arguments", lambda: patch(), (TypeError, INCOMPATIBLE)),
    row("patch-one-argument", lambda: patch(b"a"), (TypeError, INCOMPATIBLE)),
    row("patch-wrong-keyword", lambda: patch(b"a", delta=b"\x40"), (TypeError, INCOMPATIBLE)),
    row("patch-keywords", lambda: patch(diff=b"\x41x", old_value=b"abc"), b"x"),
    row("diff-bytes-subclass", lambda: diff(BytesSub(b"0123456789"), BytesSub(b"01234X56789")),
        bytes.fromhex("0005415805 05".replace(" ", ""))),
    row("diff-PythonInBuf", lambda: diff(InBuf(b"0123456789"), InBuf(BytesSub(b"01234X56789"))),
        bytes.fromhex("000541580505")),
    row("patch-bytes-subclass", lambda: patch(BytesSub(OLD), BytesSub(b"\x03\x03\x00\x03")), b"defabc"),
]


@pytest.mark.parametrize("call, expected", ARITY_ROWS)
def test_diff_patch_arguments(call, expected):
    check_row(call, expected)


# --- diff: empty values -----------------------------------------------------------------------

@pytest.mark.parametrize(
    "old, new, expected",
    [
        (b"", b"", b"\x40"),
        (b"abc", b"", b"\x40"),
        (b"", b"abc", b"\x43abc"),
        (b"a", b"a", b"\x41a"),
        (b"ab", b"ab", b"\xf6"),
    ],
    ids=["both-empty", "new-empty", "old-empty", "one-byte-same", "two-bytes-same"],
)
def test_diff_empty_and_tiny(old, new, expected):
    assert bytes(diff(old, new)) == expected
    assert bytes(diff(InBuf(old), InBuf(new))) == expected


# --- patch: truncated, garbage and out-of-range deltas ----------------------------------------

def u64(n):
    return b"\x1b" + n.to_bytes(8, "big")


PATCH_ROWS = [
    # Well-formed deltas.
    row("empty-delta", lambda: patch(OLD, b""), b""),
    row("empty-insert", lambda: patch(OLD, b"\x40"), b""),
    row("empty-old-empty-delta", lambda: patch(b"", b""), b""),
    row("insert-into-empty-old", lambda: patch(b"", b"\x43xyz"), b"xyz"),
    row("unchanged-marker", lambda: patch(OLD, b"\xf6"), OLD),
    row("unchanged-marker-empty-old", lambda: patch(b"", b"\xf6"), b""),
    row("null-among-entries", lambda: patch(OLD, b"\xf6\x41a"), b"a"),
    row("match-of-zero", lambda: patch(OLD, b"\x00\x00"), b""),
    row("match-at-end-of-zero", lambda: patch(OLD, b"\x06\x00"), b""),
    row("match-whole-old", lambda: patch(OLD, b"\x00\x06"), OLD),
    row("backwards-matches", lambda: patch(OLD, b"\x03\x03\x00\x03"), b"defabc"),
    row("text-insert", lambda: patch(OLD, b"\x61a"), b"a"),
    row("skipped-items", lambda: patch(OLD, b"\xf5\x20\x80\xa0\xc0\xf9\x3c\x00\x41a"), b"a"),
    # Broken entries.
    row("offset-alone", lambda: patch(OLD, b"\x05"), (ValueError, INVALID_DELTA)),
    row("offset-then-string", lambda: patch(OLD, b"\x00\x41a"), (ValueError, INVALID_DELTA)),
    row("offset-then-negative", lambda: patch(OLD, b"\x00\x20"), (ValueError, INVALID_DELTA)),
    row("string-cut-short", lambda: patch(OLD, b"\x41a\x42b"), (ValueError, INVALID_DELTA)),
    row("integer-head-cut-short", lambda: patch(OLD, b"\x19\x01"), (ValueError, INVALID_DELTA)),
    row("length-head-cut-short", lambda: patch(OLD, b"\x00\x1a\x00"), (ValueError, INVALID_DELTA)),
    row("float-cut-short", lambda: patch(OLD, b"\x41a\xfb\x00"), (ValueError, INVALID_DELTA)),
    row("string-length-2**63", lambda: patch(OLD, b"\x5b\x80" + bytes(7) + b"abc"), (ValueError, INVALID_DELTA)),
    row("string-length-2**64-1", lambda: patch(OLD, b"\x5b" + b"\xff" * 8 + b"abc"), (ValueError, INVALID_DELTA)),
    row("indefinite-byte-string", lambda: patch(OLD, b"\x5f\x41a\xff"), (ValueError, INVALID_DELTA)),
    row("indefinite-text-string", lambda: patch(OLD, b"\x7f\x61a\xff"), (ValueError, INVALID_DELTA)),
    # Matches outside the old value.
    row("match-one-past-end", lambda: patch(OLD, b"\x05\x02"), (ValueError, INVALID_DELTA)),
    row("match-from-end", lambda: patch(OLD, b"\x06\x01"), (ValueError, INVALID_DELTA)),
    row("match-offset-past-end", lambda: patch(OLD, b"\x07\x00"), (ValueError, INVALID_DELTA)),
    row("match-into-empty-old", lambda: patch(b"", b"\x00\x01"), (ValueError, INVALID_DELTA)),
    row("match-length-2**32", lambda: patch(OLD, b"\x00" + u64(2**32)), (ValueError, INVALID_DELTA)),
    row("match-offset-2**64-1", lambda: patch(OLD, u64(2**64 - 1) + b"\x01"), (ValueError, INVALID_DELTA)),
    row("match-wrapping-sum", lambda: patch(OLD, b"\x01" + u64(2**64 - 1)), (ValueError, INVALID_DELTA)),
    row("match-both-huge", lambda: patch(OLD, u64(2**63) + u64(2**63)), (ValueError, INVALID_DELTA)),
    row("valid-then-broken", lambda: patch(OLD, b"\x00\x02\x41x\x05\x05"), (ValueError, INVALID_DELTA)),
]


@pytest.mark.parametrize("call, expected", PATCH_ROWS)
def test_patch_bad_deltas(call, expected):
    check_row(call, expected)


@pytest.mark.parametrize(
    "delta_bytes, position",
    [
        (b"\x05", 0),
        (b"\x00\x02\x41x\x05", 4),
        (b"\x41a\x42b", 2),
        (b"\x05\x02", 0),
        (b"\x41x\x5f", 2),
    ],
    ids=["end-after-offset", "end-after-second-offset", "string-cut-short", "match-past-end", "indefinite-head"],
)
def test_patch_rejection_names_a_byte_inside_the_delta(delta_bytes, position):
    with pytest.raises(ValueError) as info:
        patch(OLD, delta_bytes)
    at = int(re.match(r"invalid delta at byte (\d+): ", str(info.value)).group(1))
    assert 0 <= at <= len(delta_bytes)
    assert at == position


def test_enormous_output_is_refused_before_it_is_built():
    # 2^21 + 1 copies of a 1 KiB match: the result would be 2^31 + 1024 bytes.
    old = bytes(range(256)) * 4
    entry = b"\x00\x19\x04\x00"
    hostile = entry * (2**21 + 1)
    peak_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB
    with pytest.raises(ValueError, match=LIMIT_MESSAGE):
        patch(old, hostile)
    grown_mib = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_before) / 1024
    assert grown_mib < 512, f"patch allocated about {grown_mib:.0f} MiB before refusing"
    # Just below the limit the same kind of delta is fine (checked on a smaller scale).
    assert bytes(patch(old, entry * 3)) == old * 3


def test_many_small_matches_just_past_the_limit_are_refused():
    # One byte short of the limit with 1 KiB matches, then one more byte pushes it over.
    old = b"x" * 1024
    hostile = b"\x00\x19\x04\x00" * (2**21 - 1) + b"\x00\x19\x03\xff" + b"\x00\x01"
    with pytest.raises(ValueError, match=LIMIT_MESSAGE):
        patch(old, hostile)


# --- values of 2^31 bytes or more ----------------------------------------------------------------

huge_values = needs_memory_for_2_gib


@pytest.fixture(scope="module")
def huge():
    # bytes(n) is zero-filled by calloc, so the pages are never touched unless something
    # reads them; a refusal by length costs nothing.
    value = bytes(LIMIT)
    yield value
    del value


@huge_values
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda big: diff(big, b"abc"), id="diff-old"),
        pytest.param(lambda big: diff(b"abc", big), id="diff-new"),
        pytest.param(lambda big: diff(InBuf(big), InBuf(b"abc")), id="diff-old-PythonInBuf"),
        pytest.param(lambda big: patch(big, b"\x40"), id="patch-old"),
        pytest.param(lambda big: patch(b"abc", big), id="patch-delta"),
    ],
)
def test_values_of_2_31_bytes_are_refused(huge, call):
    with pytest.raises(ValueError, match=LIMIT_MESSAGE):
        call(huge)


@huge_values
def test_value_just_below_the_limit_is_not_refused_by_length():
    # A PythonInBuf over a value one byte short of the limit only borrows it.
    almost = bytes(LIMIT - 1)
    buffer = InBuf(almost)
    assert bytes(patch(buffer, b"\x41z")) == b"z"
    del buffer, almost


# --- PythonInBuf and PythonOutBuf ---------------------------------------------------------------

INBUF_ROWS = [
    row("no-argument", lambda: InBuf(), (TypeError, INCOMPATIBLE_CTOR)),
    row("two-arguments", lambda: InBuf(b"a", b"b"), (TypeError, INCOMPATIBLE_CTOR)),
    row("None", lambda: InBuf(None), (TypeError, INCOMPATIBLE_CTOR)),
    row("bytearray", lambda: InBuf(bytearray(b"a")), (TypeError, INCOMPATIBLE_CTOR)),
    row("memoryview", lambda: InBuf(memoryview(b"a")), (TypeError, INCOMPATIBLE_CTOR)),
    row("str", lambda: InBuf("a"), (TypeError, INCOMPATIBLE_CTOR)),
    row("int", lambda: InBuf(1), (TypeError, INCOMPATIBLE_CTOR)),
    row("PythonOutBuf", lambda: InBuf(sample_outbuf()), (TypeError, INCOMPATIBLE_CTOR)),
    row("PythonInBuf", lambda: InBuf(InBuf(b"a")), (TypeError, INCOMPATIBLE_CTOR)),
    row("bytes-of-PythonInBuf", lambda: bytes(InBuf(b"a")), (TypeError, None)),
    row("memoryview-of-PythonInBuf", lambda: memoryview(InBuf(b"a")), (TypeError, None)),
    row("attribute-on-PythonInBuf", lambda: setattr(InBuf(b"a"), "x", 1), (AttributeError, None),
        pypy_differs="instances of the binding library's classes take new attributes on PyPy"),
    row("empty-bytes-accepted", lambda: patch(InBuf(b""), InBuf(b"")), b""),
    row("bytes-subclass-accepted", lambda: patch(InBuf(BytesSub(OLD)), InBuf(BytesSub(b"\x00\x03"))), b"abc"),
]

OUTBUF_ROWS = [
    row("construct", lambda: OutBuf(), (TypeError, "No constructor defined!$")),
    row("construct-with-bytes", lambda: OutBuf(b"abc"), (TypeError, "No constructor defined!$")),
    row("attribute-on-PythonOutBuf", lambda: setattr(sample_outbuf(), "x", 1), (AttributeError, None),
        pypy_differs="instances of the binding library's classes take new attributes on PyPy"),
    row("empty-result", lambda: patch(b"", b""), b""),
]


@pytest.mark.parametrize("call, expected", INBUF_ROWS + OUTBUF_ROWS)
def test_buffer_classes_bad_input(call, expected):
    check_row(call, expected)


def test_outbuf_views_of_an_empty_result():
    view = memoryview(patch(b"", b""))
    assert (view.format, view.itemsize, view.ndim, view.shape, view.readonly) == ("b", 1, 1, (0,), False)
    assert view.tobytes() == b""
    view.release()


# --- arbitrary deltas: a result or a ValueError, never anything else ------------------------

def reference_patch(old, data):
    """What patch must make of a delta, from the delta format alone (None: rejected)."""
    out = bytearray()
    pos = 0

    def head(at):
        """(major type, additional info, argument, end of head) or None when cut short."""
        ib = data[at]
        major, info = ib >> 5, ib & 31
        if info < 24 or major in (6, 7):
            return major, info, info, at + 1
        if info > 27:  # reserved: one byte, no argument
            return major, info, 0, at + 1
        size = 1 << (info - 24)
        if at + 1 + size > len(data):
            return None
        return major, info, int.from_bytes(data[at + 1: at + 1 + size], "big"), at + 1 + size

    if data == b"\xf6":
        return bytes(old)
    while pos < len(data):
        ib = data[pos]
        decoded = head(pos)
        if decoded is None:
            return None
        major, info, argument, end = decoded
        if ib in (0xF9, 0xFA, 0xFB):
            end = pos + 1 + {0xF9: 2, 0xFA: 4, 0xFB: 8}[ib]
            if end > len(data):
                return None
        elif major in (2, 3) and info == 31:
            return None
        elif major in (2, 3) and info <= 27:
            if argument > len(data) - end:
                return None
            out += data[end: end + argument]
            end += argument
        elif major == 0:
            if end >= len(data):
                return None
            second = head(end)
            if second is None or second[0] != 0:
                return None
            length, end = second[2], second[3]
            if argument + length > len(old):
                return None
            out += old[argument: argument + length]
        pos = end
    return bytes(out)


delta_items = st.one_of(
    st.binary(max_size=3),
    st.integers(0, 40).map(lambda n: bytes([n]) if n < 24 else bytes([24, n])),
    st.builds(lambda o, n: bytes([o, n]), st.integers(0, 12), st.integers(0, 12)),
    st.binary(max_size=30).map(lambda b: bytes([0x40 + len(b)]) + b if len(b) < 24 else bytes([0x58, len(b)]) + b),
    st.sampled_from([b"\xf6", b"\x5f", b"\x7f", b"\xff", b"\x19", b"\x1b" + b"\xff" * 8, b"\xe0", b"\xf8"]),
)


@settings(max_examples=300, deadline=None)
@given(old=st.binary(max_size=12), items=st.lists(delta_items, max_size=8))
def test_arbitrary_deltas_give_a_result_or_value_error(old, items):
    data = b"".join(items)
    expected = reference_patch(old, data)
    try:
        result = bytes(patch(old, data))
    except ValueError as error:
        assert expected is None, f"rejected a valid delta: {error}"
        assert re.match(INVALID_DELTA, str(error))
    else:
        assert result == expected
