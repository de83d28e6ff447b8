"""Ctrl-C stops every long call at once: a SIGINT sent to the process while diff, diff_blocks,
compress (the lowest and the top level, block and prefix mode) or decompress works raises
KeyboardInterrupt from the call, and nothing is returned. The stop delays are printed (run
with -s to see them); the bound checked is loose, far below what the calls take when left
alone (tens of seconds to minutes here)."""
import os
import random
import signal
import sys
import threading
import time

import pytest

from quorvane_core.delta import compress, decompress, diff, diff_blocks, patch, MAX_LEVEL

from conftest import randbytes

pytestmark = [
    pytest.mark.skipif(not hasattr(signal, "SIGINT") or sys.platform == "win32", reason="needs os.kill with SIGINT"),
    pytest.mark.xfail(sys.implementation.name == "pypy", strict=False,
                      reason="PyPy runs signal handlers only between its own bytecodes"),
]

# Seconds after the start of a call when the signal is sent, and the loose bound on the time
# from the signal to KeyboardInterrupt (the checks come every few tens of milliseconds).
SEND_AFTER = 0.5
LOOSE_BOUND = 5.0


def unrelated(size, seed, alphabet=256):
    """Two unrelated values; with a small alphabet every window of the new one has many
    candidates in the old one (the slowest work per byte of the block matchers)."""
    rng = random.Random(seed)
    table = bytes(b % alphabet for b in range(256))
    return randbytes(rng, size).translate(table), randbytes(rng, size).translate(table)


def edited(old, edits, seed):
    rng = random.Random(seed)
    new = bytearray(old)
    for _ in range(edits):
        at = rng.randrange(len(new))
        new[at:at + rng.randrange(1, 40)] = randbytes(rng, rng.randrange(0, 40))
    return bytes(new)


BASE64 = bytes(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[b % 64] for b in range(256))


def binary_pair():
    old = randbytes(random.Random(3), 6 << 20).translate(bytes(b % 16 for b in range(256)))
    return old, edited(old, 6000, 4)


def text_pair():  # prefix mode with LZMA2 (old and new within 2 MiB): seconds at the top level
    old = randbytes(random.Random(5), 900 << 10).translate(BASE64)
    return old, edited(old, 500, 6)


CALLS = {
    "diff unrelated 4 MiB": (lambda: unrelated(4 << 20, 1), diff),
    "diff_blocks unrelated 64 MiB, 4 symbols": (lambda: unrelated(64 << 20, 2, 4), diff_blocks),
    "diff_blocks compact unrelated 64 MiB, 4 symbols":
        (lambda: unrelated(64 << 20, 2, 4), lambda a, b: diff_blocks(a, b, compact=True)),
    "compress level 1 unrelated 64 MiB, 4 symbols":
        (lambda: unrelated(64 << 20, 2, 4), lambda a, b: compress(a, b, level=1)),
    "compress top level 6 MiB binary pair": (binary_pair, lambda a, b: compress(a, b, level=MAX_LEVEL)),
    "compress top level 0.9 MiB text pair": (text_pair, lambda a, b: compress(a, b, level=MAX_LEVEL)),
    "compress top level 0.9 MiB text pair, two threads":
        (text_pair, lambda a, b: compress(a, b, level=MAX_LEVEL, threads=2)),
    "patch of a 64 MiB value, again and again": (lambda: patch_inputs(), lambda a, b: patch_many(a, b)),
}


def patch_inputs():
    old = randbytes(random.Random(9), 64 << 20)
    return old, bytes(diff_blocks(old, old[1:] + b"x"))


def patch_many(old, delta):  # one patch is a fraction of a second: the signal lands in one of them
    while True:
        patch(old, delta)


def interrupted_after(call, *args):
    """Runs call(*args), sending SIGINT SEND_AFTER seconds in: the delay from the signal to
    KeyboardInterrupt (None when the call returned first)."""
    sent = []

    def send():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(SEND_AFTER, send)
    timer.start()
    try:
        call(*args)
    except KeyboardInterrupt:
        timer.join()
        return time.perf_counter() - sent[0]
    # The call returned first: a signal sent meanwhile must not end the test session.
    try:
        timer.cancel()
        timer.join()
        time.sleep(0.05)
    except KeyboardInterrupt:
        pass
    return None


@pytest.mark.parametrize("name", list(CALLS))
def test_ctrl_c_stops_the_call(name):
    make, call = CALLS[name]
    old, new = make()
    delay = interrupted_after(call, old, new)
    assert delay is not None, "the call returned before the signal came"
    print(f"\nctrl-c stop delay, {name}: {delay * 1000:.1f} ms")
    assert delay < LOOSE_BOUND
    assert bytes(patch(b"abc", bytes(diff(b"abc", b"abd")))) == b"abd"  # the module still works


def test_ctrl_c_stops_decompress():
    old = randbytes(random.Random(7), 64 << 20)
    new = edited(old, 100, 8)
    delta = compress(old, new, level=1)
    rounds = []

    def many():  # one decompress is a fraction of a second: the signal lands in one of them
        while True:
            decompress(old, delta)
            rounds.append(1)

    delay = interrupted_after(many)
    assert delay is not None
    print(f"\nctrl-c stop delay, decompress 64 MiB (after {len(rounds)} whole calls): {delay * 1000:.1f} ms")
    assert delay < LOOSE_BOUND
