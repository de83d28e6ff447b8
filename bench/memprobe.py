"""Peak memory of one diff or patch call, run in a fresh interpreter by bench.py.

    python bench/memprobe.py PEER diff|patch OLD NEW DELTA

diff reads OLD and NEW and writes the delta to DELTA; patch reads OLD and DELTA and checks
the result against NEW. Prints one JSON line with the extra peak resident memory of the
call: the high-water mark of this process after the call minus its resident size before
it (the mark is reset first through /proc/self/clear_refs), or for a command-line tool the
peak resident size of the tool's own process as /usr/bin/time reports it. (ru_maxrss is not
used: a child inherits its parent's figure across fork and exec.)
"""
import gc
import json
import os
import re
import resource
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import peers as P  # noqa: E402


def status(field: str) -> int:
    with open("/proc/self/status") as f:
        m = re.search(field + r":\s+(\d+) kB", f.read())
    return int(m.group(1)) * 1024


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def main() -> int:
    label, op, po, pn, pd = sys.argv[1:6]
    qc, why = P.load_module()
    if label == "quorvane" and qc is None:
        raise SystemExit(why)
    peer = P.peer_by_label(label, qc)
    if peer.unavailable:
        raise SystemExit(peer.unavailable)
    old = Path(po).read_bytes()
    other = Path(pn if op == "diff" else pd).read_bytes()
    call = peer.diff_call(old, other) if op == "diff" else peer.patch_call(old, other)
    input_size = len(old) + len(other)
    cli = isinstance(peer, P.CliPeer)
    info = {"op": op, "input_size": input_size}
    if cli:
        time_exe = shutil.which("time") or "/usr/bin/time"
        if not os.path.exists(time_exe):
            raise SystemExit("/usr/bin/time is needed to measure a command-line tool")
        r = subprocess.run([time_exe, "-f", "maxrss %M", *call.argv], stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True)
        if r.returncode != 0:
            raise SystemExit(r.stderr[-300:])
        m = re.findall(r"maxrss (\d+)", r.stderr)
        info.update(peak_extra=int(m[-1]) * 1024, process="child")
        result = call.argv[-1]
    else:
        gc.collect()
        exact = reset_peak()
        if exact:
            before = status("VmRSS")
            result = call()
            info.update(peak_extra=max(0, status("VmHWM") - before), process="self", rss_before=before)
        else:  # no /proc: the coarser process-wide figure
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
            result = call()
            after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
            info.update(peak_extra=after - before, process="self (ru_maxrss)", rss_before=before)
    if op == "diff":
        Path(pd).write_bytes(peer.delta_bytes(result))
        ok = True
    else:
        ok = peer.result_bytes(result) == Path(pn).read_bytes()
    peer.close()
    info["ok"] = ok
    print(json.dumps(info))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
