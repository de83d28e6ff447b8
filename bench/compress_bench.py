"""delta.compress beside the delta tools, on real pairs: sizes, times, decompress times.

    python bench/bench.py --only compress      (or: python bench/compress_bench.py [--quick])

Every level is run (the table's columns), and the levels' order is checked: each level's delta
at most 1% larger than the level below's on every pair. Then the large values
(large_values.py: 256 MiB and 1 GiB against zstd's patch mode, with peak memory) and one pair
past 2 GiB.

Peers: zstd --patch-from (-3, -19, --ultra -22 --long=31), xdelta3 -9, bsdiff4, zstandard
with the old value as a raw-content dictionary (level 19), hdiffpatch (lzma, zstd) and
detools (bsdiff + lzma) when they import. Every delta is applied and checked. Sizes are
bytes; the ratio columns divide our size by the smallest any peer made and our time by
diff_blocks' time on the same pair. A pair larger than 2 GiB with sparse edits runs once.
"""
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable, Dict, List, Optional, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import workloads as W  # noqa: E402


# Quick calls are repeated until they have taken this long together (at most QUICK_REPS calls):
# the median of three calls of a few milliseconds moved by a third between runs on a machine
# with other work on its second core, enough to cross the 3x bounds the tables check.
QUICK_SECONDS = 0.25
QUICK_REPS = 201


def timed(fn: Callable[[], object], reps: int = 3) -> Tuple[float, object]:
    """Median seconds of `reps` calls (one call when the first takes over a second), or of more
    for quick calls (see QUICK_SECONDS)."""
    times, result = [], None
    while len(times) < reps or (sum(times) < QUICK_SECONDS and len(times) < QUICK_REPS and reps > 1):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        if times[0] > 1.0:
            break
    times.sort()
    return times[len(times) // 2], result


class Tool:
    def __init__(self, name: str, make: Callable[[bytes, bytes], bytes], apply: Callable[[bytes, bytes], bytes],
                 ours: bool = False):
        self.name, self.make, self.apply, self.ours = name, make, apply, ours


def _cli(tmp: str, argv_make, argv_apply) -> Tuple[Callable, Callable]:
    def files(*contents):
        paths = []
        for k, c in enumerate(contents):
            p = os.path.join(tmp, f"in{k}")
            with open(p, "wb") as f:
                f.write(c)
            paths.append(p)
        return paths

    def make(old, new):
        o, n = files(old, new)
        out = os.path.join(tmp, "delta")
        subprocess.run(argv_make(o, n, out), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return Path(out).read_bytes()

    def apply(old, delta):
        o, d = files(old, delta)
        out = os.path.join(tmp, "out")
        subprocess.run(argv_apply(o, d, out), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return Path(out).read_bytes()
    return make, apply


def tools(qc, tmp: str, levels: List[int]) -> Tuple[List[Tool], Dict[str, str]]:
    d = qc.delta
    out = [Tool("diff_blocks", lambda o, n: bytes(d.diff_blocks(o, n)), lambda o, x: bytes(d.patch(o, x)))]
    for lv in levels:
        out.append(Tool(f"compress L{lv}", lambda o, n, lv=lv: d.compress(o, n, level=lv),
                        lambda o, x: d.decompress(o, x), ours=True))
    missing = {}
    zstd = shutil.which("zstd")
    if zstd:
        for label, flags in (("-3", ["-3"]), ("-19", ["-19"]), ("--ultra -22 --long=31", ["--ultra", "-22", "--long=31"])):
            def mk(o, n, out, flags=flags):
                return [zstd, "-q", "-f", *flags, "--patch-from", o, n, "-o", out]

            def ap(o, x, out, flags=flags):
                return [zstd, "-q", "-f", "-d", "--long=31", "--patch-from", o, x, "-o", out]
            make, apply = _cli(tmp, mk, ap)
            out.append(Tool(f"zstd --patch-from {label}", make, apply))
    else:
        missing["zstd"] = "command not found"
    xd = shutil.which("xdelta3")
    if xd:
        make, apply = _cli(tmp, lambda o, n, x: [xd, "-9", "-e", "-f", "-s", o, n, x],
                           lambda o, x, y: [xd, "-d", "-f", "-s", o, x, y])
        out.append(Tool("xdelta3 -9", make, apply))
    else:
        missing["xdelta3"] = "command not found"
    try:
        import bsdiff4
        out.append(Tool("bsdiff4", bsdiff4.diff, bsdiff4.patch))
    except ImportError as e:
        missing["bsdiff4"] = str(e)
    try:
        import zstandard as z

        def zmake(o, n):
            window = min(31, max(10, (len(o) + len(n) - 1).bit_length()))
            params = z.ZstdCompressionParameters.from_level(19, source_size=len(n), window_log=window,
                                                            enable_ldm=len(o) + len(n) > 8 * W.MiB)
            dd = z.ZstdCompressionDict(o, dict_type=z.DICT_TYPE_RAWCONTENT)
            return z.ZstdCompressor(dict_data=dd, compression_params=params).compress(n)

        def zapply(o, x):
            dd = z.ZstdCompressionDict(o, dict_type=z.DICT_TYPE_RAWCONTENT)
            return z.ZstdDecompressor(dict_data=dd, max_window_size=1 << 31).decompress(x)
        out.append(Tool("zstandard -19 (old as dict)", zmake, zapply))
    except ImportError as e:
        missing["zstandard"] = str(e)
    try:
        import hdiffpatch as h
        for label, comp in (("lzma", h.LzmaConfig()), ("zstd -19", h.ZStdConfig(level=19, window=27))):
            out.append(Tool(f"hdiffpatch {label}", lambda o, n, c=comp: h.diff(o, n, c, validate=False),
                            lambda o, x: h.apply(o, x)))
    except ImportError as e:
        missing["hdiffpatch"] = str(e)
    try:
        import io

        import detools

        def dmake(o, n):
            p = io.BytesIO()
            detools.create_patch(io.BytesIO(o), io.BytesIO(n), p, compression="lzma")
            return p.getvalue()

        def dapply(o, x):
            t = io.BytesIO()
            detools.apply_patch(io.BytesIO(o), io.BytesIO(x), t)
            return t.getvalue()
        out.append(Tool("detools bsdiff lzma", dmake, dapply))
    except ImportError as e:
        missing["detools"] = str(e)
    return out, missing


def geomean(xs: List[float]) -> float:
    xs = [x for x in xs if x > 0]
    return math.exp(sum(map(math.log, xs)) / len(xs)) if xs else float("nan")


def run(qc, log, cache: Path, quick: bool = False, huge: bool = True, levels: Optional[List[int]] = None) -> dict:
    levels = levels or list(range(1, qc.delta.MAX_LEVEL + 1))
    default = f"compress L{qc.delta.DEFAULT_LEVEL}"
    top = f"compress L{qc.delta.MAX_LEVEL}"
    pairs = W.compress_pairs(cache, qc.cbor.dumps)
    if quick:
        pairs = [p for p in pairs if len(p[2]) + len(p[3]) < 3 * W.MiB]
    tmp = tempfile.mkdtemp(prefix="qcompress-")
    rows = []
    try:
        ts, missing = tools(qc, tmp, levels)
        for name, why in missing.items():
            log(f"- {name} skipped: {why}")
        for name, kind, old, new, note in pairs:
            row = {"pair": name, "kind": kind, "old": len(old), "new": len(new), "note": note, "tools": {}}
            for t in ts:
                try:
                    tm, delta = timed(lambda: t.make(old, new), 1 if not t.ours and t.name != "diff_blocks" else 3)
                    ta, rebuilt = timed(lambda: t.apply(old, delta), 3)
                    ok = rebuilt == new
                    row["tools"][t.name] = {"size": len(delta), "time": tm, "apply": ta, "ok": ok}
                except Exception as e:  # noqa: BLE001 - a peer that fails is reported, not fatal
                    row["tools"][t.name] = {"error": f"{type(e).__name__}: {str(e)[:80]}"}
            rows.append(row)
            log(f"  {name}: " + ", ".join(f"{k} {v.get('size', 'ERR')}" for k, v in row["tools"].items()))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    # The tables.
    names = [t.name for t in ts]
    log("\n| pair | old → new | " + " | ".join(names) + " |")
    log("|---|---|" + "---:|" * len(names))
    for r in rows:
        cells = []
        for n in names:
            v = r["tools"].get(n, {})
            cells.append("err" if "size" not in v else (f"{v['size']:,}" + ("" if v["ok"] else " (WRONG)")))
        log(f"| {r['pair']} | {r['old']:,} → {r['new']:,} | " + " | ".join(cells) + " |")
    log("\ntimes (s) to make the delta / to apply it:\n")
    log("| pair | " + " | ".join(names) + " |")
    log("|---|" + "---:|" * len(names))
    for r in rows:
        cells = []
        for n in names:
            v = r["tools"].get(n, {})
            cells.append("err" if "time" not in v else f"{v['time']:.3f} / {v['apply']:.3f}")
        log(f"| {r['pair']} | " + " | ".join(cells) + " |")

    log("\nratios: size over the smallest peer delta (best peer named); time over diff_blocks' time; "
        "decompress time over patch time on diff_blocks' delta\n")
    ours = [n for n in names if n.startswith("compress")]
    log("| pair | best peer | " + " | ".join(f"{n} size" for n in ours) + f" | {default} time / diff_blocks | "
        f"{top} time / zstd -22 | {default} decompress / patch |")
    log("|---|---|" + "---:|" * (len(ours) + 3))
    summary = {n: [] for n in ours}
    for r in rows:
        peers = {n: v for n, v in r["tools"].items() if not n.startswith("compress") and n != "diff_blocks"
                 and v.get("ok")}
        if not peers:
            continue
        best_name, best = min(peers.items(), key=lambda kv: kv[1]["size"])
        cells = []
        for n in ours:
            v = r["tools"].get(n, {})
            ratio = v["size"] / best["size"] if "size" in v else float("nan")
            summary[n].append(ratio)
            cells.append(f"{ratio:.2f}")
        db = r["tools"].get("diff_blocks", {})
        dv, tv = r["tools"].get(default, {}), r["tools"].get(top, {})
        z22 = r["tools"].get("zstd --patch-from --ultra -22 --long=31", {})
        t_ratio = dv.get("time", float("nan")) / db["time"] if "time" in db else float("nan")
        top_ratio = tv.get("time", float("nan")) / z22["time"] if "time" in z22 else float("nan")
        a_ratio = dv.get("apply", float("nan")) / db["apply"] if "apply" in db else float("nan")
        log(f"| {r['pair']} | {best_name} {best['size']:,} | " + " | ".join(cells) +
            f" | {t_ratio:.2f} | {top_ratio:.2f} | {a_ratio:.2f} |")
    log("| geometric mean | | " + " | ".join(f"{geomean(summary[n]):.3f}" for n in ours) + " | | | |")
    result = {"rows": rows, "geomean": {n: geomean(summary[n]) for n in ours},
              "monotonic": monotonic(rows, ours, log), "decompress": decompress_ratios(rows, ours, log),
              "levels": level_summary(rows, ours, log)}
    if huge and not quick:
        import large_values
        log("\n## large values\n")
        result["large"] = large_values.run(log, large_values.SIZES_MIB, qc.delta.DEFAULT_LEVEL)
        result["huge"] = run_huge(qc, log)
    return result


# decompress may take at most this many times patch's time (on diff_blocks' delta) up to
# DECOMPRESS_CHECKED_LEVEL.
DECOMPRESS_SLACK = 3.0
DECOMPRESS_CHECKED_LEVEL = 6


def decompress_ratios(rows: List[dict], ours: List[str], log) -> dict:
    """decompress's time over patch's (on diff_blocks' delta) at every level, every pair."""
    log("\ndecompress time over patch time on diff_blocks' delta:\n")
    log("| pair | " + " | ".join(ours) + " |")
    log("|---|" + "---:|" * len(ours))
    worst = {}
    for r in rows:
        base = r["tools"].get("diff_blocks", {}).get("apply")
        cells = []
        for n in ours:
            a = r["tools"].get(n, {}).get("apply")
            ratio = a / base if a is not None and base else float("nan")
            cells.append(f"{ratio:.2f}")
            if ratio == ratio and ratio > worst.get(n, (0.0, ""))[0]:
                worst[n] = (ratio, r["pair"])
        log(f"| {r['pair']} | " + " | ".join(cells) + " |")
    checked = [n for n in ours if int(n.rsplit("L", 1)[1]) <= DECOMPRESS_CHECKED_LEVEL]
    held = all(worst.get(n, (0.0, ""))[0] <= DECOMPRESS_SLACK for n in checked)
    log(f"\ndecompress at most {DECOMPRESS_SLACK}x patch at levels up to {DECOMPRESS_CHECKED_LEVEL} on every pair: "
        + ("held" if held else "NOT held") + "; worst per level: "
        + ", ".join(f"{n} {worst[n][0]:.2f} ({worst[n][1]})" for n in ours if n in worst))
    return {n: worst[n][0] for n in worst}


# A level's delta may be at most this much larger than the level below's on any pair.
MONOTONIC_SLACK = 1.01


def monotonic(rows: List[dict], ours: List[str], log) -> dict:
    """Each level's size over the level below's on every pair: the largest ratio, and every
    pair and level above MONOTONIC_SLACK."""
    worst, over = 0.0, []
    for r in rows:
        sizes = [r["tools"].get(n, {}).get("size") for n in ours]
        for k in range(1, len(ours)):
            if sizes[k] is None or sizes[k - 1] is None:
                continue
            ratio = sizes[k] / sizes[k - 1]
            worst = max(worst, ratio)
            if ratio > MONOTONIC_SLACK:
                over.append(f"{r['pair']}: {ours[k]} {sizes[k]:,} after {ours[k - 1]} {sizes[k - 1]:,}")
    log(f"\nlevels only get smaller (each at most {MONOTONIC_SLACK}x the level below, on every pair): "
        + ("held" if not over else "NOT held") + f"; largest ratio {worst:.4f}")
    for line in over:
        log(f"- {line}")
    return {"worst": worst, "over": over}


def level_summary(rows: List[dict], ours: List[str], log) -> dict:
    """Per level, the README's table: size over the smallest peer's (geometric mean and worst
    pair) and time over diff_blocks' (geometric mean and slowest pair, leaving out the pairs
    where diff_blocks takes under half a millisecond, whose ratios measure a call's fixed cost)."""
    log("\nlevels: size / smallest peer's (geometric mean, worst pair); time / diff_blocks' "
        "(geometric mean, slowest pair; pairs where diff_blocks takes 0.5 ms or more)\n")
    log("| level | size, geometric mean | worst pair | time, geometric mean | slowest pair |")
    log("|---:|---:|---:|---:|---:|")
    result = {}
    for n in ours:
        sizes, times = [], []
        for r in rows:
            peers = [v["size"] for k, v in r["tools"].items()
                     if not k.startswith("compress") and k != "diff_blocks" and v.get("ok")]
            v, db = r["tools"].get(n, {}), r["tools"].get("diff_blocks", {})
            if "size" in v and peers:
                sizes.append((v["size"] / min(peers), r["pair"]))
            if "time" in v and db.get("time", 0) >= 0.5e-3:
                times.append((v["time"] / db["time"], r["pair"]))
        if not sizes or not times:
            continue
        worst, slowest = max(sizes), max(times)
        result[n] = {"size": geomean([x for x, _ in sizes]), "time": geomean([x for x, _ in times])}
        log(f"| {n} | {result[n]['size']:.2f} | {worst[0]:.2f} ({worst[1]}) | {result[n]['time']:.1f} | "
            f"{slowest[0]:,.0f} ({slowest[1]}) |")
    return result


def run_huge(qc, log) -> dict:
    """One pair past 2 GiB with sparse edits: one random block of 64 MiB repeated (memory:
    2.06 GiB for each value and the rebuilt one, plus the index of 1 byte per old byte)."""
    size = (2 << 30) + (64 << 20)
    block = __import__("random").Random(6).randbytes(64 << 20)
    old = block * (size // len(block))
    del block
    new = bytearray(old)
    rng = __import__("random").Random(7)
    for _ in range(200):
        at = rng.randrange(len(new) - 100)
        new[at:at + 50] = rng.randbytes(50)
    level = qc.delta.DEFAULT_LEVEL
    t0 = time.perf_counter()
    delta = qc.delta.compress(old, new, level=level)
    tc = time.perf_counter() - t0
    t0 = time.perf_counter()
    rebuilt = qc.delta.decompress(old, delta, max_size=size)
    td = time.perf_counter() - t0
    ok = rebuilt == new
    del rebuilt
    log(f"\n- 2.06 GiB pair (64 MiB random block repeated, 200 edits of 50 bytes): level {level} delta {len(delta):,} bytes "
        f"in {tc:.1f} s, decompress {td:.1f} s, {'checked' if ok else 'WRONG'}")
    return {"size": size, "delta": len(delta), "compress_s": tc, "decompress_s": td, "ok": ok}


if __name__ == "__main__":
    import quorvane_core
    quick = "--quick" in sys.argv
    run(quorvane_core, lambda s: print(s, flush=True), HERE / "results" / "cache", quick=quick,
        huge="--no-huge" not in sys.argv)
