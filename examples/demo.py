"""A tour of quorvane_core: encode a document as CBOR, then ship a new version as a delta.

    python examples/demo.py                 # the embedded sample document
    python examples/demo.py OLD_FILE NEW_FILE   # diff and patch two files of yours
"""
import copy
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


def best_time(function, repeat=200):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def show_encoding():
    print("1. cbor.dumps: a Python document as one CBOR item")
    encoded = cbor.dumps(SAMPLE)
    as_json = json.dumps(SAMPLE, default=lambda b: b.hex()).encode()
    print(f"   {len(encoded):,} bytes of CBOR (JSON of the same document: {len(as_json):,} bytes)")
    print(f"   first bytes: {encoded[:24].hex(' ')}")
    print("   floats take the narrowest exact width:",
          ", ".join(f"{x!r} -> {cbor.dumps(x).hex(' ')}" for x in (1.5, 65504.0, 100000.0, 0.1)))
    print(f"   definite lengths instead of break-terminated ones: {len(cbor.dumps(SAMPLE, indefinite=False)):,} bytes")
    seconds = best_time(lambda: cbor.dumps(SAMPLE))
    print(f"   encoding takes {seconds * 1e6:.1f} us ({len(encoded) / seconds / 1e6:.0f} MB/s)\n")
    return encoded


def show_delta(old, new, label):
    print(f"2. delta.diff and delta.patch: {label}")
    result = delta.diff(old, new)
    patch_bytes = bytes(result)  # a PythonOutBuf supports the buffer protocol
    rebuilt = bytes(delta.patch(old, patch_bytes))
    assert rebuilt == new, "patch did not reproduce the new value"
    print(f"   old {len(old):,} bytes, new {len(new):,} bytes -> delta {len(patch_bytes):,} bytes "
          f"({100 * len(patch_bytes) / max(len(new), 1):.1f}% of the new value)")
    if patch_bytes == b"\xf6":
        print("   the values are equal: the delta is the single byte f6")
    print(f"   delta starts: {patch_bytes[:24].hex(' ')}")
    repeat = 50 if len(old) + len(new) < 10_000_000 else 3
    diff_s = best_time(lambda: delta.diff(old, new), repeat)
    patch_s = best_time(lambda: delta.patch(old, patch_bytes), repeat)
    print(f"   diff {diff_s * 1e3:.3f} ms, patch {patch_s * 1e3:.3f} ms; patch(old, diff(old, new)) == new: yes")


def main(argv):
    if len(argv) == 3:
        with open(argv[1], "rb") as f:
            old = f.read()
        with open(argv[2], "rb") as f:
            new = f.read()
        show_delta(old, new, f"{argv[1]} -> {argv[2]}")
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
    show_delta(old, new, "version 3 of the document -> version 4 (one reading changed, a sensor added)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
