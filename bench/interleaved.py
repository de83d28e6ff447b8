"""dumps and encode on every encode workload: interleaved with their fastest peers, and alone.

Interleaved: in every round each encoder is called once, one after the other, and timed by
the thread's CPU time; a peer's ratio is the median over the rounds of (peer time / our
time in the same round), so a slower or busier moment of the machine weighs on both alike.

Alone: each encoder runs in a fresh interpreter of its own on the same workload, as a
program would: the first call, then (after two more) 20 calls, of which the median wall time
and the minor page faults per call (getrusage) are reported.

    python bench/interleaved.py WORKLOAD-TITLE PEER [--quick]   (one fresh-process run; prints JSON)
"""
from __future__ import annotations

import gc
import json
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads as W  # noqa: E402

# Encoders compared here, by the names of bench/peers.py (prefix match); the fastest ones
# also run alone.
PEERS = ("quorvane dumps", "quorvane dumps (definite)", "quorvane encode", "quorvane encode (deterministic)", "cbor2",
         "msgpack", "msgspec.msgpack", "msgspec.json", "ormsgpack", "orjson", "pickle")
ENCODE = "quorvane encode"  # the second reference: ratios against encode too
ALONE_PEERS = ("quorvane dumps", "ormsgpack", "orjson")
ALONE_CALLS = 20


def _encoders(qc) -> Dict[str, object]:
    import peers as P
    found = {}
    for p in P.encode_peers(qc):
        for want in PEERS:
            if (p.name == want or (p.name.startswith(want) and "(" not in p.name)) and not p.unavailable \
                    and want not in found:
                found[want] = p.dumps
    return found


def interleaved(value, qc, rounds: int) -> dict:
    encoders = {}
    for name, dumps in _encoders(qc).items():
        try:
            dumps(value)
        except (TypeError, ValueError, OverflowError):
            continue  # cannot encode this workload
        encoders[name] = dumps
    times: Dict[str, List[int]] = {name: [] for name in encoders}
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for name, dumps in encoders.items():
                t0 = time.thread_time_ns()
                dumps(value)
                times[name].append(time.thread_time_ns() - t0)
    finally:
        gc.enable()
    ours = times.get(PEERS[0])
    encode = times.get(ENCODE)
    rows = {}
    for name, ts in times.items():
        rows[name] = {"median_ns": statistics.median(ts),
                      "ratio": statistics.median(t / o for t, o in zip(ts, ours)) if ours else None,
                      "ratio_encode": statistics.median(t / e for t, e in zip(ts, encode)) if encode else None}
    return {"rounds": rounds, "rows": rows}


def alone(workload: str, peer: str, quick: bool) -> dict:
    """Run in a fresh process: one workload, one encoder."""
    done = subprocess.run([sys.executable, str(Path(__file__)), workload, peer] + (["--quick"] if quick else []),
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def runs(workload_title: str, value, qc, quick: bool) -> dict:
    result = interleaved(value, qc, 11 if quick else 41)
    result["alone"] = {name: alone(workload_title, name, quick) for name in result["rows"] if name in ALONE_PEERS}
    return result


def table(result: dict) -> str:
    lines = [f"interleaved ({result['rounds']} rounds, thread CPU time) and alone (fresh process; "
             f"median wall time of {ALONE_CALLS} calls after 3, faults per call over them):",
             "",
             "| encoder | interleaved median | ratio | vs encode | alone: first call | faults | alone: per call | faults/call |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for name, row in result["rows"].items():
        a = result["alone"].get(name)
        if a is None:
            alone_cells = " | | |"
        elif "error" in a:
            alone_cells = f"failed: {a['error']} | | |"
        else:
            alone_cells = (f"{a['first_ns'] / 1e6:.3f} ms | {a['first_faults']} | {a['per_call_ns'] / 1e6:.3f} ms "
                           f"| {a['faults_per_call']:.1f}")
        ratio = f"{row['ratio']:.2f}x" if row["ratio"] is not None else ""
        vs_encode = f"{row['ratio_encode']:.2f}x" if row.get("ratio_encode") is not None else ""
        lines.append(f"| {name} | {row['median_ns'] / 1e6:.3f} ms | {ratio} | {vs_encode} | {alone_cells} |")
    return "\n".join(lines)


def summary(workloads: List[dict]) -> str:
    """One line per peer over the workloads: the lowest interleaved ratio and the geometric mean."""
    lines = ["interleaved ratios over the workloads (peer time / ours):", ""]
    for reference, key in ((PEERS[0], "ratio"), (ENCODE, "ratio_encode")):
        ratios: Dict[str, List[float]] = {}
        for w in workloads:
            for name, row in w.get("interleaved", {}).get("rows", {}).items():
                if name != reference and row.get(key):
                    ratios.setdefault(name, []).append(row[key])
        for name, rs in ratios.items():
            geomean = statistics.geometric_mean(rs)
            lines.append(f"- {name} / {reference}: lowest {min(rs):.2f}x, geometric mean {geomean:.2f}x "
                         f"over {len(rs)} workloads")
    return "\n".join(lines)


def _alone_main(workload: str, peer: str, quick: bool) -> None:
    import peers as P
    qc, why = P.load_module()
    make = dict(W.encode_workloads(quick))[workload]
    value = make()
    dumps = _encoders(qc)[peer]
    gc.collect()
    before = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter_ns()
    dumps(value)
    first_ns = time.perf_counter_ns() - t0
    first_faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before.ru_minflt
    dumps(value)
    dumps(value)
    times = []
    before = resource.getrusage(resource.RUSAGE_SELF)
    for _ in range(ALONE_CALLS):
        t0 = time.perf_counter_ns()
        dumps(value)
        times.append(time.perf_counter_ns() - t0)
    after = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"first_ns": first_ns, "first_faults": first_faults,
                      "per_call_ns": statistics.median(times),
                      "faults_per_call": (after.ru_minflt - before.ru_minflt) / ALONE_CALLS,
                      "system_ns_per_call": (after.ru_stime - before.ru_stime) * 1e9 / ALONE_CALLS}))


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--quick"]
    _alone_main(args[0], args[1], "--quick" in sys.argv[1:])
