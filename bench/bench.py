"""Benchmark of quorvane_core against its peers: one run, one table per workload.

    python bench/bench.py [--quick] [--only encode|decode|delta|growth|memory[,...]] [--out DIR]

Times are medians of several calls after a warm-up call (time.perf_counter_ns, garbage
collector off while timing); slow calls are repeated fewer times. Every result is checked
(decoded value equals the input, patched value equals the new value) before its time is
reported. Results: Markdown and JSON in bench/results/ (latest.md, latest.json) and a
chart of the growth series (growth.png) when matplotlib is installed.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Optional

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import interleaved as I  # noqa: E402
import peers as P  # noqa: E402
import workloads as W  # noqa: E402

MB = 1e6


# --------------------------------------------------------------------------- timing


@dataclass
class Config:
    quick: bool
    budget_ns: int        # time to spend on the repetitions of one measurement
    min_reps: int
    max_reps: int
    slow_ns: int          # a warm-up call slower than this is the only call
    growth_cap_ns: int    # a growth series stops before a point projected to take longer
    deadline: float = float("inf")   # time.time() after which growth series take no new points


def config(quick: bool) -> Config:
    if quick:
        return Config(True, 150_000_000, 3, 5, 500_000_000, 1_000_000_000)
    return Config(False, 1_000_000_000, 3, 15, 3_000_000_000, 20_000_000_000)


@dataclass
class Timing:
    median_ns: int
    reps: int
    result: object


def measure(fn: Callable[[], object], cfg: Config, min_reps: Optional[int] = None) -> Timing:
    gc.collect()
    gc_was = gc.isenabled()
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        result = fn()
        warm = time.perf_counter_ns() - t0
        if warm >= cfg.slow_ns:
            return Timing(warm, 1, result)
        lo = cfg.min_reps if min_reps is None else min_reps
        reps = max(lo, min(cfg.max_reps, cfg.budget_ns // max(warm, 1)))
        times = []
        for _ in range(reps):
            result = None
            t0 = time.perf_counter_ns()
            result = fn()
            times.append(time.perf_counter_ns() - t0)
        return Timing(int(statistics.median(times)), reps, result)
    finally:
        if gc_was:
            gc.enable()


def fmt_time(ns: Optional[float]) -> str:
    if ns is None:
        return "—"
    if ns < 1e6:
        return f"{ns / 1e3:.1f} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.2f} ms"
    return f"{ns / 1e9:.2f} s"


def fmt_size(n: Optional[int]) -> str:
    if n is None:
        return "—"
    if n < 10_000:
        return f"{n} B"
    if n < 1024 * 1024:
        return f"{n / 1024:.1f} KiB"
    if n < 10 * 1024 * 1024:
        return f"{n / 1024 / 1024:.2f} MiB"
    return f"{n / 1024 / 1024:.1f} MiB"


def fmt_rate(nbytes: int, ns: Optional[float]) -> str:
    if not ns:
        return "—"
    return f"{nbytes / MB / (ns / 1e9):,.0f}" if nbytes / MB / (ns / 1e9) >= 10 else \
        f"{nbytes / MB / (ns / 1e9):.2f}"


def fmt_ratio(peer_ns: Optional[float], our_ns: Optional[float]) -> str:
    if not peer_ns or not our_ns:
        return "—"
    r = peer_ns / our_ns
    if r < 0.1:
        return f"{r:.2g}×"
    return f"{r:.2f}×" if r < 100 else f"{r:,.0f}×"


# --------------------------------------------------------------------------- machine


def machine_info(qc) -> dict:
    cpu = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()
    versions = {name: P.dist_version(name) for name in
                ("cbor2", "msgpack", "ormsgpack", "orjson", "bsdiff4", "zstandard", "numpy", "matplotlib")}
    try:
        import cbor2._cbor2  # noqa: F401
        versions["cbor2"] += " (C encoder)"
    except ImportError:
        versions["cbor2"] += " (C encoder MISSING)"
    for tool in ("xdelta3", "zstd"):
        exe = shutil.which(tool)
        if exe:
            v = subprocess.run([exe, "-V"], capture_output=True, text=True)
            words = (v.stdout + v.stderr).replace(",", " ").split()
            versions[f"{tool} (CLI)"] = next((w for w in words if w[:1] in "v0123456789" and "." in w), "?")
        else:
            versions[f"{tool} (CLI)"] = "not installed"
    head = subprocess.run(["git", "-C", str(HERE.parent), "rev-parse", "--short", "HEAD"],
                          capture_output=True, text=True).stdout.strip()
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "usable_cores": usable,
        "memory_gib": round(os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2 ** 30, 1),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "platform": platform.platform(),
        "quorvane_core": (f"{getattr(qc.cbor, '__version__', '?')} @ {head or '?'}" if qc else "not importable"),
        "peers": versions,
    }


def bandwidth(size: int = 64 * W.MiB) -> dict:
    """memcpy and memcmp speed of this machine: the floor under any diff and patch.
    memcpy copies into a buffer that already exists; "alloc+copy" makes a new bytes
    object (fresh pages from the kernel), as a patch that returns a new value must."""
    src = bytearray(os.urandom(1 << 20)) * (size >> 20)
    dst = bytearray(size)
    cfg = Config(False, 600_000_000, 3, 7, 10_000_000_000, 0)

    def copy_into():
        dst[:] = src
    copy = measure(copy_into, cfg).median_ns
    alloc = measure(lambda: bytes(src), cfg).median_ns
    a, b = bytes(src), bytes(src)      # equal contents, distinct objects: a full memcmp
    cmp_ = measure(lambda: a == b, cfg).median_ns
    return {"size": size, "memcpy_ns": copy, "alloc_copy_ns": alloc, "memcmp_ns": cmp_,
            "memcpy_mbps": size / MB / (copy / 1e9), "alloc_copy_mbps": size / MB / (alloc / 1e9),
            "memcmp_mbps": size / MB / (cmp_ / 1e9)}


# --------------------------------------------------------------------------- encode


def run_encode(qc, cfg: Config, log) -> List[dict]:
    out = []
    epeers = P.encode_peers(qc)
    for name, make in W.encode_workloads(cfg.quick):
        value = make()
        log(f"\n## encode: {name}")
        rows = []
        ours_ns = None
        base_size = None
        for p in epeers:
            row = {"peer": p.name, "note": p.note}
            if p.unavailable:
                row.update(status="unavailable", note=p.unavailable)
                rows.append(row)
                continue
            try:
                t = measure(lambda: p.dumps(value), cfg)
            except (TypeError, ValueError, OverflowError) as exc:
                row.update(status="skipped", note=f"cannot encode this workload: {type(exc).__name__}: {exc}")
                rows.append(row)
                continue
            encoded = t.result
            ok = True
            if p.loads is None:
                row["note"] = (row["note"] + "; " if row["note"] else "") + "UNCHECKED (no decoder)"
            else:
                try:
                    ok = p.loads(encoded) == value
                except Exception as exc:  # noqa: BLE001 - any decoder failure is a failed check
                    ok = False
                    row["note"] = f"decoding failed: {exc}"
            if not ok:
                row.update(status="FAILED", note=row["note"] or "decoded value differs from the input")
                rows.append(row)
                continue
            row.update(status="ok", median_ns=t.median_ns, reps=t.reps, out_size=len(encoded))
            if p.ours:
                ours_ns = t.median_ns
                base_size = len(encoded)
            rows.append(row)
        if base_size is None:
            base_size = next((r["out_size"] for r in rows if r.get("status") == "ok"), 0)
        for r in rows:
            if r.get("status") == "ok":
                r["ratio"] = r["median_ns"] / ours_ns if ours_ns else None
                r["mbps"] = base_size / MB / (r["median_ns"] / 1e9)
        out.append({"workload": name, "input_size": base_size, "our_ns": ours_ns, "rows": rows})
        log(encode_table(out[-1]))
        if qc is not None:
            out[-1]["interleaved"] = I.runs(name, value, qc, cfg.quick)
            log("\n" + I.table(out[-1]["interleaved"]))
    if qc is not None:
        log("\n" + I.summary(out))
    return out


def encode_table(w: dict) -> str:
    lines = [f"| peer | time (median) | MB/s | ratio | output | reps | note |",
             "|---|---:|---:|---:|---:|---:|---|"]
    for r in w["rows"]:
        if r.get("status") != "ok":
            lines.append(f"| {r['peer']} | {r['status']} | | | | | {r.get('note', '')} |")
            continue
        lines.append(f"| {r['peer']} | {fmt_time(r['median_ns'])} | {fmt_rate(w['input_size'], r['median_ns'])} "
                     f"| {fmt_ratio(r['median_ns'], w['our_ns'])} | {fmt_size(r['out_size'])} | {r['reps']} "
                     f"| {r.get('note', '')} |")
    return "\n".join(lines)


# --------------------------------------------------------------------------- decode


def _decode_expected(value, key=False):
    """What a decoder gives back for `value`: tuples as lists (as tuples inside map keys)."""
    if isinstance(value, (list, tuple)):
        items = [_decode_expected(v, key) for v in value]
        return tuple(items) if key else items
    if isinstance(value, dict):
        return {_decode_expected(k, True): _decode_expected(v) for k, v in value.items()}
    return value


def decode_peers(qc, value) -> List[dict]:
    """(name, encoded input, decode function, note) of every decoder for one value; each reads
    its own format's encoding of the value (CBOR peers read dumps' output)."""
    peers = []
    cbor2 = P._try_import("cbor2")
    if qc is not None:
        encoded = qc.cbor.dumps(value)
        peers.append({"peer": "quorvane loads", "data": encoded, "loads": qc.cbor.loads, "ours": True,
                      "note": "dumps' output (indefinite=True)"})
        definite = qc.cbor.dumps(value, indefinite=False)
        peers.append({"peer": "quorvane loads (definite)", "data": definite, "loads": qc.cbor.loads,
                      "note": "dumps(indefinite=False) output"})
        if hasattr(qc.cbor, "encode"):
            peers.append({"peer": "quorvane loads (encode's output)", "data": qc.cbor.encode(value),
                          "loads": qc.cbor.loads, "note": "encode's output (definite lengths)"})
    else:
        encoded = cbor2.dumps(value) if cbor2 else None
    msgspec = P._try_import("msgspec")
    if msgspec is None:
        peers.append({"peer": "msgspec", "unavailable": "msgspec is not installed"})
    else:
        version = P.dist_version("msgspec")
        peers.append({"peer": f"msgspec.msgpack {version}", "data": msgspec.msgpack.encode(value),
                      "loads": msgspec.msgpack.decode, "note": "its own encoding (MessagePack)"})
        peers.append({"peer": f"msgspec.json {version}", "data": msgspec.json.encode(value),
                      "loads": msgspec.json.decode, "note": "JSON text"})
    if cbor2 is None:
        peers.append({"peer": "cbor2", "unavailable": "cbor2 is not installed"})
    else:
        c = P._try_import("cbor2._cbor2") is not None
        peers.append({"peer": f"cbor2 {P.dist_version('cbor2')} ({'C' if c else 'pure Python!'})",
                      "data": encoded, "loads": cbor2.loads, "note": "same bytes as ours"})
    msgpack = P._try_import("msgpack")
    if msgpack is None:
        peers.append({"peer": "msgpack", "unavailable": "msgpack is not installed"})
    else:
        peers.append({"peer": f"msgpack {P.dist_version('msgpack')}", "data": msgpack.packb(value),
                      "loads": lambda b: msgpack.unpackb(b, strict_map_key=False), "note": "its own encoding"})
    ormsgpack = P._try_import("ormsgpack")
    if ormsgpack is None:
        peers.append({"peer": "ormsgpack", "unavailable": "ormsgpack is not installed"})
    else:
        try:
            data, note, loads = ormsgpack.packb(value), "its own encoding", ormsgpack.unpackb
        except TypeError:
            opt = ormsgpack.OPT_NON_STR_KEYS
            data, note = ormsgpack.packb(value, option=opt), "its own encoding, OPT_NON_STR_KEYS"
            loads = lambda b: ormsgpack.unpackb(b, option=opt)  # noqa: E731
        peers.append({"peer": f"ormsgpack {P.dist_version('ormsgpack')}", "data": data, "loads": loads,
                      "note": note})
    return peers


def run_decode(qc, cfg: Config, log) -> List[dict]:
    """loads against the peers' decoders. Every decoder's result is checked against the value;
    the timings alternate between the decoders in rounds, and each decoder's time is the median
    of its round medians, so that drifts of the machine hit all of them alike."""
    out = []
    rounds = 3 if cfg.quick else 5
    for name, make in W.decode_workloads(cfg.quick):
        value = make()
        expected = _decode_expected(value)
        log(f"\n## decode: {name}")
        peers = decode_peers(qc, value)
        rows, live = [], []
        for p in peers:
            row = {"peer": p["peer"], "note": p.get("note", "")}
            if "unavailable" in p:
                row.update(status="unavailable", note=p["unavailable"])
            else:
                try:
                    ok = p["loads"](p["data"]) == expected
                except Exception as exc:  # noqa: BLE001 - any decoder failure is a failed check
                    ok, row["note"] = False, f"decoding failed: {type(exc).__name__}: {exc}"
                row.update(status="ok" if ok else "FAILED", in_size=len(p["data"]))
                if ok:
                    live.append((p, row, []))
            rows.append(row)
        for _ in range(rounds):
            for p, row, medians in live:
                t = measure(lambda: p["loads"](p["data"]), cfg, min_reps=3)
                medians.append(t.median_ns)
                row["reps"] = row.get("reps", 0) + t.reps
        ours_ns = None
        for p, row, medians in live:
            row["median_ns"] = int(statistics.median(medians))
            if p.get("ours"):
                ours_ns = row["median_ns"]
        for p, row, _ in live:
            row["ratio"] = row["median_ns"] / ours_ns if ours_ns else None
        size = next((r["in_size"] for r in rows if r.get("status") == "ok"), 0)
        out.append({"workload": name, "input_size": size, "our_ns": ours_ns, "rows": rows})
        log(decode_table(out[-1]))
    return out


def decode_table(w: dict) -> str:
    lines = ["| peer | time (median) | MB/s | ratio | input | reps | note |",
             "|---|---:|---:|---:|---:|---:|---|"]
    for r in w["rows"]:
        if "median_ns" not in r:
            lines.append(f"| {r['peer']} | {r['status']} | | | | | {r.get('note', '')} |")
            continue
        lines.append(f"| {r['peer']} | {fmt_time(r['median_ns'])} | {fmt_rate(r['in_size'], r['median_ns'])} "
                     f"| {fmt_ratio(r['median_ns'], w['our_ns'])} | {fmt_size(r['in_size'])} | {r['reps']} "
                     f"| {r.get('note', '')} |")
    return "\n".join(lines)


# --------------------------------------------------------------------------- delta


def time_pairs(make_call: Callable, pairs, cfg: Config, big: bool) -> Timing:
    calls = [make_call(*pr) for pr in pairs]
    return measure(lambda: [c() for c in calls], cfg, min_reps=1 if big else None)


def run_delta_case(case: W.DeltaCase, dpeers, cfg: Config, bw: dict, log) -> dict:
    old_size, new_size = case.old_size, case.new_size
    res = {"workload": case.name, "old_size": old_size, "new_size": new_size, "pairs": len(case.pairs),
           "note": case.note, "rows": []}
    log(f"\n## delta: {case.name}  (old {fmt_size(old_size)}, new {fmt_size(new_size)}"
        + (f", {len(case.pairs)} pairs" if len(case.pairs) > 1 else "") + ")")
    if case.note:
        log(f"   {case.note}")
    if case.skipped:
        res["skipped"] = case.skipped
        log(f"   skipped: {case.skipped}")
        return res
    for p in dpeers:
        if p.text_only and not case.text:
            continue
        row = {"peer": p.name, "note": p.note, "ours": p.ours}
        if p.unavailable:
            row.update(status="unavailable", note=p.unavailable)
            res["rows"].append(row)
            continue
        try:
            td = time_pairs(p.diff_call, case.pairs, cfg, case.big)
            deltas = [p.delta_bytes(r) for r in td.result]
            del td.result
            tp = time_pairs(p.patch_call, [(o, d) for (o, _), d in zip(case.pairs, deltas)], cfg, case.big)
            ok = all(p.result_bytes(r) == n for r, (_, n) in zip(tp.result, case.pairs))
            del tp.result
        except Exception as exc:  # noqa: BLE001 - a peer that breaks is reported, not fatal
            row.update(status="FAILED", note=f"{type(exc).__name__}: {exc}"[:300])
            res["rows"].append(row)
            continue
        if not ok:
            row.update(status="FAILED", note="patched value differs from the new value")
            res["rows"].append(row)
            continue
        row.update(status="ok", diff_ns=td.median_ns, diff_reps=td.reps, patch_ns=tp.median_ns,
                   patch_reps=tp.reps, delta_size=sum(len(d) for d in deltas))
        if p.startup_ns:
            k = len(case.pairs)
            row["startup_ns"] = p.startup_ns * k
            row["note"] = f"incl. {k} × {fmt_time(p.startup_ns)} process start"
        res["rows"].append(row)
    ours = next((r for r in res["rows"] if r.get("ours") and r.get("status") == "ok"), None)
    # The machine's floor: reading the new value once (memcmp) and writing it once (memcpy).
    res["rows"].append({"peer": "(floor) memcmp / memcpy of new", "status": "limit",
                        "note": "machine bandwidth; patch: alloc+copy "
                                f"{fmt_time(new_size / (bw['alloc_copy_mbps'] * MB) * 1e9)}",
                        "diff_ns": new_size / (bw["memcmp_mbps"] * MB) * 1e9,
                        "patch_ns": new_size / (bw["memcpy_mbps"] * MB) * 1e9})
    for r in res["rows"]:
        if "diff_ns" in r and ours:
            r["diff_ratio"] = r["diff_ns"] / ours["diff_ns"]
            r["patch_ratio"] = r["patch_ns"] / ours["patch_ns"]
    res["our_diff_ns"] = ours["diff_ns"] if ours else None
    res["our_patch_ns"] = ours["patch_ns"] if ours else None
    log(delta_table(res))
    return res


def delta_table(w: dict) -> str:
    if w.get("skipped"):
        return f"skipped: {w['skipped']}"
    diff_in = w["old_size"] + w["new_size"]
    lines = ["| peer | diff | diff MB/s | diff ratio | delta size | patch | patch MB/s | patch ratio | reps d/p | note |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    for r in w["rows"]:
        if r.get("status") not in ("ok", "limit"):
            lines.append(f"| {r['peer']} | {r['status']} | | | | | | | | {r.get('note', '')} |")
            continue
        patch_in = w["old_size"] + r.get("delta_size", 0)
        reps = f"{r['diff_reps']}/{r['patch_reps']}" if "diff_reps" in r else ""
        lines.append(
            f"| {r['peer']} | {fmt_time(r['diff_ns'])} | {fmt_rate(diff_in, r['diff_ns'])} "
            f"| {fmt_ratio(r['diff_ns'], w['our_diff_ns'])} | {fmt_size(r.get('delta_size'))} "
            f"| {fmt_time(r['patch_ns'])} | {fmt_rate(patch_in, r['patch_ns'])} "
            f"| {fmt_ratio(r['patch_ns'], w['our_patch_ns'])} | {reps} | {r.get('note', '')} |")
    return "\n".join(lines)


def run_delta(qc, cfg: Config, bw: dict, log, dumps, cache: Path) -> List[dict]:
    dpeers = P.delta_peers(qc)
    try:
        out = []
        for case in W.delta_workloads(cfg.quick, dumps, cache):
            out.append(run_delta_case(case, dpeers, cfg, bw, log))
            blocks_ratios(out[-1], log)
            del case
        return out
    finally:
        for p in dpeers:
            p.close()


def blocks_ratios(w: dict, log) -> None:
    """For each diff_blocks row: its delta size over xdelta3 -S none's and diff's, and its
    time over in-process zstandard's and over the command-line tools' without start-up."""
    rows = {r["peer"]: r for r in w.get("rows", []) if r.get("status") == "ok"}

    def find(prefix: str, contains: str = "", excludes: str = "") -> Optional[dict]:
        return next((r for n, r in rows.items()
                     if n.startswith(prefix) and contains in n and not (excludes and excludes in n)), None)

    plain, zlib_row = find("xdelta3", "-S none"), find("zstandard")
    xd, zcli, diff_row = find("xdelta3", excludes="-S none"), find("zstd "), rows.get("quorvane delta")
    parts = []
    for name in ("quorvane diff_blocks", "quorvane diff_blocks compact"):
        r = rows.get(name)
        if r is None:
            continue
        bits = []
        for label, ref in (("xdelta3 -S none", plain), ("diff", diff_row)):
            if ref and ref.get("delta_size"):
                bits.append(f"size {r['delta_size'] / ref['delta_size']:.2f}x {label}")
        if zlib_row:
            bits.append(f"time {r['diff_ns'] / zlib_row['diff_ns']:.2f}x zstandard")
        for label, ref in (("xdelta3", xd), ("zstd CLI", zcli)):
            if ref:
                net = ref["diff_ns"] - ref.get("startup_ns", 0)
                if net > 0:
                    bits.append(f"{r['diff_ns'] / net:.2f}x {label} without start-up")
        parts.append(f"{name}: " + ", ".join(bits))
    if parts:
        w["blocks_ratios"] = parts
        log("\n".join(f"- {p}" for p in parts))


# --------------------------------------------------------------------------- growth

GROWTH_PEERS = ["bsdiff4", "zstandard", "xdelta3"]


def run_growth(qc, cfg: Config, log) -> dict:
    dpeers = P.delta_peers(qc, GROWTH_PEERS)
    sizes = W.growth_sizes(cfg.quick)
    series = {}
    try:
        for kind in ("sparse", "unrelated"):
            log(f"\n## growth: {kind} ({'sparse edits: one per KiB, at most 20' if kind == 'sparse' else 'two unrelated random values'})")
            stopped = {}
            last = {}
            pts = {p.name: [] for p in dpeers if not p.unavailable}
            for size in sizes:
                old, new = W.growth_pair(kind, size)
                for p in dpeers:
                    if p.unavailable:
                        continue
                    if p.name not in stopped and time.time() > cfg.deadline:
                        stopped[p.name] = "stopped: the run's time budget (--max-minutes) was used up"
                    if p.name in stopped:
                        pts[p.name].append({"size": size, "stopped": stopped[p.name]})
                        continue
                    try:
                        td = time_pairs(p.diff_call, [(old, new)], cfg, big=True)
                        d = p.delta_bytes(td.result[0])
                        tp = time_pairs(p.patch_call, [(old, d)], cfg, big=True)
                        ok = p.result_bytes(tp.result[0]) == new
                    except Exception as exc:  # noqa: BLE001
                        pts[p.name].append({"size": size, "failed": f"{type(exc).__name__}: {exc}"[:200]})
                        stopped[p.name] = "failed at a smaller size"
                        continue
                    if not ok:
                        pts[p.name].append({"size": size, "failed": "patched value differs"})
                        stopped[p.name] = "failed at a smaller size"
                        continue
                    pts[p.name].append({"size": size, "diff_ns": td.median_ns, "patch_ns": tp.median_ns,
                                        "delta_size": len(d), "reps": [td.reps, tp.reps]})
                    # Project the next point (4x the size) from the growth seen so far.
                    prev = last.get(p.name)
                    factor = 4.0
                    if prev and prev > 0:
                        factor = max(4.0, min(16.0, td.median_ns / prev))
                    last[p.name] = td.median_ns
                    projected = max(td.median_ns, tp.median_ns) * factor
                    if projected > cfg.growth_cap_ns and size != sizes[-1]:
                        stopped[p.name] = (f"stopped: after {fmt_time(td.median_ns)} at {fmt_size(size)}, "
                                           f"the next size was projected at {fmt_time(projected)}")
                    log(f"   {p.name:<40} {fmt_size(size):>10}  diff {fmt_time(td.median_ns):>10}  "
                        f"patch {fmt_time(tp.median_ns):>10}  delta {fmt_size(len(d)):>10}")
                del old, new
            series[kind] = pts
            log(growth_table(kind, pts, sizes))
    finally:
        for p in dpeers:
            p.close()
    return {"sizes": sizes, "series": series}


def growth_table(kind: str, pts: dict, sizes: List[int]) -> str:
    names = list(pts)
    head = "| size | " + " | ".join(f"{n} diff / patch" for n in names) + " |"
    lines = [head, "|---:|" + "---:|" * len(names)]
    for i, size in enumerate(sizes):
        cells = []
        for n in names:
            pt = pts[n][i] if i < len(pts[n]) else {}
            if "diff_ns" in pt:
                cells.append(f"{fmt_time(pt['diff_ns'])} / {fmt_time(pt['patch_ns'])}")
            elif "failed" in pt:
                cells.append("FAILED")
            else:
                cells.append("—")
        lines.append(f"| {fmt_size(size)} | " + " | ".join(cells) + " |")
    notes = {n: next((pt["stopped"] for pt in pts[n] if "stopped" in pt), None) for n in names}
    for n, why in notes.items():
        if why:
            lines.append(f"\n{n}: {why}")
    return "\n".join(lines)


def growth_chart(growth: dict, path: Path) -> Optional[str]:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return "matplotlib is not installed: no chart"
    kinds = list(growth["series"])
    fig, axes = plt.subplots(1, len(kinds), figsize=(6.5 * len(kinds), 5), squeeze=False)
    for ax, kind in zip(axes[0], kinds):
        for i, (name, pts) in enumerate(growth["series"][kind].items()):
            xs = [pt["size"] for pt in pts if "diff_ns" in pt]
            if not xs:
                continue
            color = f"C{i}"
            ours = name.startswith("quorvane")
            ax.plot(xs, [pt["diff_ns"] / 1e9 for pt in pts if "diff_ns" in pt], "o-", color=color,
                    label=f"{name} diff", linewidth=2.5 if ours else 1.2)
            ax.plot(xs, [pt["patch_ns"] / 1e9 for pt in pts if "diff_ns" in pt], "s--", color=color,
                    label=f"{name} patch", alpha=0.6)
        if not ax.lines:
            ax.text(0.5, 0.5, "no points", ha="center", transform=ax.transAxes)
            continue
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xlabel("value size (bytes)")
        ax.set_ylabel("time (s, median)")
        ax.set_title("sparse edits (one per KiB, at most 20)" if kind == "sparse" else "unrelated random values")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return None


# --------------------------------------------------------------------------- memory

MEMORY_PEERS = ["quorvane", "bsdiff4", "zstandard", "xdelta3", "zstd-cli"]


def run_memory(qc, cfg: Config, log) -> dict:
    """Peak memory of diff and patch, each in a fresh interpreter (resource.getrusage)."""
    size = 4 * W.MiB if cfg.quick else 64 * W.MiB
    old = W.random_bytes(size, 12)
    new = W.sparse_edits(old, 20, 112)
    log(f"\n## peak memory: random {fmt_size(size)}, 20 small edits (fresh process per call)")
    rows = []
    with tempfile.TemporaryDirectory(prefix="qbench-mem-") as tmp:
        po, pn = os.path.join(tmp, "old"), os.path.join(tmp, "new")
        Path(po).write_bytes(old)
        Path(pn).write_bytes(new)
        del old, new
        for label in MEMORY_PEERS:
            if label == "quorvane" and qc is None:
                continue
            pd = os.path.join(tmp, f"delta-{label}")
            row = {"peer": label}
            for op in ("diff", "patch"):
                r = subprocess.run([sys.executable, str(HERE / "memprobe.py"), label, op, po, pn, pd],
                                   capture_output=True, text=True)
                if r.returncode != 0:
                    row[op] = {"error": (r.stderr.strip().splitlines() or ["?"])[-1][:200]}
                    break
                row[op] = json.loads(r.stdout.strip().splitlines()[-1])
            rows.append(row)
    log(memory_table(size, rows))
    return {"size": size, "rows": rows}


def memory_table(size: int, rows: List[dict]) -> str:
    lines = ["| peer | diff: extra peak | × (old+new) | patch: extra peak | × (old+delta) | note |",
             "|---|---:|---:|---:|---:|---|"]
    for r in rows:
        cells = []
        note = ""
        for op in ("diff", "patch"):
            m = r.get(op)
            if not m or "error" in m:
                cells += ["error", ""]
                note = (m or {}).get("error", "not run")
                continue
            cells += [fmt_size(m["peak_extra"]), f"{m['peak_extra'] / m['input_size']:.2f}"]
            if m.get("process") == "child":
                note = "peak RSS of the tool's own process"
        lines.append(f"| {r['peer']} | " + " | ".join(cells) + f" | {note} |")
    return "\n".join(lines)


# --------------------------------------------------------------------------- main


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, few repetitions (smoke run)")
    ap.add_argument("--only", default="",
                    help="comma-separated sections: encode, decode, delta, growth, memory, compress "
                         "(compress runs only when named)")
    ap.add_argument("--out", default=str(HERE / "results"), help="directory for latest.md/.json and growth.png")
    ap.add_argument("--max-minutes", type=float, default=15.0,
                    help="after this many minutes the growth series take no further points (default 15)")
    ap.add_argument("--peers-only", action="store_true",
                    help="run without the module if it does not import (peers' numbers only)")
    args = ap.parse_args(argv)
    sections = [s.strip() for s in args.only.split(",") if s.strip()] or ["encode", "decode", "delta", "growth", "memory"]
    for s in sections:
        if s not in ("encode", "decode", "delta", "growth", "memory", "compress"):
            ap.error(f"unknown section {s!r}")
    if args.only.strip() == "delta":
        sections.append("memory")      # the 64 MiB peak-memory figures belong to the delta part
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)

    qc, why = P.load_module()
    if qc is None and not args.peers_only:
        print(f"error: {why}\n(build it with: bash scripts/setup.sh)", file=sys.stderr)
        return 2

    md: List[str] = []

    def log(text: str) -> None:
        print(text, flush=True)
        md.append(text)

    cfg = config(args.quick)
    started = time.time()
    cfg.deadline = started + args.max_minutes * 60
    info = machine_info(qc)
    bw = bandwidth(64 * W.MiB)
    log(f"# quorvane_core benchmark{' (quick)' if args.quick else ''}")
    log("")
    log(f"- machine: {info['cpu']}, {info['cores']} cores ({info['usable_cores']} usable), "
        f"{info['memory_gib']} GiB; {info['platform']}")
    log(f"- Python: {info['python']}; quorvane_core: {info['quorvane_core']}")
    log("- peers: " + ", ".join(f"{k} {v}" for k, v in info["peers"].items()))
    log(f"- memory bandwidth ({fmt_size(bw['size'])} buffers): memcpy {bw['memcpy_mbps']:,.0f} MB/s, "
        f"alloc+copy into a new bytes object {bw['alloc_copy_mbps']:,.0f} MB/s, "
        f"memcmp {bw['memcmp_mbps']:,.0f} MB/s")
    log("- times: median of the repetitions after one warm-up call (a call slower than "
        f"{fmt_time(cfg.slow_ns)} is timed once); ratio = peer time / our time (> 1: we are faster); "
        "MB = 10^6 bytes")
    if qc is None:
        log(f"- **the module did not import ({why}); peers only**")

    result = {"machine": info, "bandwidth": bw, "quick": args.quick, "sections": sections,
              "started": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(started))}
    failures = 0
    if "encode" in sections:
        log("\n# encode (dumps); MB/s of input = size of our encoding per second")
        result["encode"] = run_encode(qc, cfg, log)
        failures += sum(r.get("status") == "FAILED" for w in result["encode"] for r in w["rows"])
    if "decode" in sections:
        log("\n# decode (loads); MB/s of input = size of each decoder's own input per second")
        result["decode"] = run_decode(qc, cfg, log)
        failures += sum(r.get("status") == "FAILED" for w in result["decode"] for r in w["rows"])
    if "delta" in sections:
        log("\n# delta (diff and patch); MB/s of input = (old + new) for diff, (old + delta) for patch")
        dumps = qc.cbor.dumps if qc else __import__("cbor2").dumps
        result["delta"] = run_delta(qc, cfg, bw, log, dumps, out_dir / "cache")
        failures += sum(r.get("status") == "FAILED" for w in result["delta"] for r in w["rows"])
    if "growth" in sections:
        log("\n# growth: diff and patch time against size")
        result["growth"] = run_growth(qc, cfg, log)
        failures += sum("failed" in pt for s in result["growth"]["series"].values()
                        for pts in s.values() for pt in pts)
        try:
            problem = growth_chart(result["growth"], out_dir / "growth.png")
        except Exception as exc:  # noqa: BLE001 - the chart is optional; the tables are written anyway
            problem = f"the chart failed: {type(exc).__name__}: {exc}"
        log(f"\n{problem}" if problem else f"\nchart: {out_dir / 'growth.png'}")
    if "memory" in sections:
        result["memory"] = run_memory(qc, cfg, log)
    if "compress" in sections:
        import compress_bench
        log("\n# compressed deltas (delta.compress) beside the delta tools")
        result["compress"] = compress_bench.run(qc, log, out_dir / "cache", quick=args.quick)
    elapsed = time.time() - started
    log(f"\nwall time {elapsed:.0f} s; {failures} failed check(s)")
    result["elapsed_s"] = elapsed
    result["failures"] = failures
    (out_dir / "latest.md").write_text("\n".join(md) + "\n")
    (out_dir / "latest.json").write_text(json.dumps(result, indent=1, default=str) + "\n")
    print(f"wrote {out_dir / 'latest.md'} and {out_dir / 'latest.json'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
