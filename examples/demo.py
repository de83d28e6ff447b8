"""A tour of quorvane_core: encode a document as CBOR, then ship a new version as a compressed delta.

    python examples/demo.py                 # the embedded sample document
    python examples/demo.py OLD_FILE NEW_FILE   # deltas between two files of yours
    python examples/demo.py --diff OLD_FILE NEW_FILE   # time delta.diff even where it is slow

On two files it puts the delta producers side by side (size and time): compress, then the
raw forms diff_blocks and diff. diff's exact search takes long on large values that
differ a lot; where diff_blocks shows that (values over 1 MiB, its delta over 5% of the new
value), diff is skipped and the demo says so; diff is also stopped after 10 seconds.
"""
import copy
import datetime
import decimal
import hashlib
import json
import uuid
import signal
import sys
import threading
import time

from quorvane_core import cbor, delta

SAMPLE = {
    "service": "weather-station",
    "version": 3,
    "location": {"lat": 52.5, "lon": 13.25, "elevation_m": 34},
    "sensors": [
        {"id": i, "kind": ("temp", "humidity", "pressure")[i % 3], "calibrated": i % 4 != 0,
         "reading": round(15.0 + i * 0.37, 2), "offset": 0.5 if i % 2 else -0.25,
         "tags": ["roof", "north"][: i % 3], "serial": bytes([i, 255 - i, 7, 42])}
        for i in range(40)
    ],
    "history": [1013.25, 1012.5, 1011.75, 1010.0, 65504.0, 1e-3],
    "notes": "Readings every 10 minutes. Unicode works too: \u00e9t\u00e9 \u2600",
    "installed": datetime.datetime(2024, 5, 1, 12, 0, tzinfo=datetime.timezone.utc),
    "tariff": decimal.Decimal("0.2875"),
    "station_id": uuid.UUID("6f1c2a52-1b4e-4f0e-9d2a-3c5e7a9b0d11"),
    "owners": {"city", "university"},
}


def best_time(function, budget=1.0, most=200):
    """The fastest of repeated calls, repeated only while they add up to under `budget`
    seconds (a call slower than that runs once)."""
    best = spent = 0.0
    for count in range(most):
        start = time.perf_counter()
        function()
        took = time.perf_counter() - start
        best = took if count == 0 else min(best, took)
        spent += took
        if spent + best > budget:
            break
    return best


def call(text):
    """Shows the Python call the demo makes next."""
    print(f"   >>> {text}")


def show_encoding():
    print("1. cbor.encode: a Python document as one CBOR item, losslessly")
    call("encoded = cbor.encode(document)")
    encoded = cbor.encode(SAMPLE)
    as_json = json.dumps(SAMPLE, default=str).encode()
    print(f"   {len(encoded):,} bytes of CBOR (JSON of the same document, datetimes and decimals as text: "
          f"{len(as_json):,} bytes)")
    print(f"   first bytes: {encoded[:24].hex(' ')}")
    call("cbor.loads(encoded) == document")
    print(f"   reads back equal, datetimes, decimals, UUIDs and sets included: {cbor.loads(encoded) == SAMPLE}")
    call("cbor.encode(1.5), cbor.encode(65504.0), cbor.encode(100000.0), cbor.encode(0.1)")
    print("   floats take the narrowest exact width:",
          ", ".join(f"{x!r} -> {cbor.encode(x).hex(' ')}" for x in (1.5, 65504.0, 100000.0, 0.1)))
    call("cbor.encode(document, deterministic=True)")
    shuffled = dict(reversed(list(SAMPLE.items())))
    same = cbor.encode(shuffled, deterministic=True) == cbor.encode(SAMPLE, deterministic=True)
    print(f"   keys in a fixed order, so equal documents give equal bytes whatever their dicts' order: {same}")
    seconds = best_time(lambda: cbor.encode(SAMPLE))
    print(f"   encoding takes {seconds * 1e6:.1f} us ({len(encoded) / seconds / 1e6:.0f} MB/s)\n")
    return cbor.encode(SAMPLE, deterministic=True)


def show_compress(old, new, label):
    print(f"2. delta.compress and delta.decompress: {label}")
    call("c = delta.compress(old, new)")
    compressed = delta.compress(old, new)
    call("delta.decompress(old, c) == new")
    assert delta.decompress(old, compressed) == new, "decompress did not reproduce the new value"
    print(f"   old {len(old):,} bytes, new {len(new):,} bytes -> compressed delta {len(compressed):,} bytes; "
          f"decompress gives the new value back: yes")
    compress_s = best_time(lambda: delta.compress(old, new))
    decompress_s = best_time(lambda: delta.decompress(old, compressed))
    print(f"   compress {compress_s * 1e3:.3f} ms, decompress {decompress_s * 1e3:.3f} ms")
    show_checked(old, compressed)
    print()


def show_checked(old, compressed):
    """A compressed delta carries checksums: a damaged one, or one applied to another old value, is refused."""
    damaged = bytearray(compressed)
    damaged[len(damaged) // 2] ^= 0x01
    try:
        delta.decompress(old, bytes(damaged))
        print("   one flipped bit in the delta: not caught (this should not happen)")
    except ValueError as error:
        print(f"   one flipped bit in the delta: decompress refuses it ({error})")


def show_delta(old, new, label):
    print(f"3. The raw forms, delta.diff and delta.patch: {label}")
    call("d = bytes(delta.diff(old, new))      # diff returns a PythonOutBuf")
    patch_bytes = bytes(delta.diff(old, new))
    call("rebuilt = bytes(delta.patch(old, d))")
    rebuilt = bytes(delta.patch(old, patch_bytes))
    assert rebuilt == new, "patch did not reproduce the new value"
    print(f"   old {len(old):,} bytes, new {len(new):,} bytes -> delta {len(patch_bytes):,} bytes "
          f"({100 * len(patch_bytes) / max(len(new), 1):.1f}% of the new value)")
    if patch_bytes == b"\xf6":
        print("   the values are equal: the delta is the single byte f6")
    print(f"   delta starts: {patch_bytes[:24].hex(' ')}")
    diff_s = best_time(lambda: delta.diff(old, new))
    patch_s = best_time(lambda: delta.patch(old, patch_bytes))
    print(f"   diff {diff_s * 1e3:.3f} ms, patch {patch_s * 1e3:.3f} ms; patch(old, diff(old, new)) == new: yes")
    print("   cbor.dumps is the raw form on the encoding side: no tags, and objects with a truth value (a Decimal, a")
    print("   Fraction) written as booleans; pick cbor.encode unless you need dumps' bytes\n")
    return patch_bytes


def show_safe_storage(old, new, patch_bytes):
    print("4. Storing a raw delta safely: its format has no checksum, so keep the values' hashes beside it")
    call('record = {"delta": d, "old": sha256(old).digest(), "new": sha256(new).digest()}')
    record = {"delta": patch_bytes, "old": hashlib.sha256(old).digest(), "new": hashlib.sha256(new).digest()}
    call("stored = cbor.encode(record)")
    stored = cbor.encode(record)
    print(f"   the record is {len(stored):,} bytes of CBOR; when patching, read it back and check both hashes:")
    call("record = cbor.loads(stored)")
    record = cbor.loads(stored)
    call('assert sha256(old).digest() == record["old"]; new = bytes(delta.patch(old, record["delta"]))')
    call('assert sha256(new).digest() == record["new"]')
    damaged = bytearray(patch_bytes)
    damaged[len(damaged) // 2] ^= 0x01
    try:
        wrong = bytes(delta.patch(old, bytes(damaged)))
        verdict = ("the hash check catches it" if hashlib.sha256(wrong).digest() != record["new"]
                   else "it happened to give the right value")
        print(f"   one flipped bit in the delta: patch gives a wrong value without an error; {verdict}")
    except ValueError as error:
        print(f"   one flipped bit in the delta: patch refuses it ({error})")


# diff runs on two files when the larger is at most this size, or when diff_blocks' delta is
# at most this share of the new value (few differences: diff runs near memory speed then).
DIFF_ALWAYS_BYTES = 2**20
DIFF_FEW_DIFFERENCES = 0.05
DIFF_SECONDS = 10


class TookTooLong(Exception):
    pass


def timed_once(function, seconds):
    """(result, seconds taken) of one call, stopped after `seconds` where the interpreter can
    (a signal on the main thread, which a long diff checks every few milliseconds)."""
    capped = hasattr(signal, "setitimer") and threading.current_thread() is threading.main_thread()
    if capped:
        def stop(signum, frame):
            raise TookTooLong()
        previous = signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        start = time.perf_counter()
        result = function()
        return result, time.perf_counter() - start
    finally:
        if capped:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)


def size_text(count):
    return f"{count:,} B" if count < 10 * 2**10 else f"{count / 2**10:,.1f} KiB" if count < 2**20 \
        else f"{count / 2**20:,.1f} MiB"


def time_text(seconds):
    return f"{seconds * 1e3:.2f} ms" if seconds < 1 else f"{seconds:.2f} s"


def compare_deltas(old, new, label, force_diff=False):
    """diff_blocks, diff and compress side by side; returns the smaller delta in diff's format."""
    print(f"2. Deltas side by side: {label}")
    print(f"   old {len(old):,} bytes, new {len(new):,} bytes")
    rows = []

    call("c = delta.compress(old, new)             # framed, checked, entropy-coded: delta.decompress(old, c)")
    compressed = delta.compress(old, new)
    assert delta.decompress(old, compressed) == new, "decompress did not reproduce the new value"
    rows.append(("delta.compress", len(compressed), best_time(lambda: delta.compress(old, new)),
                 best_time(lambda: delta.decompress(old, compressed)), "decompress"))

    call("d = bytes(delta.diff_blocks(old, new))   # raw format, linear time, finds moved blocks too")
    blocks_s = best_time(lambda: delta.diff_blocks(old, new))
    blocks = bytes(delta.diff_blocks(old, new))
    assert delta.patch(old, blocks) == new, "patch did not reproduce the new value"
    rows.append(("delta.diff_blocks", len(blocks), blocks_s, best_time(lambda: delta.patch(old, blocks)), "patch"))

    exact = None
    share = len(blocks) / max(len(new), 1)
    if force_diff or max(len(old), len(new)) <= DIFF_ALWAYS_BYTES or share <= DIFF_FEW_DIFFERENCES:
        call("d = bytes(delta.diff(old, new))          # raw format, exact in-order search")
        try:
            first, first_s = timed_once(lambda: bytes(delta.diff(old, new)), DIFF_SECONDS)
        except TookTooLong:
            rows.append(("delta.diff", None, f"stopped after {DIFF_SECONDS} s", None, ""))
        else:
            exact = first
            assert delta.patch(old, exact) == new, "patch did not reproduce the new value"
            diff_s = min(first_s, best_time(lambda: delta.diff(old, new))) if first_s < 1 else first_s
            rows.append(("delta.diff", len(exact), diff_s, best_time(lambda: delta.patch(old, exact)), "patch"))
    else:
        rows.append(("delta.diff", None, "skipped", None, ""))
        skipped = (f"   delta.diff skipped: the values are {size_text(max(len(old), len(new)))} and differ a lot "
                   f"(diff_blocks' delta is {100 * share:.0f}% of the new value), where diff's exact search "
                   f"can take many seconds; --diff runs it anyway (stopped after {DIFF_SECONDS} s)")
    print(f"   {'function':<18} {'delta':>12} {'of new':>8} {'time':>14} {'applied in':>12}")
    for name, size, seconds, apply_s, applier in rows:
        if size is None:
            print(f"   {name:<18} {'-':>12} {'':>8} {seconds:>14}")
            continue
        print(f"   {name:<18} {size_text(size):>12} {100 * size / max(len(new), 1):>7.1f}% {time_text(seconds):>14} "
              f"{time_text(apply_s):>12} ({applier})")
    if rows[2][2] == "skipped":
        print(skipped)
    if exact == b"\xf6":
        print("   the values are equal: the delta is the single byte f6")
    show_checked(old, compressed)
    print()
    return exact if exact is not None and len(exact) < len(blocks) else blocks


def read_file(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as error:
        raise SystemExit(f"demo: cannot read {path}: {error.strerror or error}") from None


def main(argv):
    force_diff = "--diff" in argv[1:]
    paths = [a for a in argv[1:] if a != "--diff"]
    if len(paths) == 2:
        old, new = read_file(paths[0]), read_file(paths[1])
        show_safe_storage(old, new, compare_deltas(old, new, f"{paths[0]} -> {paths[1]}", force_diff))
        return 0
    if len(argv) != 1:
        print(__doc__)
        return 2
    old = show_encoding()
    changed = copy.deepcopy(SAMPLE)
    changed["sensors"][7]["reading"] = 99.5
    changed["sensors"].insert(20, {"id": 99, "kind": "wind", "calibrated": True, "reading": 4.5})
    changed["version"] = 4
    new = cbor.encode(changed, deterministic=True)
    label = "version 3 of the document -> version 4 (one reading changed, a sensor added)"
    show_compress(old, new, label)
    patch_bytes = show_delta(old, new, label)
    show_safe_storage(old, new, patch_bytes)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
