"""delta.diff and delta.patch: surface, exact deltas, buffers, errors and round trips."""
import gc
import sys

import pytest
from hypothesis import given, settings, strategies as st

from quorvane_core import delta
from quorvane_core.delta import PythonInBuf, PythonOutBuf, diff, patch

from conftest import whole_value_delta


def test_module_surface():
    assert delta.__doc__ == (
        "\n        Quorvane Delta\n        -----------------------\n\n        .. currentmodule:: quorvane_delta\n\n"
        "        .. autosummary::\n           :toctree: _generate\n\n           diff\n    ")
    assert [n for n in vars(delta) if n in ("__doc__", "__version__") or not n.startswith("__")] == [
        "__doc__", "PythonOutBuf", "PythonInBuf", "diff", "patch", "diff_blocks", "__version__",
        "MAX_LEVEL", "DEFAULT_LEVEL", "compress", "decompress"]
    assert diff.__doc__.endswith("\n\n    Diff between 'old_value' and 'new_value'\n    \n")
    assert patch.__doc__.endswith("\n\n    Apply 'diff' to 'old_value'\n    \n")
    with pytest.raises(TypeError, match="No constructor defined!$"):
        PythonOutBuf()
    if sys.implementation.name != "pypy":  # on PyPy the binding library's instances take attributes
        with pytest.raises(AttributeError):
            PythonInBuf(b"x").extra = 1


@pytest.mark.parametrize("old, new, expected", [
    (b"xyzabcdefghij", b"abcdefghij", "030a"),
    (b"abcdefghij", b"abcdefghijxyz", "000a4378797a"),
    (b"abcdefghijklmnopqrstuvwxyz", b"abcdefgXXXXhijklmnopqrYYYYstuvwxyz", "00074458585858070b44595959591208"),
    (b"0123456789abcdefghij", b"abcdefghij0123456789", "0a0a4a30313233343536373839"),
    (b"0123456789", b"01234X56789", "000541580505"),
    (b"abcdefgh", b"abcdefgh", "f6"),
    (b"a", b"a", "4161"),
    (b"", b"", "40"),
    (b"abcdef", b"", "40"),
    (b"abc", b"abcxyz", "4661626378797a"),
])
def test_exact_deltas(old, new, expected):
    result = diff(old, new)
    assert isinstance(result, PythonOutBuf)
    assert bytes(result).hex() == expected
    assert bytes(patch(old, bytes(result))) == new


def test_hopeless_search_gives_the_whole_value():
    new = b"B" + bytes(97 + i % 26 for i in range(30000)) + b"A"
    assert bytes(diff(b"AB", new)) == b"\x59\x75\x32" + new


@pytest.mark.parametrize("delta_hex, result", [
    ("", b""), ("40", b""), ("0003425859" "0303", b"abcXYdef"), ("03030003", b"defabc"), ("00020002", b"abab"),
    ("4378797a", b"xyz"), ("6161", b"a"), ("f54161", b"a"), ("0000", b""), ("f6", b"abcdef"),
])
def test_patch_entries(delta_hex, result):
    assert bytes(patch(b"abcdef", bytes.fromhex(delta_hex))) == result


@pytest.mark.parametrize("delta_hex, message", [
    ("05", "invalid delta at byte 0: match offset is not followed by a length"),
    ("004161", "invalid delta at byte 0: match offset is not followed by a length"),
    ("41614262", "invalid delta at byte 2: item cut short by the end of the delta"),
    ("0502", "invalid delta at byte 0: match reaches past the end of the old value"),
    ("5f", "invalid delta at byte 0: indefinite-length string"),
])
def test_patch_rejects_damaged_deltas(delta_hex, message):
    with pytest.raises(ValueError) as info:
        patch(b"abcdef", bytes.fromhex(delta_hex))
    assert str(info.value) == message


def test_in_buffers_and_keywords():
    a, b = PythonInBuf(b"abc"), PythonInBuf(b"abd")
    assert bytes(diff(a, b)) == bytes(diff(b"abc", b"abd"))
    assert bytes(patch(diff=bytes(diff(old_value=b"abc", new_value=b"abd")), old_value=a)) == b"abd"
    empty = PythonInBuf(b"")
    assert bytes(diff(empty, empty)) == b"\x40" and bytes(patch(empty, b"")) == b""

    class Sub(bytes):
        pass

    assert bytes(patch(Sub(b"abc"), Sub(b"\x00\x02"))) == b"ab"
    value = b"kept alive " * 10
    buffer = PythonInBuf(value)
    del value
    gc.collect()
    assert bytes(patch(buffer, b"\x00\x04")) == b"kept"


@pytest.mark.parametrize("bad", [None, "a", 1])
def test_only_buffers_or_in_buffers_are_accepted(bad):
    for call in (lambda: diff(bad, b"a"), lambda: diff(b"a", bad), lambda: patch(bad, b""), lambda: PythonInBuf(bad)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError):
        memoryview(PythonInBuf(b"a"))


def test_out_buffer_protocol():
    result = diff(b"abcdefgh", b"abcdefgh")
    view = memoryview(result)
    assert (view.format, view.itemsize, view.ndim, view.shape, view.readonly) == ("b", 1, 1, (1,), False)
    assert view[0] == -10 and bytes(result) == b"\xf6"
    view[0] = 0x40
    assert bytes(result) == b"\x40"
    del result
    gc.collect()
    assert view.tobytes() == b"\x40"


blocks = st.binary(max_size=64)


@st.composite
def related_pairs(draw):
    old = draw(st.binary(max_size=2000) | st.lists(st.sampled_from(b"ab"), max_size=600).map(bytes))
    new = bytearray(old)
    for _ in range(draw(st.integers(0, 6))):
        kind = draw(st.sampled_from(["insert", "delete", "move", "repeat"]))
        at = draw(st.integers(0, len(new)))
        if kind == "insert":
            new[at:at] = draw(blocks)
        elif kind == "delete":
            del new[at:at + draw(st.integers(0, 64))]
        elif kind == "move":
            piece = bytes(new[at:at + draw(st.integers(0, 200))])
            del new[at:at + len(piece)]
            new[0:0] = piece
        else:
            new += new[at:at + draw(st.integers(0, 200))]
    return old, bytes(new)


@settings(max_examples=300, deadline=None)
@given(related_pairs() | st.tuples(st.binary(max_size=3000), st.binary(max_size=3000)))
def test_patch_of_diff_gives_the_new_value(pair):
    old, new = pair
    result = bytes(diff(old, new))
    assert bytes(patch(old, result)) == new
    assert len(result) < len(new) or result == whole_value_delta(new)
    if len(old) >= 2:
        assert bytes(diff(old, old)) == b"\xf6"


@settings(max_examples=150, deadline=None)
@given(related_pairs() | st.tuples(st.binary(max_size=3000), st.binary(max_size=3000)))
def test_every_path_gives_the_reference_search_bytes(pair):
    # The private hook forces an implementation of the search's wave passes; the reference one
    # (written out literally) is the oracle of the others.
    from quorvane_core import _diff_path
    old, new = pair
    default = _diff_path.get()
    try:
        assert _diff_path.set("reference")
        expected = bytes(diff(old, new))
        for path in _diff_path.available():
            assert _diff_path.set(path)
            assert bytes(diff(old, new)) == expected, path
    finally:
        _diff_path.set(default)


def test_large_values_reach_the_effort_limit_and_still_round_trip():
    import random
    rng = random.Random(5)
    old = bytes(rng.getrandbits(8) for _ in range(200000))
    new = bytearray(old)
    for _ in range(300):
        at = rng.randrange(len(new))
        new[at:at + rng.randrange(50)] = bytes(rng.getrandbits(8) for _ in range(rng.randrange(50)))
    new = bytes(new)
    result = bytes(diff(old, new))
    assert len(result) < len(new) // 10
    assert bytes(patch(old, result)) == new
