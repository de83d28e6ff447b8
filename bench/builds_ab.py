"""Before/after of the CBOR encoder rows: two builds of quorvane_core timed in alternating fresh
processes (ABBA order), each process timing every encode workload with dumps, dumps (definite),
encode and encode (deterministic): the median thread CPU time of 9 calls after 2. A row's ratio
is the median over the rounds of (after / before), so a busier moment weighs on both alike.

    python bench/builds_ab.py BEFORE_DIR AFTER_DIR ROUNDS    (a directory holding the built
                                                              module's .so; '' = the installed one)
    ONLY='doc_packages|records' python bench/builds_ab.py ...  (only the workloads so named)

A build of another revision for BEFORE_DIR: git archive REV | tar -x -C /tmp/rev, then
pip install --no-build-isolation --no-deps --target /tmp/rev-site /tmp/rev."""
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

BENCH = str(Path(__file__).resolve().parent)
CALLS = 9


def worker(mod_dir):
    if mod_dir:
        sys.path.insert(0, mod_dir)
    sys.path.insert(0, BENCH)
    import quorvane_core as qc
    import workloads as W
    fns = {"dumps": qc.cbor.dumps, "dumps (definite)": lambda v: qc.cbor.dumps(v, indefinite=False),
           "encode": qc.cbor.encode, "encode (deterministic)": lambda v: qc.cbor.encode(v, deterministic=True)}
    out = {}
    only = os.environ.get("ONLY")
    for title, make in W.encode_workloads(False):
        if only and not any(o in title for o in only.split("|")):
            continue
        value = make()
        for name, f in fns.items():
            try:
                f(value)
            except Exception:
                continue
            f(value)
            gc.collect()
            gc.disable()
            ts = []
            for _ in range(CALLS):
                t0 = time.thread_time_ns()
                f(value)
                ts.append(time.thread_time_ns() - t0)
            gc.enable()
            out[f"{title} | {name}"] = statistics.median(ts)
    print(json.dumps({"file": qc.__file__, "rows": out}))


def main(before, after, rounds):
    res = {"before": [], "after": []}
    for r in range(rounds):
        order = [("before", before), ("after", after)] if r % 2 == 0 else [("after", after), ("before", before)]
        for label, d in order:
            done = subprocess.run([sys.executable, __file__, "--worker", d], capture_output=True, text=True)
            if done.returncode != 0:
                sys.exit(done.stderr[-2000:])
            res[label].append(json.loads(done.stdout.strip().splitlines()[-1]))
        print(f"round {r + 1}/{rounds} done", file=sys.stderr)
    print("files:", res["before"][0]["file"], res["after"][0]["file"])
    print("| workload | encoder | before (ms) | after (ms) | after/before (median of per-round ratios) |")
    print("|---|---|---:|---:|---:|")
    ratios = []
    for key in res["before"][0]["rows"]:
        b = [x["rows"][key] for x in res["before"]]
        a = [x["rows"][key] for x in res["after"]]
        ratio = statistics.median(y / x for x, y in zip(b, a))
        ratios.append(ratio)
        w, e = key.split(" | ")
        print(f"| {w} | {e} | {statistics.median(b) / 1e6:.3f} | {statistics.median(a) / 1e6:.3f} | {ratio:.3f} |")
    print(f"geometric mean after/before: {statistics.geometric_mean(ratios):.3f} over {len(ratios)} rows")


if __name__ == "__main__":
    if sys.argv[1] == "--worker":
        worker(sys.argv[2])
    else:
        main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
