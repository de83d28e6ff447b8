"""No leaks: repeated calls of every entry point, successful and failing, keep the resident
size flat and leave the reference counts of their arguments unchanged.

Each call works on values of 16 KiB or more (or on deep values), so that one leaked buffer,
item or reference per call would add tens of MiB over the iterations, far beyond the
tolerance for allocator noise.
"""

import gc
import os
import resource
import sys

import pytest

from quorvane_core import cbor, delta
from conftest import Shrinker

# PyPy has no reference counts to read, and its garbage collector frees objects (and the
# memory behind them) at times of its own choosing.
pytestmark = pytest.mark.skipif(sys.implementation.name == "pypy",
                                reason="reference counts and prompt freeing are CPython's")

dumps = cbor.dumps
diff = delta.diff
patch = delta.patch
InBuf = delta.PythonInBuf
OutBuf = delta.PythonOutBuf

PAGE = resource.getpagesize()
WARMUP = 200
ITERATIONS = 2000
TOLERANCE = 8 * 2**20  # bytes of resident growth allowed over the iterations
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

BIG = 16 * 1024
OLD = bytes(range(256)) * (BIG // 256)
NEW = OLD[: BIG // 2] + b"inserted bytes" + OLD[BIG // 2 + 100:]
DELTA = bytes(diff(OLD, NEW))
TEXT = "é" * (BIG // 2)
DOC = {"name": TEXT, "data": OLD, "list": list(range(200)), "floats": [0.1, 1.5, 1e300], "nested": [[[{}]]]}
OUT_OF_RANGE = [OLD, TEXT, 2**64]
UNCASTABLE = [OLD, TEXT, {1, 2}]
DEEP = [OLD, [TEXT, [[[[1]]]]]]
SELF = [OLD]
SELF.append(SELF)
MUTATED = list(range(100))


def mutating_call():
    value = [OLD, TEXT] + MUTATED
    value.insert(2, Shrinker(value))
    try:
        dumps(value, False)
    except RuntimeError:
        pass


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def swallow(call):
    def run():
        try:
            call()
        except (TypeError, ValueError, RuntimeError, RecursionError):
            pass

    return run


def view_and_release():
    result = patch(OLD, DELTA)
    with memoryview(result) as view:
        assert view.nbytes == len(NEW)
    assert len(bytes(result)) == len(NEW)


# name, call, arguments whose reference counts must not change, iterations factor
CASES = [
    ("dumps", lambda: dumps(DOC), [DOC, TEXT, OLD], 1),
    ("dumps-definite-depth", lambda: dumps(DOC, False, 10), [DOC], 1),
    ("dumps-out-of-range", swallow(lambda: dumps(OUT_OF_RANGE)), [OUT_OF_RANGE, OLD, TEXT], 1),
    ("dumps-uncastable", swallow(lambda: dumps(UNCASTABLE)), [UNCASTABLE, OLD], 1),
    ("dumps-depth-exceeded", swallow(lambda: dumps(DEEP, True, 3)), [DEEP, OLD], 1),
    ("dumps-bad-argument", swallow(lambda: dumps({1, 2}, max_depth=-1)), [], 1),
    ("dumps-recursion-error", swallow(lambda: dumps(SELF)), [SELF, OLD], 0.1),
    ("dumps-container-changed", mutating_call, [OLD, TEXT], 1),
    ("diff", lambda: diff(OLD, NEW), [OLD, NEW], 1),
    ("diff-unchanged", lambda: diff(OLD, OLD), [OLD], 1),
    ("diff-whole-value", lambda: diff(b"", NEW), [NEW], 1),
    ("diff-PythonInBuf", lambda: diff(InBuf(OLD), InBuf(NEW)), [OLD, NEW], 1),
    ("diff-bad-argument", swallow(lambda: diff(OLD, None)), [OLD], 1),
    ("patch", lambda: patch(OLD, DELTA), [OLD, DELTA], 1),
    ("patch-view-and-bytes", view_and_release, [OLD, DELTA], 1),
    ("patch-rejected-after-output", swallow(lambda: patch(OLD, DELTA + b"\x05")), [OLD], 1),
    ("patch-match-past-end", swallow(lambda: patch(OLD, DELTA + b"\x00\x19\x7f\xff")), [OLD], 1),
    ("patch-bad-argument", swallow(lambda: patch(bytearray(OLD), DELTA)), [DELTA], 1),
    ("PythonInBuf", lambda: InBuf(OLD), [OLD], 1),
    ("PythonInBuf-bad-argument", swallow(lambda: InBuf(TEXT)), [TEXT], 1),
    ("PythonOutBuf-construct", swallow(lambda: OutBuf()), [], 1),
    ("diff_blocks", lambda: delta.diff_blocks(OLD, NEW), [OLD, NEW], 1),
    ("diff_blocks-compact-PythonInBuf", lambda: delta.diff_blocks(InBuf(OLD), InBuf(NEW), compact=True), [OLD, NEW], 1),
    ("diff_blocks-unchanged", lambda: delta.diff_blocks(OLD, OLD), [OLD], 1),
    ("diff_blocks-bad-argument", swallow(lambda: delta.diff_blocks(OLD, None)), [OLD], 1),
]


@pytest.mark.parametrize("call, watched, factor", [pytest.param(c, w, f, id=n) for n, c, w, f in CASES])
def test_reference_counts_unchanged(call, watched, factor):
    for _ in range(10):
        call()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(max(20, int(200 * factor))):
        call()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's quarantine keeps freed memory resident")
@pytest.mark.parametrize("call, factor", [pytest.param(c, f, id=n) for n, c, _, f in CASES])
def test_resident_size_stays_flat(call, factor):
    for _ in range(int(WARMUP * factor)):
        call()
    gc.collect()
    before = rss()
    for _ in range(int(ITERATIONS * factor)):
        call()
    gc.collect()
    grown = rss() - before
    assert grown < TOLERANCE, f"resident size grew by {grown / 2**20:.1f} MiB"


def test_result_buffers_are_freed_with_their_last_view():
    """A PythonOutBuf lives as long as a view of it; dropping both frees its storage."""

    def cycle():
        view = memoryview(patch(b"", b"\x5a\x00\x04\x00\x00" + bytes(2**18)))
        assert view.nbytes == 2**18
        del view

    for _ in range(20):
        cycle()
    gc.collect()
    before = rss()
    for _ in range(300):
        cycle()
    gc.collect()
    if not UNDER_ASAN:
        assert rss() - before < TOLERANCE
