"""The module under test and its peers, behind two small interfaces.

Encode peers turn a value into bytes (`dumps`) and back (`loads`, used only to check the
result). Delta peers are prepared per value pair: `diff_call(old, new)` returns a
callable that computes the delta, `patch_call(old, delta)` one that applies it; the
callables are what the benchmark times, so set-up that is not part of the work (writing
input files for a command-line tool, converting the delta to bytes) happens outside them.
"""
from __future__ import annotations

import difflib
import importlib
import importlib.metadata
import marshal
import os
import pickle
import shutil
import subprocess
import tempfile
import time
from typing import Callable, List, Optional

MiB = 1024 * 1024


def dist_version(name: str) -> str:
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "?"


def load_module():
    """The module under test, or (None, reason)."""
    try:
        return importlib.import_module("quorvane_core"), ""
    except ImportError as exc:
        return None, f"quorvane_core does not import: {exc}"


# --------------------------------------------------------------------------- encode peers


class EncodePeer:
    def __init__(self, name: str, dumps: Optional[Callable] = None, loads: Optional[Callable] = None,
                 note: str = "", ours: bool = False, unavailable: str = ""):
        self.name = name
        self.dumps = dumps
        self.loads = loads
        self.note = note
        self.ours = ours
        self.unavailable = unavailable


def encode_peers(qc) -> List[EncodePeer]:
    peers: List[EncodePeer] = []
    cbor2 = _try_import("cbor2")
    cbor2_loads = cbor2.loads if cbor2 else None
    if qc is not None:
        peers.append(EncodePeer("quorvane dumps", qc.cbor.dumps, cbor2_loads, ours=True,
                                note="indefinite=True (default)"))
        peers.append(EncodePeer("quorvane dumps (definite)", lambda v: qc.cbor.dumps(v, indefinite=False),
                                cbor2_loads, note="indefinite=False"))
        if hasattr(qc.cbor, "encode"):
            peers.append(EncodePeer("quorvane encode", qc.cbor.encode, cbor2_loads,
                                    note="lossless, definite lengths"))
            peers.append(EncodePeer("quorvane encode (deterministic)",
                                    lambda v: qc.cbor.encode(v, deterministic=True), cbor2_loads,
                                    note="deterministic=True: keys in the order of their encodings"))
    if cbor2 is None:
        peers.append(EncodePeer("cbor2", unavailable="cbor2 is not installed"))
    else:
        c_encoder = _try_import("cbor2._cbor2") is not None
        if c_encoder:
            peers.append(EncodePeer(f"cbor2 {dist_version('cbor2')} (C)", cbor2.dumps, cbor2.loads))
        else:
            peers.append(EncodePeer(f"cbor2 {dist_version('cbor2')} (pure Python!)", cbor2.dumps, cbor2.loads,
                                    note="C encoder cbor2._cbor2 missing: the pure-Python encoder is timed"))
    msgpack = _try_import("msgpack")
    if msgpack is None:
        peers.append(EncodePeer("msgpack", unavailable="msgpack is not installed"))
    else:
        fallback = msgpack.Packer.__module__ == "msgpack.fallback"
        peers.append(EncodePeer(f"msgpack {dist_version('msgpack')}" + (" (pure Python!)" if fallback else ""),
                                msgpack.packb, lambda b: msgpack.unpackb(b, strict_map_key=False)))
    msgspec = _try_import("msgspec")
    if msgspec is None:
        peers.append(EncodePeer("msgspec", unavailable="msgspec is not installed"))
    else:
        version = dist_version("msgspec")
        peers.append(EncodePeer(f"msgspec.msgpack {version}", msgspec.msgpack.encode, msgspec.msgpack.decode,
                                note="MessagePack"))
        peers.append(EncodePeer(f"msgspec.json {version}", msgspec.json.encode, msgspec.json.decode,
                                note="JSON text, not a binary format"))
    ormsgpack = _try_import("ormsgpack")
    if ormsgpack is None:
        peers.append(EncodePeer("ormsgpack", unavailable="ormsgpack is not installed"))
    else:
        peers.append(EncodePeer(f"ormsgpack {dist_version('ormsgpack')}", ormsgpack.packb, ormsgpack.unpackb))
    peers.append(EncodePeer("pickle protocol 5", lambda v: pickle.dumps(v, protocol=5), pickle.loads))
    orjson = _try_import("orjson")
    if orjson is None:
        peers.append(EncodePeer("orjson", unavailable="orjson is not installed"))
    else:
        peers.append(EncodePeer(f"orjson {dist_version('orjson')}", orjson.dumps, orjson.loads,
                                note="JSON text, not a binary format"))
    return peers


def _try_import(name: str):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


# --------------------------------------------------------------------------- delta peers


class DeltaPeer:
    name = "?"
    ours = False
    text_only = False
    unavailable = ""
    note = ""
    startup_ns = 0          # process start-up included in every call (command-line tools)

    def diff_call(self, old: bytes, new: bytes) -> Callable[[], object]:
        raise NotImplementedError

    def delta_bytes(self, delta) -> bytes:
        return bytes(delta)

    def patch_call(self, old: bytes, delta: bytes) -> Callable[[], object]:
        raise NotImplementedError

    def result_bytes(self, result) -> bytes:
        return bytes(result)

    def close(self) -> None:
        pass


class Ours(DeltaPeer):
    name = "quorvane delta"
    ours = True
    note = "result is a PythonOutBuf (no copy)"

    def __init__(self, qc):
        self.diff, self.patch = qc.delta.diff, qc.delta.patch

    def diff_call(self, old, new):
        diff = self.diff
        return lambda: diff(old, new)

    def patch_call(self, old, delta):
        patch = self.patch
        return lambda: patch(old, delta)


class OursOnPath(Ours):
    """Our diff forced onto one implementation of the search's wave passes (the private
    `_diff_path` hook), to show the portable reference path beside the vector path that a
    plain call takes; the bytes are the same on every path."""
    ours = False

    def __init__(self, qc, path: str):
        super().__init__(qc)
        self.hook, self.path = qc._diff_path, path
        self.name = f"quorvane delta ({path} path)"
        self.note = f"same bytes; plain calls take the {qc._diff_path.get()} path"

    def diff_call(self, old, new):
        diff, hook, path = self.diff, self.hook, self.path

        def run():
            default = hook.get()
            hook.set(path)
            try:
                return diff(old, new)
            finally:
                hook.set(default)
        return run


def path_peers(qc) -> List[DeltaPeer]:
    """Our diff on the slower paths this processor has (portable, and AVX2 where a plain call
    takes AVX-512)."""
    hook = getattr(qc, "_diff_path", None)
    if hook is None:
        return []
    default = hook.get()
    return [OursOnPath(qc, path) for path in ("avx2", "portable") if path != default and path in hook.available()]


class Bsdiff(DeltaPeer):
    def __init__(self):
        import bsdiff4
        self.mod = bsdiff4
        self.name = f"bsdiff4 {dist_version('bsdiff4')}"

    def diff_call(self, old, new):
        diff = self.mod.diff
        return lambda: diff(old, new)

    def patch_call(self, old, delta):
        patch = self.mod.patch
        return lambda: patch(old, delta)


class ZstdLib(DeltaPeer):
    """Compression of the new value with the old value as a raw-content dictionary. For
    large values the window is widened to cover both and long-distance matching is on."""

    def __init__(self):
        import zstandard
        self.zstd = zstandard
        self.name = f"zstandard {dist_version('zstandard')} (old as dict)"
        self.note = ("level 3, dictionary set-up timed; the library loads a large dictionary "
                     "only in part, so its deltas of large values are poor (see zstd CLI)")

    def _params(self, old, new):
        z = self.zstd
        total = len(old) + len(new)
        if total <= 8 * MiB:
            return None, None
        window_log = min(31, max(10, (total - 1).bit_length()))
        return z.ZstdCompressionParameters.from_level(3, window_log=window_log, enable_ldm=True), 1 << window_log

    def diff_call(self, old, new):
        z = self.zstd
        params, _ = self._params(old, new)

        def run():
            d = z.ZstdCompressionDict(old, dict_type=z.DICT_TYPE_RAWCONTENT)
            if params is None:
                c = z.ZstdCompressor(level=3, dict_data=d)
            else:
                c = z.ZstdCompressor(dict_data=d, compression_params=params)
            return c.compress(new)
        return run

    def patch_call(self, old, delta):
        z = self.zstd
        window = max(1 << 27, 2 * len(old) + len(delta))
        window = 1 << min(31, (window - 1).bit_length())

        def run():
            d = z.ZstdCompressionDict(old, dict_type=z.DICT_TYPE_RAWCONTENT)
            return z.ZstdDecompressor(dict_data=d, max_window_size=window).decompress(delta)
        return run


class CliPeer(DeltaPeer):
    """A command-line delta tool over files in a temporary directory; every call pays for
    a process start, measured separately as `startup_ns`."""
    exe = ""

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="qbench-")
        self._seq = 0

    def _files(self, *contents: bytes) -> List[str]:
        paths = []
        for c in contents:
            self._seq += 1
            p = os.path.join(self.tmp, f"f{self._seq}")
            with open(p, "wb") as f:
                f.write(c)
            paths.append(p)
        return paths

    def _out(self) -> str:
        self._seq += 1
        return os.path.join(self.tmp, f"f{self._seq}")

    @staticmethod
    def _run(argv):
        r = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if r.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed ({r.returncode}): {r.stderr.decode(errors='replace')[:200]}")

    def measure_startup(self, argv, reps: int = 15) -> None:
        times = []
        for _ in range(reps):
            t0 = time.perf_counter_ns()
            subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times.append(time.perf_counter_ns() - t0)
        times.sort()
        self.startup_ns = times[len(times) // 2]

    def delta_bytes(self, delta):
        with open(delta, "rb") as f:
            return f.read()

    def result_bytes(self, result):
        with open(result, "rb") as f:
            return f.read()

    def close(self):
        shutil.rmtree(self.tmp, ignore_errors=True)


class Xdelta3(CliPeer):
    def __init__(self):
        super().__init__()
        self.exe = shutil.which("xdelta3") or ""
        if not self.exe:
            self.unavailable = "xdelta3 command not found"
            return
        v = subprocess.run([self.exe, "-V"], capture_output=True, text=True)
        words = (v.stdout + v.stderr).split()
        self.name = "xdelta3 " + (words[2].rstrip(",") if len(words) > 2 else "") + " (CLI)"
        self.measure_startup([self.exe, "-V"])
        self.note = "files in a temp dir; time includes process start"

    def _call(self, mode, old, other):
        """xdelta3 -e (encode: other is the new value) or -d (decode: other is the delta)."""
        o, x = self._files(old, other)
        out = self._out()
        argv = [self.exe, mode, "-f", "-q"]
        if len(old) > 64 * MiB:
            argv += ["-B", str(1 << (len(old) - 1).bit_length())]
        argv += ["-s", o, x, out]

        def run():
            self._run(argv)
            return out
        run.argv = argv
        return run

    def diff_call(self, old, new):
        return self._call("-e", old, new)

    def patch_call(self, old, delta):
        return self._call("-d", old, delta)


class ZstdCli(CliPeer):
    def __init__(self):
        super().__init__()
        self.exe = shutil.which("zstd") or ""
        if not self.exe:
            self.unavailable = "zstd command not found"
            return
        v = subprocess.run([self.exe, "-V"], capture_output=True, text=True).stdout
        ver = next((w for w in v.split() if w.startswith("v1") or w.startswith("v2")), "")
        self.name = f"zstd {ver} --patch-from (CLI)"
        self.measure_startup([self.exe, "-V"])
        self.note = "files in a temp dir; time includes process start"

    def _long(self, size: int) -> List[str]:
        # --patch-from turns on long mode for large inputs; the decoder must be allowed the window.
        return [f"--long={min(31, max(27, (2 * size - 1).bit_length()))}"] if size > 64 * MiB else []

    def diff_call(self, old, new):
        o, n = self._files(old, new)
        out = self._out()
        argv = [self.exe, "-q", "-f", *self._long(len(old)), f"--patch-from={o}", n, "-o", out]

        def run():
            self._run(argv)
            return out
        run.argv = argv
        return run

    def patch_call(self, old, delta):
        o, d = self._files(old, delta)
        out = self._out()
        argv = [self.exe, "-q", "-f", "-d", *self._long(len(old)), f"--patch-from={o}", d, "-o", out]

        def run():
            self._run(argv)
            return out
        run.argv = argv
        return run


class Difflib(DeltaPeer):
    """Line diff of text (SequenceMatcher.get_opcodes); the delta is the marshalled list of
    changed line ranges with their new lines, and patch applies it."""
    name = "difflib (lines)"
    text_only = True
    note = "text only; pure Python"

    def diff_call(self, old, new):
        def run():
            a = old.splitlines(keepends=True)
            b = new.splitlines(keepends=True)
            ops = [(i1, i2, b"".join(b[j1:j2]))
                   for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b).get_opcodes()
                   if tag != "equal"]
            return marshal.dumps(ops)
        return run

    def patch_call(self, old, delta):
        def run():
            a = old.splitlines(keepends=True)
            out, pos = [], 0
            for i1, i2, text in marshal.loads(delta):
                out.extend(a[pos:i1])
                out.append(text)
                pos = i2
            out.extend(a[pos:])
            return b"".join(out)
        return run


def delta_peers(qc, names: Optional[List[str]] = None) -> List[DeltaPeer]:
    """Ours first, then the peers; a peer that cannot be set up is returned with
    `unavailable` set so the tables can say why it is missing."""
    peers: List[DeltaPeer] = []
    if qc is not None:
        peers.append(Ours(qc))
        peers.extend(path_peers(qc))
        if names is None:
            peers.extend(blocks_peers(qc))
    for cls, label in ((Bsdiff, "bsdiff4"), (ZstdLib, "zstandard"), (Xdelta3, "xdelta3"),
                       (ZstdCli, "zstd-cli"), (Difflib, "difflib")):
        if names is not None and label not in names:
            continue
        try:
            peers.append(cls())
        except ImportError as exc:
            p = DeltaPeer()
            p.name, p.unavailable = label, f"not installed ({exc})"
            peers.append(p)
    return peers


def peer_by_label(label: str, qc) -> DeltaPeer:
    """One delta peer by its short label (used by the memory probe)."""
    table = {"quorvane": lambda: Ours(qc), "bsdiff4": Bsdiff, "zstandard": ZstdLib,
             "xdelta3": Xdelta3, "zstd-cli": ZstdCli}
    return table[label]()


# --------------------------------------------------------------------------- diff_blocks rows


class OursBlocks(Ours):
    """delta.diff_blocks at one setting (not the row that ratios are taken against)."""
    ours = False

    def __init__(self, qc, compact: bool):
        super().__init__(qc)
        self.compact = compact
        self.name = "quorvane diff_blocks" + (" compact" if compact else "")
        self.blocks = qc.delta.diff_blocks

    def diff_call(self, old, new):
        blocks, compact = self.blocks, self.compact
        return lambda: blocks(old, new, compact=compact)


class Xdelta3Plain(Xdelta3):
    """xdelta3 without its secondary compression stage (-S none): its own instruction
    format alone, the fair size reference for a delta format without an entropy stage."""

    def __init__(self):
        super().__init__()
        if not self.unavailable:
            self.name = self.name.replace(" (CLI)", " -S none (CLI)")

    def diff_call(self, old, new):
        run = super().diff_call(old, new)
        run.argv[2:2] = ["-S", "none"]
        return run


def blocks_peers(qc) -> List[DeltaPeer]:
    """The diff_blocks rows (default and compact) and xdelta3 -S none for the delta table."""
    if qc is None or not hasattr(qc.delta, "diff_blocks"):
        return []
    peers: List[DeltaPeer] = [OursBlocks(qc, False), OursBlocks(qc, True)]
    plain = Xdelta3Plain()
    if not plain.unavailable:
        peers.append(plain)
    return peers
