"""delta.diff_blocks: surface, exact deltas, round-trip properties, threads."""
import random
import threading

import pytest
from hypothesis import given, settings, strategies as st

from quorvane_core.delta import PythonInBuf, PythonOutBuf, diff, diff_blocks, patch

from conftest import needs_memory_for_2_gib, whole_value_delta


def test_surface():
    assert "moved and repeated blocks" in diff_blocks.__doc__
    assert diff_blocks.__doc__.startswith("diff_blocks(old_value: quorvane_core.delta.PythonInBuf, "
                                          "new_value: quorvane_core.delta.PythonInBuf, *, compact: bool = False)")
    old, new = b"0123456789abcdefghij", b"abcdefghij0123456789"
    result = diff_blocks(old, new)
    assert isinstance(result, PythonOutBuf)
    assert bytes(diff_blocks(PythonInBuf(old), new_value=PythonInBuf(new))) == bytes(result)
    assert bytes(diff_blocks(old_value=old, new_value=new, compact=True)) == bytes(result)


@pytest.mark.parametrize("call", [
    lambda: diff_blocks(bytearray(b"ab"), b"ab"),
    lambda: diff_blocks(b"ab", None),
    lambda: diff_blocks(b"ab", "ab"),
    lambda: diff_blocks(b"ab", diff_blocks(b"a", b"b")),
    lambda: diff_blocks(b"ab", b"ab", True),          # compact is keyword-only
    lambda: diff_blocks(b"ab"),
])
def test_bad_arguments(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("old, new, expected", [
    (b"0123456789", b"01234X56789", "000541580505"),                 # as diff
    (b"abcdefgh", b"abcdefgh", "f6"),
    (b"a", b"a", "4161"),
    (b"", b"", "40"),
    (b"abcdef", b"", "40"),
    (b"0123456789abcdefghij", b"abcdefghij0123456789", "0a0a000a"),  # diff: 0a0a4a30313233343536373839
    (b"abcdefghijklmnop", b"abcdefghijklmnop" * 3, "00100010" "0010"),
])
def test_exact_deltas(old, new, expected):
    assert bytes(diff_blocks(old, new)).hex() == expected
    assert bytes(diff_blocks(old, new, compact=True)).hex() == expected


@st.composite
def pairs(draw):
    kind = draw(st.sampled_from(["random", "edited", "rotated", "duplicated", "unrelated", "run", "tiny"]))
    rng = random.Random(draw(st.integers(0, 2**32)))
    size = draw(st.integers(0, 3000))
    alphabet = draw(st.sampled_from([2, 4, 256]))
    old = bytes(rng.randrange(alphabet) for _ in range(size))
    if kind == "random":
        return old, draw(st.binary(max_size=300))
    if kind == "unrelated":
        return old, bytes(rng.randrange(alphabet) for _ in range(draw(st.integers(0, 3000))))
    if kind == "rotated":
        at = rng.randrange(size + 1)
        return old, old[at:] + old[:at]
    if kind == "duplicated":
        at = rng.randrange(size + 1)
        return old, old[:at] + old + old[at:at + rng.randrange(500)]
    if kind == "run":
        byte = bytes([rng.randrange(256)])
        return byte * size, byte * draw(st.integers(0, 3000)) + old[:rng.randrange(50)] + byte * rng.randrange(100)
    if kind == "tiny":
        return draw(st.binary(max_size=1)), draw(st.binary(max_size=2))
    new = bytearray(old)
    for _ in range(draw(st.integers(0, 12))):
        at = rng.randrange(len(new) + 1)
        length = rng.randrange(1, 80)
        edit = rng.randrange(4)
        if edit == 0:
            new[at:at + length] = bytes(rng.randrange(256) for _ in range(length))
        elif edit == 1:
            del new[at:at + length]
        elif edit == 2:
            new[at:at] = bytes(rng.randrange(256) for _ in range(length))
        else:
            source = rng.randrange(len(new) + 1)
            new[at:at] = new[source:source + length * 4]
    return old, bytes(new)


@settings(max_examples=400, deadline=None)
@given(pairs(), st.booleans())
def test_patch_of_diff_blocks_gives_the_new_value(pair, compact):
    old, new = pair
    result = bytes(diff_blocks(old, new, compact=compact))
    assert bytes(patch(old, result)) == new
    assert len(result) < len(new) or result == whole_value_delta(new)
    assert (result == b"\xf6") == (old == new and len(new) >= 2)
    assert bytes(diff_blocks(old, new, compact=compact)) == result


def test_moved_sections_of_text_cost_little():
    lines = [f"line {i}: {random.Random(i).random()}\n".encode() for i in range(2000)]
    old = b"".join(lines)
    new = b"".join(lines[1000:] + lines[:500] + lines[1500:] + lines[500:1000])
    assert len(bytes(diff_blocks(old, new))) < 40
    assert len(bytes(diff(old, new))) > len(new) // 3


def test_threads_give_the_single_threaded_bytes():
    rng = random.Random(3)
    base = bytes(rng.randrange(16) for _ in range(1 << 20))
    work = []
    for k in range(6):
        new = bytearray(base)
        for _ in range(200):
            at = rng.randrange(len(new))
            new[at:at + 4] = bytes(rng.randrange(256) for _ in range(4))
        work.append((base, bytes(new[k * 1000:] + new[:k * 1000]), k % 2 == 1))
    expected = [bytes(diff_blocks(o, n, compact=c)) for o, n, c in work]
    got = [None] * len(work)
    start = threading.Barrier(len(work))

    def run(i):
        start.wait()
        o, n, c = work[i]
        got[i] = bytes(diff_blocks(o, n, compact=c))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(work))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == expected


@needs_memory_for_2_gib
def test_values_of_2_31_bytes_are_refused():
    huge = bytes(2**31)  # zero pages from calloc, never touched: the length is checked first
    for call in (lambda: diff_blocks(huge, b"abc"), lambda: diff_blocks(b"abc", huge)):
        with pytest.raises(ValueError, match="diff_blocks: values must be smaller than 2 GiB"):
            call()
