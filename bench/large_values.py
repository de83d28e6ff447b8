"""delta.compress on large values beside zstd's patch mode: time, delta size, peak memory.

    python bench/large_values.py [--sizes 256,1024]      (compress_bench.py runs it too)

For each size (MiB) and kind of pair (workloads.large_pair: sparse edits, moved blocks), the
default level with threads=2 against `zstd --patch-from -3 --long=31 -T2` on the same
files. Ours runs in a fresh interpreter (`--probe`) that holds the two values, so its peak
resident memory beyond them is the call's own (the high-water mark after the call minus the
resident size before it); zstd's figure is its process's peak resident size, which includes
the old value it reads whole (and the new one's buffers). Times are wall-clock seconds; zstd's
include starting the process and reading both files from the page cache. Every delta is
applied and checked.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import memprobe  # noqa: E402
import workloads as W  # noqa: E402

KINDS = ("sparse", "moved")
SIZES_MIB = (256, 1024)
THREADS = 2


def probe(old_path: str, new_path: str, delta_path: str, level: int, threads: int) -> dict:
    """One compress call in this process, measured; the delta is written and checked."""
    import gc

    import quorvane_core as qc
    old, new = Path(old_path).read_bytes(), Path(new_path).read_bytes()
    gc.collect()
    exact = memprobe.reset_peak()
    before = memprobe.status("VmRSS")
    t0 = time.perf_counter()
    delta = qc.delta.compress(old, new, level=level, threads=threads)
    seconds = time.perf_counter() - t0
    peak = memprobe.status("VmHWM") - before if exact else float("nan")
    Path(delta_path).write_bytes(delta)
    ok = qc.delta.decompress(old, delta, max_size=len(new)) == new
    return {"seconds": seconds, "size": len(delta), "peak_extra": peak, "ok": ok}


def zstd_row(zstd: str, old_path: str, new_path: str, out: str) -> dict:
    time_exe = shutil.which("time") or "/usr/bin/time"
    argv = [zstd, "-q", "-f", "-3", "--long=31", f"-T{THREADS}", "--patch-from", old_path, new_path, "-o", out]
    t0 = time.perf_counter()
    r = subprocess.run([time_exe, "-f", "maxrss %M", *argv], capture_output=True, text=True, check=True)
    seconds = time.perf_counter() - t0
    rss = int(r.stderr.rsplit("maxrss", 1)[1].split()[0]) * 1024
    rebuilt = out + ".check"
    subprocess.run([zstd, "-q", "-f", "-d", "--long=31", "--patch-from", old_path, out, "-o", rebuilt], check=True)
    ok = Path(rebuilt).read_bytes() == Path(new_path).read_bytes()
    os.unlink(rebuilt)
    return {"seconds": seconds, "size": os.path.getsize(out), "peak_rss": rss, "ok": ok}


def run(log: Callable[[str], None], sizes_mib: List[int], level: int) -> List[Dict]:
    zstd = shutil.which("zstd")
    rows = []
    with tempfile.TemporaryDirectory(prefix="qlarge-") as tmp:
        old_path, new_path = os.path.join(tmp, "old"), os.path.join(tmp, "new")
        for mib in sizes_mib:
            for kind in KINDS:
                old, new = W.large_pair(mib * W.MiB, kind)
                Path(old_path).write_bytes(old)
                Path(new_path).write_bytes(new)
                old_size = len(old)
                del old, new
                r = subprocess.run([sys.executable, __file__, "--probe", old_path, new_path,
                                    os.path.join(tmp, "ours"), str(level), str(THREADS)],
                                   capture_output=True, text=True)
                if r.returncode != 0:
                    raise SystemExit(f"large_values probe failed: {r.stderr[-400:]}")
                row = {"mib": mib, "kind": kind, "old": old_size, "ours": json.loads(r.stdout.splitlines()[-1])}
                if zstd:
                    row["zstd"] = zstd_row(zstd, old_path, new_path, os.path.join(tmp, "zstd"))
                rows.append(row)
                log(f"  {mib} MiB {kind}: ours {row['ours']}" + (f", zstd {row['zstd']}" if zstd else ""))
    log(f"\nlarge values: level {level} with threads={THREADS} against zstd --patch-from -3 --long=31 -T{THREADS} "
        "(wall-clock seconds; peak memory: ours beyond the inputs, zstd its whole process)\n")
    log("| pair | ours s | zstd s | time ratio | ours bytes | zstd bytes | size ratio | ours peak / old size | "
        "zstd peak RSS |")
    log("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        o, z = row["ours"], row.get("zstd", {})
        bad = "" if o["ok"] and z.get("ok", True) else " (WRONG)"
        log(f"| {row['mib']} MiB, {row['kind']}{bad} | {o['seconds']:.2f} | {z.get('seconds', float('nan')):.2f} | "
            f"{o['seconds'] / z.get('seconds', float('nan')):.2f} | {o['size']:,} | {z.get('size', 0):,} | "
            f"{o['size'] / z.get('size', float('nan')):.2f} | {o['peak_extra'] / row['old']:.2f} | "
            f"{z.get('peak_rss', 0) / W.MiB:,.0f} MiB |")
    held = all(r["ours"]["peak_extra"] <= r["old"] for r in rows)
    log(f"\nmemory beyond the inputs at most the old value's size: {'held' if held else 'NOT held'} on every pair")
    return rows


def main() -> int:
    if sys.argv[1:2] == ["--probe"]:
        old_path, new_path, delta_path, level, threads = sys.argv[2:7]
        print(json.dumps(probe(old_path, new_path, delta_path, int(level), int(threads))))
        return 0
    import quorvane_core as qc
    sizes = list(SIZES_MIB)
    if "--sizes" in sys.argv:
        sizes = [int(s) for s in sys.argv[sys.argv.index("--sizes") + 1].split(",")]
    run(lambda s: print(s, flush=True), sizes, qc.delta.DEFAULT_LEVEL)
    return 0


if __name__ == "__main__":
    sys.exit(main())
