"""delta.compress and delta.decompress: surface, round trips, buffers, errors, threads, Ctrl-C."""
import _thread
import array
import mmap
import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings, strategies as st

from quorvane_core import delta
from quorvane_core.delta import DEFAULT_LEVEL, MAX_LEVEL, compress, decompress

from conftest import limits_address_space, randbytes


def edited(old, seed, edits=20):
    rng = random.Random(seed)
    new = bytearray(old)
    for _ in range(edits):
        at = rng.randrange(len(new) + 1)
        new[at:at + rng.randrange(0, 30)] = randbytes(rng, rng.randrange(0, 30))
    return bytes(new)


OLD = randbytes(random.Random(1), 20000)
NEW = edited(OLD, 2)


def test_surface():
    assert 1 <= DEFAULT_LEVEL <= MAX_LEVEL
    assert compress.__doc__.startswith("compress(old_value: Union[collections.abc.Buffer, quorvane_core.delta.PythonInBuf], new_value: Union[collections.abc.Buffer, quorvane_core.delta.PythonInBuf], *, level: int = %d, threads: int = 1)" % DEFAULT_LEVEL)
    assert decompress.__doc__.startswith("decompress(old_value: Union[collections.abc.Buffer, quorvane_core.delta.PythonInBuf], data: Union[collections.abc.Buffer, quorvane_core.delta.PythonInBuf], *, max_size: int = 4294967296)")
    result = compress(OLD, NEW)
    assert type(result) is bytes
    assert compress(old_value=OLD, new_value=NEW, level=DEFAULT_LEVEL) == result
    assert decompress(old_value=OLD, data=result) == NEW
    assert delta.__dict__["compress"] is compress


values = st.one_of(st.binary(max_size=3000), st.binary(max_size=40).map(lambda b: b * 50))


@settings(max_examples=60, deadline=None)
@given(old=values, new=values, level=st.integers(1, MAX_LEVEL))
def test_round_trip_of_any_pair(old, new, level):
    assert decompress(old, compress(old, new, level=level)) == new


@settings(max_examples=40, deadline=None)
@given(old=values, new=values, level=st.integers(1, MAX_LEVEL), threads=st.sampled_from([0, 2, 3, 64]))
def test_any_thread_count_gives_the_same_bytes(old, new, level, threads):
    assert compress(old, new, level=level, threads=threads) == compress(old, new, level=level)


@settings(max_examples=60, deadline=None)
@given(old=st.binary(min_size=1, max_size=4000), seed=st.integers(0, 2**32), level=st.integers(1, MAX_LEVEL),
       moves=st.integers(0, 6))
def test_round_trip_of_edited_moved_and_repeated_values(old, seed, level, moves):
    rng = random.Random(seed)
    new = bytearray(edited(old, seed, rng.randrange(0, 10)))
    for _ in range(moves):  # a block moved or repeated elsewhere
        a = rng.randrange(len(new) + 1)
        block = new[a:a + rng.randrange(1, 500)]
        if rng.random() < 0.5:
            del new[a:a + len(block)]
        b = rng.randrange(len(new) + 1)
        new[b:b] = block
    new = bytes(new)
    data = compress(old, new, level=level)
    assert decompress(old, data) == new
    assert compress(old, new, level=level) == data  # the same bytes again


@pytest.mark.parametrize("wrap", [
    bytes, bytearray, memoryview, lambda b: memoryview(bytearray(b)),
    lambda b: memoryview(b"??" + b + b"??")[2:-2],
    lambda b: array.array("B", b),
    lambda b: memoryview(array.array("I", b[: len(b) // 4 * 4])) if False else array.array("B", b),
], ids=["bytes", "bytearray", "memoryview", "memoryview_of_bytearray", "slice", "array", "array2"])
def test_buffers_are_read_in_place(wrap):
    data = compress(wrap(OLD), wrap(NEW))
    assert data == compress(OLD, NEW)
    assert decompress(wrap(OLD), wrap(data)) == NEW


def test_mmap_inputs(tmp_path):
    paths = []
    for name, value in (("old", OLD), ("new", NEW)):
        p = tmp_path / name
        p.write_bytes(value)
        paths.append(p)
    with open(paths[0], "rb") as fo, open(paths[1], "rb") as fn:
        with mmap.mmap(fo.fileno(), 0, access=mmap.ACCESS_READ) as mo, \
                mmap.mmap(fn.fileno(), 0, access=mmap.ACCESS_READ) as mn:
            data = compress(mo, mn)
            assert decompress(mo, data) == NEW


@pytest.mark.skipif(sys.implementation.name == "pypy", reason="PyPy resizes an exported bytearray (inputs are copied there)")
def test_a_held_bytearray_cannot_be_resized_meanwhile():
    old = bytearray(OLD)
    view = memoryview(old)  # a held buffer blocks resizing, as compress's own hold does
    with pytest.raises(BufferError):
        old.extend(b"x")
    view.release()
    assert decompress(old, compress(old, NEW)) == NEW


@pytest.mark.parametrize("call, error", [
    (lambda: compress(OLD, NEW, level=0), ValueError),
    (lambda: compress(OLD, NEW, level=MAX_LEVEL + 1), ValueError),
    (lambda: compress(OLD, NEW, 3), TypeError),              # level is keyword-only
    (lambda: compress(OLD, "text"), TypeError),
    (lambda: compress(None, NEW), TypeError),
    (lambda: compress(OLD, memoryview(NEW)[::2]), BufferError),
    (lambda: decompress(OLD, b"", max_size=-1), TypeError),
    (lambda: decompress(OLD, "text"), TypeError),
    (lambda: decompress(OLD, memoryview(compress(OLD, NEW))[::2]), BufferError),
])
def test_bad_arguments(call, error):
    with pytest.raises(error):
        call()


DATA = compress(OLD, NEW)


@pytest.mark.parametrize("old, data, message", [
    (OLD, b"", "invalid compressed delta at byte 0: cut short in the header"),
    (OLD, b"QVC", "invalid compressed delta at byte 3: cut short in the header"),
    (OLD, b"XVCD" + DATA[4:], "invalid compressed delta at byte 0: not a compressed delta (wrong magic number)"),
    (OLD, DATA[:4] + b"\x02" + DATA[5:], "invalid compressed delta at byte 4: unsupported format version"),
    (OLD, DATA[:20], "invalid compressed delta at byte 20: cut short in the header"),
    (OLD, DATA[:7] + b"\xff" * 11, "invalid compressed delta at byte 7: malformed number in the header"),
    (OLD, DATA[:-1], f"invalid compressed delta at byte {len(DATA) - 1}: cut short before the checksum"),
    (OLD, DATA[:-9], f"invalid compressed delta at byte {len(DATA) - 9}: cut short"),
    (OLD, DATA + b"\0", f"invalid compressed delta at byte {len(DATA)}: bytes after the end of the delta"),
    (OLD, DATA[:-1] + bytes([DATA[-1] ^ 1]),
     f"invalid compressed delta at byte {len(DATA) - 8}: checksum does not match (damaged delta)"),
    (OLD, DATA[:-20] + bytes([DATA[-20] ^ 1]) + DATA[-19:], f"invalid compressed delta at byte {len(DATA) - 8}: checksum"),
    (OLD[:-1], DATA, "wrong old value for this compressed delta (byte 7): old value's length differs"),
    (OLD[:-1] + b"?", DATA, "wrong old value for this compressed delta (byte 13): old value differs"),
])
def test_errors(old, data, message):
    with pytest.raises(ValueError) as caught:
        decompress(old, data)
    assert str(caught.value).startswith(message)


def test_every_bit_flip_is_refused():
    old = randbytes(random.Random(3), 300)
    data = compress(old, edited(old, 4, 3))
    for bit in range(len(data) * 8):
        damaged = bytearray(data)
        damaged[bit // 8] ^= 1 << (bit % 8)
        with pytest.raises(ValueError, match=r"^invalid compressed delta at byte \d+: "):
            decompress(old, damaged)


def test_max_size():
    data = compress(OLD, NEW)
    assert decompress(OLD, data, max_size=len(NEW)) == NEW
    with pytest.raises(ValueError, match=f"declares a new value of {len(NEW)} bytes, more than max_size \\({len(NEW) - 1}\\)"):
        decompress(OLD, data, max_size=len(NEW) - 1)


def test_threads_get_the_single_threaded_bytes():
    rng = random.Random(5)
    pairs = [(o, edited(o, k)) for k, o in enumerate(randbytes(rng, n) for n in (50000, 200000, 10000, 120000))]
    expected = [compress(o, n, level=lv) for (o, n), lv in zip(pairs, (1, DEFAULT_LEVEL, MAX_LEVEL, 5))]
    failures = []

    def work(order):
        for i in order:
            (old, new), level = pairs[i], (1, DEFAULT_LEVEL, MAX_LEVEL, 5)[i]
            data = compress(old, new, level=level)
            if data != expected[i] or decompress(old, data) != new:
                failures.append(i)

    threads = [threading.Thread(target=work, args=(random.Random(t).sample(range(4), 4) * 2,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_threads_decompressing_in_turn_keep_their_decoders_apart():
    # Each thread keeps zstd decoders from one decompress to the next: frames of both modes,
    # one with a stream of differences longer than a kept decoder's window may grow (every
    # 4th byte of 6 MiB changed), and damaged frames between them must all decode as alone.
    rng = random.Random(8)
    text = " ".join(rng.choice(["alpha", "beta", "gamma", "delta", "omega"]) for _ in range(60000)).encode()
    binary = randbytes(rng, 150000)
    large = randbytes(rng, 6 << 20)
    changed = bytearray(large)
    changed[::4] = bytes((b + 1) & 0xFF for b in large[::4])
    pairs = [(text, edited(text, 1)), (binary, edited(binary, 2)), (large, bytes(changed)), (b"", b"x" * 100)]
    deltas = [compress(old, new, level=level) for (old, new), level in zip(pairs, (DEFAULT_LEVEL, 1, 1, MAX_LEVEL))]
    damaged = bytearray(deltas[1])
    damaged[-1] ^= 1
    failures = []

    def work(seed):
        order = random.Random(seed).choices(range(len(pairs) + 1), k=40)
        for i in order:
            if i == len(pairs):
                try:
                    decompress(pairs[1][0], damaged)
                    failures.append("damaged frame accepted")
                except ValueError:
                    pass
            elif decompress(pairs[i][0], deltas[i]) != pairs[i][1]:
                failures.append(i)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    work(99)
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.xfail(sys.implementation.name == "pypy", strict=False,
                   reason="PyPy runs signal handlers only between its own bytecodes (a short call may end first)")
def test_ctrl_c_stops_a_long_compress():
    old = randbytes(random.Random(6), 48 << 20)
    new = edited(old, 7, 2000)  # seconds of work at the top level
    timer = threading.Timer(0.3, _thread.interrupt_main)  # as if Ctrl-C were pressed
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            compress(old, new, level=MAX_LEVEL)
    finally:
        timer.join()
    assert decompress(OLD, compress(OLD, NEW)) == NEW  # the module still works


@limits_address_space
@pytest.mark.skipif(sys.platform == "win32", reason="needs resource.setrlimit")
def test_running_out_of_memory_raises_memory_error():
    # Two unrelated 256 MiB values under a 768 MiB address-space limit, in a process of its
    # own: the index, the literal stream or zstd's tables do not fit; then a small call works.
    code = textwrap.dedent("""
        import os, resource
        resource.setrlimit(resource.RLIMIT_AS, (768 << 20, 768 << 20))
        from quorvane_core.delta import compress, decompress, MAX_LEVEL
        old, new = os.urandom(256 << 20), os.urandom(256 << 20)
        for level in (1, MAX_LEVEL):
            try:
                compress(old, new, level=level)
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError at level %d" % level)
        del old, new
        assert decompress(b"abc", compress(b"abc", b"abcd")) == b"abcd"
        print("usable")
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout.strip() == "usable", run.stderr + run.stdout
