"""diff on each implementation of the search's wave passes against the earlier release's engine.

    .venv/bin/python bench/diff_paths.py [--before REV] [--rounds N] [--quick] [--out FILE]

The earlier release's module (REV, by default the last commit before the vector wave passes)
is built once into build/bench-before/REV. Each pair is diffed in two worker processes, one
importing that module and one this checkout's (from .venv), taking turns round by round:
the earlier engine, then ours forced onto every path this processor has (the private
`_diff_path` hook). Times are CPU time of the calling thread per call (time.thread_time_ns),
medians over the rounds, so that the other jobs of a shared machine weigh less than in
wall-clock times. Every path's delta must be the earlier engine's, byte for byte.
"""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import List, Optional, Tuple

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
# The last commit before the vector wave passes: the engine of the earlier release.
EARLIER_RELEASE = "1036f980d22263627df140fb3831d9e6d8222b6e"


# --------------------------------------------------------------------------- worker


def worker() -> None:
    """Reads requests (JSON lines) from stdin: diff a pair `reps` times on a path."""
    import gc
    import time
    import quorvane_core as qc
    hook = getattr(qc, "_diff_path", None)
    cache = {}
    for line in sys.stdin:
        req = json.loads(line)
        if req.get("paths"):
            print(json.dumps({"paths": hook.available() if hook else []}), flush=True)
            continue
        key = (req["old"], req["new"])
        if key not in cache:
            cache.clear()
            cache[key] = (Path(req["old"]).read_bytes(), Path(req["new"]).read_bytes())
        old, new = cache[key]
        default = hook.get() if hook else None
        if req.get("path"):
            hook.set(req["path"])
        times, digest = [], ""
        gc.disable()
        try:
            for _ in range(req["reps"]):
                t0 = time.thread_time_ns()
                result = qc.delta.diff(old, new)
                times.append(time.thread_time_ns() - t0)
                digest = hashlib.sha256(bytes(result)).hexdigest()
        finally:
            gc.enable()
            if default:
                hook.set(default)
        print(json.dumps({"times": times, "digest": digest}), flush=True)


class Worker:
    def __init__(self, python: str, pythonpath: Optional[str]):
        env = dict(os.environ)
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        self.proc = subprocess.Popen([python, str(Path(__file__).resolve()), "--worker"], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, cwd="/")

    def ask(self, **req) -> dict:
        self.proc.stdin.write(json.dumps(req) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("worker ended")
        return json.loads(line)

    def close(self) -> None:
        self.proc.stdin.close()
        self.proc.wait()


# --------------------------------------------------------------------------- set-up


def build_earlier(rev: str) -> Path:
    """The earlier release's module, built once into build/bench-before/REV/site."""
    base = ROOT / "build" / "bench-before" / rev[:12]
    site = base / "site"
    if any(site.glob("quorvane_core*.so")):
        return site
    src = base / "src"
    src.mkdir(parents=True, exist_ok=True)
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", rev], check=True, capture_output=True).stdout
    subprocess.run(["tar", "x", "-C", str(src)], input=archive, check=True)
    subprocess.run([str(ROOT / ".venv" / "bin" / "python"), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--no-build-isolation", "--no-deps", "--target", str(site),
                    "--config-settings=build-dir=" + str(base / "build"), str(src)], check=True)
    return site


def pairs(quick: bool, work: Path) -> List[Tuple[str, Path, Path]]:
    sys.path.insert(0, str(HERE))
    import workloads as W
    import quorvane_core as qc
    found: List[Tuple[str, bytes, bytes]] = []
    found.append(("encoded records (10,000), 1% changed", *W.encoded_records_pair(qc.cbor.dumps, 10_000)))
    stdlib, _ = W.stdlib_revision_pairs()
    for old, new in stdlib:
        if old.startswith(b'"""\nThe typing module'):
            found.append(("text: typing.py, Python 3.11.2 -> 3.11.7", old, new))
    topics, note = W.stdlib_topics_pair()
    if topics:
        found.append(("text: pydoc topics, two Python releases", *topics[0]))
    curl, note = W.debian_library_pair(ROOT / "bench" / "results" / "cache", "libcurl4", "libcurl.so")
    if curl:
        found.append(("binary: Debian libcurl.so, two builds", *curl[0]))
    sizes = ((256 * W.KiB, 16), (1 * W.MiB, 16)) if quick else ((256 * W.KiB, 16), (1 * W.MiB, 16), (4 * W.MiB, 18))
    for size, seed in sizes:
        label = f"unrelated {size // W.KiB} KiB" if size < W.MiB else f"unrelated {size // W.MiB} MiB"
        found.append((label, W.random_bytes(size, seed), W.random_bytes(size, seed + 1)))
    out = []
    for i, (label, old, new) in enumerate(found):
        po, pn = work / f"{i}.old", work / f"{i}.new"
        po.write_bytes(old)
        pn.write_bytes(new)
        out.append((label, po, pn))
    return out


def fmt_ms(ns: float) -> str:
    ms = ns / 1e6
    return f"{ms / 1000:.2f} s" if ms >= 1000 else f"{ms:.1f} ms" if ms >= 10 else f"{ms:.2f} ms"


# --------------------------------------------------------------------------- main


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--before", default=EARLIER_RELEASE, help="revision of the earlier release")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--only", help="pairs whose label contains this text")
    ap.add_argument("--out", help="also write the Markdown table here")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        worker()
        return 0

    python = str(ROOT / ".venv" / "bin" / "python")
    site = build_earlier(args.before)
    earlier = Worker(python, str(site))
    ours = Worker(python, None)
    paths = ours.ask(paths=True)["paths"]
    paths = [p for p in ("portable", "avx2", "avx512") if p in paths]
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    print(f"# {cpu}; earlier release {args.before[:12]}; CPU time per call, medians of {args.rounds} rounds")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for label, po, pn in pairs(args.quick, Path(tmp)):
            if args.only and args.only not in label:
                continue
            size = po.stat().st_size + pn.stat().st_size
            big = size > 4 * 1024 * 1024
            rounds = 1 if big else args.rounds
            reps = 1
            times = {"before": []}
            times.update({p: [] for p in paths})
            digests = {}
            for _ in range(rounds):
                r = earlier.ask(old=str(po), new=str(pn), path=None, reps=reps)
                times["before"] += r["times"]
                digests["before"] = r["digest"]
                for p in paths:
                    r = ours.ask(old=str(po), new=str(pn), path=p, reps=reps)
                    times[p] += r["times"]
                    digests[p] = r["digest"]
            same = len(set(digests.values())) == 1
            med = {k: statistics.median(v) for k, v in times.items()}
            spread = {k: (max(v) - min(v)) / statistics.median(v) if len(v) > 1 else 0.0 for k, v in times.items()}
            row = {"pair": label, "rounds": rounds, "same_bytes": same, "median_ns": med, "spread": spread}
            rows.append(row)
            cells = " | ".join(f"{fmt_ms(med[p])} ({med['before'] / med[p]:.2f}x)" for p in paths)
            print(f"| {label} | {fmt_ms(med['before'])} | {cells} | {'' if same else 'BYTES DIFFER'}", flush=True)
    earlier.close()
    ours.close()
    head = "| pair | earlier release | " + " | ".join(f"{p} path (speed-up)" for p in paths) + " |"
    table = [head, "|---|---:|" + "---:|" * len(paths)]
    for row in rows:
        med = row["median_ns"]
        table.append(f"| {row['pair']} | {fmt_ms(med['before'])} | "
                     + " | ".join(f"{fmt_ms(med[p])} ({med['before'] / med[p]:.2f}x)" for p in paths) + " |")
    text = "\n".join(table)
    print("\n" + text)
    if args.out:
        Path(args.out).write_text(text + "\n\n" + json.dumps(rows, indent=1) + "\n")
    return 0 if all(r["same_bytes"] for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
