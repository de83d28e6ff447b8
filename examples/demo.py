"""A tour of quorvane_core: encode a document as CBOR, then ship a new version as a delta.

    python examples/demo.py                 # the embedded sample document
    python examples/demo.py OLD_FILE NEW_FILE   # diff and patch two files of yours
"""
import copy
import hashlib
import json
import sys
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
    print("1. cbor.dumps: a Python document as one CBOR item")
    call("encoded = cbor.dumps(document)")
    encoded = cbor.dumps(SAMPLE)
    as_json = json.dumps(SAMPLE, default=lambda b: b.hex()).encode()
    print(f"   {len(encoded):,} bytes of CBOR (JSON of the same document: {len(as_json):,} bytes)")
    print(f"   first bytes: {encoded[:24].hex(' ')}")
    call("cbor.dumps(1.5), cbor.dumps(65504.0), cbor.dumps(100000.0), cbor.dumps(0.1)")
    print("   floats take the narrowest exact width:",
          ", ".join(f"{x!r} -> {cbor.dumps(x).hex(' ')}" for x in (1.5, 65504.0, 100000.0, 0.1)))
    call("cbor.loads(encoded) == document")
    print(f"   reads back equal: {cbor.loads(encoded) == SAMPLE}")
    call("cbor.dumps(document, indefinite=False)")
    print(f"   definite lengths instead of break-terminated ones: {len(cbor.dumps(SAMPLE, indefinite=False)):,} bytes")
    seconds = best_time(lambda: cbor.dumps(SAMPLE))
    print(f"   encoding takes {seconds * 1e6:.1f} us ({len(encoded) / seconds / 1e6:.0f} MB/s)\n")
    return encoded


def show_delta(old, new, label):
    print(f"2. delta.diff and delta.patch: {label}")
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
    print(f"   diff {diff_s * 1e3:.3f} ms, patch {patch_s * 1e3:.3f} ms; patch(old, diff(old, new)) == new: yes\n")
    return patch_bytes


def show_safe_storage(old, new, patch_bytes):
    print("3. Storing a delta safely: the format has no checksum, so keep the values' hashes beside it")
    call('record = {"delta": d, "old": sha256(old).digest(), "new": sha256(new).digest()}')
    record = {"delta": patch_bytes, "old": hashlib.sha256(old).digest(), "new": hashlib.sha256(new).digest()}
    call("stored = cbor.dumps(record)")
    stored = cbor.dumps(record)
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


def main(argv):
    if len(argv) == 3:
        with open(argv[1], "rb") as f:
            old = f.read()
        with open(argv[2], "rb") as f:
            new = f.read()
        show_safe_storage(old, new, show_delta(old, new, f"{argv[1]} -> {argv[2]}"))
        return 0
    if len(argv) != 1:
        print(__doc__)
        return 2
    old = show_encoding()
    changed = copy.deepcopy(SAMPLE)
    changed["sensors"][7]["reading"] = 99.5
    changed["sensors"].insert(20, {"id": 99, "kind": "wind", "calibrated": True, "reading": 4.5})
    changed["version"] = 4
    new = cbor.dumps(changed)
    patch_bytes = show_delta(old, new, "version 3 of the document -> version 4 (one reading changed, a sensor added)")
    show_safe_storage(old, new, patch_bytes)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
