"""Results that read like bytes (len, ==, repr, hash) and diff_blocks on any contiguous buffer."""
import array
import mmap
import random
import sys
import threading

import pytest
from hypothesis import given, strategies as st

from quorvane_core import delta
from quorvane_core.delta import PythonInBuf, diff, diff_blocks, patch

from conftest import PYPY

SIGNED = bytes(range(256))          # bytes from 0x80 up read as negative items of a 'b' view
RESULT = patch(b"", b"\x59\x01\x00" + SIGNED)                      # a PythonOutBuf holding SIGNED
EMPTY = patch(b"abc", b"\x40")


def test_result_is_the_bytes_it_holds():
    assert bytes(RESULT) == SIGNED and len(RESULT) == 256 and len(EMPTY) == 0


# other, RESULT == other
EQUALITY = [
    pytest.param(SIGNED, True, id="bytes"),
    pytest.param(bytearray(SIGNED), True, id="bytearray"),
    pytest.param(memoryview(SIGNED), True, id="memoryview"),
    pytest.param(array.array("B", SIGNED), True, id="array-B"),
    pytest.param(array.array("b", SIGNED), True, id="array-b"),
    pytest.param(memoryview(SIGNED * 2)[::2], False, id="non-contiguous"),
    pytest.param(patch(b"", b"\x59\x01\x00" + SIGNED), True, id="another-PythonOutBuf"),
    pytest.param(SIGNED[:-1], False, id="shorter"),
    pytest.param(SIGNED + b"\x00", False, id="longer"),
    pytest.param(SIGNED[:-1] + b"\x00", False, id="last-byte-differs"),
    pytest.param(SIGNED.decode("latin-1"), False, id="str"),
    pytest.param(None, False, id="None"),
    pytest.param(256, False, id="int"),
    pytest.param(PythonInBuf(SIGNED), False, id="PythonInBuf"),
    pytest.param(list(SIGNED), False, id="list"),
]


@pytest.mark.parametrize("other, equal", EQUALITY)
def test_equality(other, equal):
    assert (RESULT == other) is equal and (RESULT != other) is (not equal)
    if not isinstance(other, memoryview):
        # From the other side too (a memoryview on the left compares items, see below).
        assert (other == RESULT) is equal and (other != RESULT) is (not equal)


def test_equality_of_empty_and_unchanged_results():
    assert EMPTY == b"" and EMPTY == bytearray() and EMPTY != b"\x00"
    assert diff(b"x" * 100, b"x" * 100) == b"\xf6"        # "unchanged?" reads as it should
    assert RESULT == RESULT


@given(st.binary(max_size=300), st.binary(max_size=300), st.sampled_from([bytes, bytearray, memoryview]))
def test_equality_is_that_of_the_bytes(value, other, wrap):
    result = diff(b"", value)                       # holds the whole-value delta of value
    held = bytes(result)
    for candidate in (other, held, held[:-1], held + b"\x00"):
        assert (result == wrap(candidate)) is (held == candidate)
        assert (wrap(candidate) != result) is (held != candidate) or wrap is memoryview
    assert len(result) == len(held) and repr(result) == f"<PythonOutBuf {len(held)} byte{'s' * (len(held) != 1)}>"


@given(st.binary(max_size=2000), st.binary(max_size=2000), st.sampled_from([bytearray, memoryview, PythonInBuf]))
def test_diff_blocks_gives_the_same_delta_for_every_kind_of_input(old, new, wrap):
    assert diff_blocks(wrap(old), wrap(new)) == bytes(diff_blocks(old, new))


def test_memoryview_on_the_left_compares_signed_items():
    """view == result compares items, and the result's are signed: from 0x80 up they differ
    from a bytes view's. The other way round, or through bytes, compares the bytes."""
    if sys.implementation.name == "cpython":       # PyPy's memoryview compares the bytes
        assert (memoryview(SIGNED) == RESULT) is False
    assert memoryview(SIGNED[:128]) == patch(b"", b"\x58\x80" + SIGNED[:128])
    assert RESULT == memoryview(SIGNED) and memoryview(RESULT).cast("B") == memoryview(SIGNED)


def test_unhashable_like_bytearray():
    assert delta.PythonOutBuf.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(RESULT)
    with pytest.raises(TypeError):
        {RESULT}


@pytest.mark.parametrize("result, text", [
    (RESULT, "<PythonOutBuf 256 bytes>"),
    (EMPTY, "<PythonOutBuf 0 bytes>"),
    (diff(b"ab" * 10, b"ab" * 10), "<PythonOutBuf 1 byte>"),
])
def test_repr(result, text):
    assert repr(result) == text == str(result)


@pytest.mark.skipif(PYPY, reason="PyPy has no sys.getsizeof")
def test_size_counts_the_bytes_held():
    """Memory accounting (sys.getsizeof, and so dask's) sees what a result costs."""
    big = patch(b"", bytes(diff(b"", bytes(2**20))))
    assert 2**20 < sys.getsizeof(big) < 2**20 + 4096
    assert sys.getsizeof(EMPTY) < 4096


def test_buffer_is_unchanged():
    """One dimension, item size 1, format 'b', writable; writes show in later reads."""
    result = patch(b"", b"\x43abc")
    view = memoryview(result)
    assert (view.ndim, view.itemsize, view.format, view.readonly, view.shape) == (1, 1, "b", False, (3,))
    view[0] = -10
    assert result == b"\xf6bc" and len(result) == 3


# --- diff_blocks on any contiguous buffer ---------------------------------------------------

OLD = bytes(random.Random(7).randrange(256) for _ in range(5000))
NEW = OLD[:1000] + b"inserted" + OLD[3000:] + OLD[:500]


def mapped(value):
    memory = mmap.mmap(-1, len(value))
    memory.write(value)
    return memory


# name, how to wrap a value
ACCEPTED = [
    ("bytes", bytes),
    ("bytearray", bytearray),
    ("memoryview", memoryview),
    ("memoryview-slice", lambda v: memoryview(b"xx" + v + b"yy")[2:-2]),
    ("mmap", mapped),
    ("array-B", lambda v: array.array("B", v)),
    ("PythonInBuf", PythonInBuf),
    ("PythonOutBuf", lambda v: patch(b"", bytes(diff(b"", v)))),
    ("read-only-memoryview-of-bytearray", lambda v: memoryview(bytearray(v)).toreadonly()),
]


@pytest.mark.parametrize("name, wrap", ACCEPTED, ids=[a[0] for a in ACCEPTED])
@pytest.mark.parametrize("compact", [False, True])
def test_diff_blocks_takes_any_contiguous_buffer(name, wrap, compact):
    """The same delta as from bytes, for the old value, the new value or both wrapped."""
    expected = bytes(diff_blocks(OLD, NEW, compact=compact))
    assert bytes(patch(OLD, expected)) == NEW
    for old, new in ((wrap(OLD), NEW), (OLD, wrap(NEW)), (wrap(OLD), wrap(NEW))):
        assert diff_blocks(old, new, compact=compact) == expected


def test_diff_blocks_reads_multibyte_items_as_their_bytes():
    words = array.array("I", range(2000))
    assert diff_blocks(words, NEW) == diff_blocks(words.tobytes(), NEW)


# argument, error
REFUSED = [
    pytest.param(memoryview(OLD)[::2], BufferError, id="non-contiguous"),
    pytest.param(memoryview(OLD)[::-1], BufferError, id="reversed"),
    pytest.param("text", TypeError, id="str"),
    pytest.param(None, TypeError, id="None"),
    pytest.param(5000, TypeError, id="int"),
    pytest.param([1, 2, 3], TypeError, id="list"),
]


@pytest.mark.parametrize("argument, error", REFUSED)
def test_diff_blocks_refuses(argument, error):
    with pytest.raises(error, match="diff_blocks"):
        diff_blocks(argument, NEW)
    with pytest.raises(error, match="diff_blocks"):
        diff_blocks(OLD, argument)


def test_diff_blocks_releases_the_buffers():
    """After a call, successful or not, the inputs can be resized and closed again."""
    old, new, memory = bytearray(OLD), bytearray(NEW), mapped(NEW)
    diff_blocks(old, memory)
    with pytest.raises(BufferError):
        diff_blocks(old, memoryview(new)[::2])
    old.append(1)
    new.extend(b"more")
    memory.close()


@pytest.mark.parametrize("call", [
    lambda old: diff(old, b"x"),
    lambda old: patch(old, b"\x40"),
    lambda old: diff(b"x", old),
])
@pytest.mark.parametrize("wrap", [bytearray, memoryview], ids=["bytearray", "memoryview"])
def test_diff_and_patch_take_other_buffers_with_the_same_result(call, wrap):
    assert bytes(call(wrap(b"abc"))) == bytes(call(b"abc"))


@pytest.mark.skipif(sys.implementation.name == "pypy",
                    reason="PyPy does not refuse to resize an exported bytearray: diff_blocks copies it there")
def test_a_bytearray_cannot_be_resized_while_diff_blocks_reads_it():
    """The buffer export is held while the engine runs with the lock released: a resize from
    another thread meanwhile raises BufferError, and the delta is that of the bytes read."""
    rng = random.Random(3)
    old = bytearray(rng.getrandbits(2**27).to_bytes(2**24, "little"))    # 16 MiB
    new = bytes(old[: 2**23]) + b"edit" + bytes(old[: 2**20]) + bytes(old[9 * 2**20:])
    result = []
    worker = threading.Thread(target=lambda: result.append(diff_blocks(old, new)))
    refused = False
    worker.start()
    while worker.is_alive() and not refused:
        try:
            old.append(0)    # succeeds until the engine holds the buffer
            old.pop()
        except BufferError:
            refused = True
    worker.join()
    assert refused, "the call ended before a resize was tried"
    assert bytes(patch(bytes(old), bytes(result[0]))) == new
    old.append(0)            # released when the call returns
