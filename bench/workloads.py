"""Deterministic workloads for the benchmark.

Every generator takes its own fixed seed, so two runs (and two machines) see the same
values. Nothing here imports the module under test except `encoded_records_pair`,
which is handed the encoder to use.
"""
from __future__ import annotations

import os
import random
import re
import shutil
import struct
import subprocess
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Optional, Tuple

KiB = 1024
MiB = 1024 * KiB

REPO = Path(__file__).resolve().parent.parent


# --------------------------------------------------------------------------- encode


def _email(rng: random.Random) -> str:
    user = "".join(rng.choices("abcdefghijklmnopqrstuvwxyz0123456789._", k=rng.randint(4, 14)))
    host = rng.choice(["example.com", "mail.example.org", "corp.example.net", "uni.example.edu"])
    return f"{user.strip('.') or 'x'}@{host}"


_WORDS = ("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron "
          "pi rho sigma tau upsilon phi chi psi omega red green blue cyan amber slate").split()


def _half_exact(rng: random.Random) -> float:
    """A float that binary16 holds exactly: a 11-bit significand times a small power of two."""
    return rng.randint(-2047, 2047) * 2.0 ** rng.randint(-10, 4)


def _single_exact(rng: random.Random) -> float:
    """A float that binary32 holds exactly but binary16 (almost always) does not."""
    return struct.unpack("<f", struct.pack("<f", rng.uniform(-1e6, 1e6)))[0]


def records(n: int = 10_000, seed: int = 1) -> list:
    rng = random.Random(seed)
    out = []
    for i in range(n):
        out.append(_record(rng, i))
    return out


def _record(rng: random.Random, i: int) -> dict:
    return {
        "id": i,
        "age": rng.randint(18, 99),
        "visits": rng.randint(0, 1 << 20),
        "name": rng.choice(_WORDS).title() + " " + rng.choice(_WORDS).title(),
        "city": rng.choice(["Oslo", "Lyon", "Porto", "Graz", "Turku", "Gent", "Brno"]),
        "email": _email(rng),
        "score": round(rng.uniform(0, 100), 2),
        "weight": rng.random(),
        "active": rng.random() < 0.5,
        "tags": rng.sample(_WORDS, rng.randint(0, 5)),
        "token": rng.randbytes(16),
        "pos": [_half_exact(rng), _half_exact(rng)],
    }


# Head widths of a CBOR integer: immediate (0..23), then 1, 2, 4 and 8 argument bytes;
# the same for negative integers (-1 - argument). The module takes -2**63 .. 2**64 - 1.
_INT_CLASSES = [
    (0, 23), (24, 0xFF), (0x100, 0xFFFF), (0x1_0000, 0xFFFF_FFFF), (1 << 32, (1 << 64) - 1),
    (-24, -1), (-0x100, -25), (-0x1_0000, -0x101), (-(1 << 32), -0x1_0001), (-(1 << 63), -(1 << 32) - 1),
]


def ints(n: int = 200_000, seed: int = 2) -> list:
    rng = random.Random(seed)
    return [rng.randint(*rng.choice(_INT_CLASSES)) for _ in range(n)]


def floats(n: int = 200_000, seed: int = 3) -> list:
    rng = random.Random(seed)
    kinds = (_half_exact, _single_exact, lambda r: r.uniform(-1e9, 1e9) * r.random())
    return [kinds[i % 3](rng) for i in range(n)]


_NON_ASCII = ("éèüßñøå" "αβγδλπσω" "жзийклм" "漢字仮名文字" "🙂🚀✓€")


def strings(n: int = 20_000, seed: int = 4) -> list:
    rng = random.Random(seed)
    ascii_chars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,-_"
    out = []
    for _ in range(n):
        length = rng.randint(0, 200)
        if rng.random() < 0.2:
            out.append("".join(rng.choice(ascii_chars) if rng.random() < 0.6 else rng.choice(_NON_ASCII)
                               for _ in range(length)))
        else:
            out.append("".join(rng.choices(ascii_chars, k=length)))
    return out


def tree(depth: int = 8, fanout: int = 4, seed: int = 5):
    """Dicts at even levels, lists at odd levels; fanout**depth leaves."""
    rng = random.Random(seed)

    def leaf():
        r = rng.random()
        if r < 0.4:
            return rng.randint(-1000, 100_000)
        if r < 0.7:
            return rng.choice(_WORDS)
        if r < 0.9:
            return _half_exact(rng)
        return None

    def node(level: int):
        if level == depth:
            return leaf()
        if level % 2 == 0:
            return {f"{rng.choice(_WORDS)}_{j}": node(level + 1) for j in range(fanout)}
        return [node(level + 1) for _ in range(fanout)]

    return node(0)


def byte_strings(n: int = 2_000, seed: int = 6) -> list:
    rng = random.Random(seed)
    return [rng.randbytes(rng.randint(0, 4 * KiB)) for _ in range(n)]


def encode_workloads(quick: bool) -> List[Tuple[str, Callable[[], object]]]:
    s = 10 if quick else 1
    return [
        (f"records ({10_000 // s:,} dicts)", lambda: records(10_000 // s)),
        (f"ints ({200_000 // s:,}, every head width and sign)", lambda: ints(200_000 // s)),
        (f"floats ({200_000 // s:,}, half/single/double)", lambda: floats(200_000 // s)),
        (f"strings ({20_000 // s:,}, 0-200 chars, 1/5 non-ASCII)", lambda: strings(20_000 // s)),
        ("tree (8 deep, fan-out 4)" if not quick else "tree (6 deep, fan-out 4)",
         lambda: tree(6 if quick else 8)),
        (f"byte strings ({2_000 // s:,}, up to 4 KiB)", lambda: byte_strings(2_000 // s)),
    ] + doc_workloads(quick)


# --------------------------------------------------------------------------- encode: documents
# Document-shaped values as a program meets them: feeds of small records with many short
# keys, coordinate lists, catalogues keyed by ids, indexes with long texts. Their names
# start with "doc_".

_DOC_NAMES = ("Ana Lima", "Björn Åkesson", "Chloé Dubois", "Dmitri Иванов", "Eitan Cohen", "Fatima Zahra",
              "Gül Yılmaz", "Hiroshi 山田", "Ines Muñoz", "Jan Novák", "Kim Lee", "Lena Müller")
_DOC_EVENT_TYPES = ("PushEvent", "IssuesEvent", "WatchEvent", "ForkEvent", "PullRequestEvent", "CreateEvent")


def _doc_words(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(rng.choices(_WORDS, k=rng.randint(lo, hi)))


def doc_events(n: int = 4_000, seed: int = 11) -> list:
    """An event feed: records with nested users and repositories, many short keys, about one
    name in three non-ASCII."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        login = "".join(rng.choices("abcdefghijklmnopqrstuvwxyz0123456789-", k=rng.randint(4, 12)))
        repo = f"{login}/{rng.choice(_WORDS)}-{rng.choice(_WORDS)}"
        commits = [{
            "sha": rng.randbytes(20).hex(),
            "author": {"name": rng.choice(_DOC_NAMES), "email": _email(rng)},
            "message": _doc_words(rng, 2, 10),
            "distinct": rng.random() < 0.9,
            "url": f"https://api.example.com/repos/{repo}/commits/{i}",
        } for _ in range(rng.randint(0, 3))]
        out.append({
            "id": str(20_000_000_000 + i),
            "type": rng.choice(_DOC_EVENT_TYPES),
            "actor": {"id": rng.randint(1, 90_000_000), "login": login, "display_login": login,
                      "gravatar_id": "", "url": f"https://api.example.com/users/{login}",
                      "avatar_url": f"https://avatars.example.com/u/{i}?"},
            "repo": {"id": rng.randint(1, 700_000_000), "name": repo, "url": f"https://api.example.com/repos/{repo}"},
            "payload": {"push_id": rng.randint(1, 1 << 40), "size": len(commits), "distinct_size": len(commits),
                        "ref": "refs/heads/" + rng.choice(("main", "dev", "feature-x")), "commits": commits},
            "public": True,
            "created_at": f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:"
                          f"{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}Z",
        })
    return out


def doc_geometry(pairs: int = 60_000, seed: int = 12) -> dict:
    """A feature collection: polygons as lists of [longitude, latitude] pairs of doubles."""
    rng = random.Random(seed)
    features = []
    left = pairs
    k = 0
    while left > 0:
        ring_size = min(left, rng.randint(200, 4_000))
        left -= ring_size
        lon, lat = rng.uniform(-140, -50), rng.uniform(40, 80)
        ring = []
        for _ in range(ring_size):
            lon += rng.uniform(-0.01, 0.01)
            lat += rng.uniform(-0.01, 0.01)
            ring.append([round(lon, 6), round(lat, 6)])
        features.append({"type": "Feature", "properties": {"name": f"region {k}", "id": k},
                         "geometry": {"type": "Polygon", "coordinates": [ring]}})
        k += 1
    return {"type": "FeatureCollection", "features": features}


def doc_catalogue(n: int = 2_500, seed: int = 13) -> dict:
    """A catalogue: events keyed by their id, performances with prices and seat areas, mostly
    integers in nested dicts."""
    rng = random.Random(seed)
    areas = {str(205_705_000 + a): rng.choice(("Parterre", "Balcon", "Arrière-scène", "Loge", "Orchestre"))
             for a in range(60)}
    events = {}
    performances = []
    for i in range(n):
        event_id = 138_586_000 + i
        events[str(event_id)] = {"description": None, "id": event_id, "logo": None,
                                 "name": _doc_words(rng, 1, 4).title(), "subTopicIds": rng.sample(range(337_000_000, 337_000_200), 4),
                                 "subjectCode": None, "subtitle": None, "topicIds": rng.sample(range(324_000_000, 324_000_050), 2)}
        performances.append({
            "eventId": event_id, "id": 339_887_000 + i, "logo": None, "name": None,
            "prices": [{"amount": rng.choice((27_000, 38_000, 59_000, 90_250)), "audienceSubCategoryId": 337_100_890,
                        "seatCategoryId": 338_937_000 + j} for j in range(rng.randint(1, 5))],
            "seatCategories": [{"areas": [{"areaId": 205_705_000 + rng.randrange(60), "blockIds": []}
                                          for _ in range(rng.randint(1, 6))],
                                "seatCategoryId": 338_937_000 + j} for j in range(rng.randint(1, 4))],
            "seatMapImage": None, "start": 1_372_700_000_000 + i * 3_600_000, "venueCode": "PLEYEL_PLEYEL",
        })
    return {"areaNames": areas, "events": events, "performances": performances}


def doc_packages(n: int = 1_500, seed: int = 14) -> list:
    """A package index: a few short fields and long string values (summaries, descriptions)."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        name = f"{rng.choice(_WORDS)}-{rng.choice(_WORDS)}-{i}"
        out.append({
            "name": name,
            "version": f"{rng.randint(0, 9)}.{rng.randint(0, 30)}.{rng.randint(0, 99)}",
            "summary": _doc_words(rng, 5, 20),
            "description": "\n\n".join(_doc_words(rng, 30, 120) for _ in range(rng.randint(1, 6))),
            "author": rng.choice(_DOC_NAMES),
            "home_page": f"https://{name}.example.org/",
            "license": rng.choice(("MIT", "BSD-3-Clause", "Apache-2.0", "GPL-3.0-or-later")),
            "keywords": rng.sample(_WORDS, rng.randint(0, 6)),
            "classifiers": [f"Programming Language :: Python :: 3.{v}" for v in range(8, 8 + rng.randint(1, 6))],
            "requires_dist": [f"{rng.choice(_WORDS)}>={rng.randint(0, 5)}.{rng.randint(0, 9)}"
                              for _ in range(rng.randint(0, 5))],
            "downloads": rng.randint(0, 10_000_000),
        })
    return out


def doc_workloads(quick: bool) -> List[Tuple[str, Callable[[], object]]]:
    s = 10 if quick else 1
    return [
        (f"doc_events ({4_000 // s:,} event records)", lambda: doc_events(4_000 // s)),
        (f"doc_geometry ({60_000 // s:,} coordinate pairs)", lambda: doc_geometry(60_000 // s)),
        (f"doc_catalogue ({2_500 // s:,} events, performances)", lambda: doc_catalogue(2_500 // s)),
        (f"doc_packages ({1_500 // s:,} packages)", lambda: doc_packages(1_500 // s)),
    ]


# --------------------------------------------------------------------------- delta


@dataclass
class DeltaCase:
    name: str
    pairs: List[Tuple[bytes, bytes]]          # one or more (old, new) pairs, timed as a sum
    text: bool = False                         # difflib takes part
    note: str = ""
    skipped: str = ""                          # non-empty: the case could not be built here
    big: bool = False                          # few repetitions

    @property
    def old_size(self) -> int:
        return sum(len(o) for o, _ in self.pairs)

    @property
    def new_size(self) -> int:
        return sum(len(n) for _, n in self.pairs)


def random_bytes(size: int, seed: int) -> bytes:
    return random.Random(seed).randbytes(size)


def sparse_edits(old: bytes, edits: int, seed: int) -> bytes:
    """`edits` small edits (replace, insert or delete of 1 to 16 bytes) at scattered places."""
    rng = random.Random(seed)
    buf = bytearray(old)
    # Edit from the back so earlier positions stay valid.
    positions = sorted((rng.randrange(max(1, len(buf) - 16)) for _ in range(edits)), reverse=True)
    for pos in positions:
        n = rng.randint(1, 16)
        kind = rng.randrange(3)
        if kind == 0:
            buf[pos:pos + n] = rng.randbytes(n)
        elif kind == 1:
            buf[pos:pos] = rng.randbytes(n)
        else:
            del buf[pos:pos + n]
    return bytes(buf)


def sparse_edit_count(size: int) -> int:
    """Edits for the growth series: one per KiB for small values, at most 20."""
    return max(1, min(20, size // KiB))


def edited_records(recs: list, fraction: float = 0.01, seed: int = 7) -> list:
    """1% of the records changed, a new one inserted, or deleted."""
    rng = random.Random(seed)
    out = [dict(r) for r in recs]
    n_ops = max(1, int(len(recs) * fraction))
    for j in range(n_ops):
        i = rng.randrange(len(out))
        kind = j % 3
        if kind == 0:
            r = dict(out[i])
            r["score"] = round(rng.uniform(0, 100), 2)
            r["tags"] = rng.sample(_WORDS, rng.randint(0, 5))
            r["active"] = not r["active"]
            out[i] = r
        elif kind == 1:
            out.insert(i, _record(rng, 1_000_000 + j))
        else:
            del out[i]
    return out


def encoded_records_pair(dumps: Callable[[object], bytes], n: int) -> Tuple[bytes, bytes]:
    recs = records(n)
    return dumps(recs), dumps(edited_records(recs))


def _git(*args: str) -> Optional[str]:
    try:
        r = subprocess.run(["git", "-C", str(REPO), *args], capture_output=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return r.stdout.decode("utf-8", "replace")


_TEXT_SUFFIXES = (".cpp", ".h", ".hpp", ".py", ".md", ".sh", ".txt", ".toml", ".cmake")


def git_revision_pairs(max_pairs: int = 12) -> Tuple[List[Tuple[bytes, bytes]], str]:
    """Successive versions of this repository's own text files, largest files first."""
    files = _git("ls-files")
    if files is None:
        return [], "not a git checkout"
    candidates = []
    for path in files.split():
        if not path.endswith(_TEXT_SUFFIXES) or path.startswith("bench/results/"):
            continue
        revs = (_git("log", "--format=%H", "--", path) or "").split()
        if len(revs) >= 2:
            candidates.append(((REPO / path).stat().st_size if (REPO / path).exists() else 0, path, revs))
    candidates.sort(key=lambda c: (-c[0], c[1]))
    pairs: List[Tuple[bytes, bytes]] = []
    names = []
    for _, path, revs in candidates:
        # revs is newest first; take the newest successive pair whose texts differ.
        for newer, older in zip(revs, revs[1:]):
            old = _git_blob(older, path)
            new = _git_blob(newer, path)
            if old is not None and new is not None and old != new:
                pairs.append((old, new))
                names.append(path)
                break
        if len(pairs) >= max_pairs:
            break
    if not pairs:
        return [], "the history has no file with two differing revisions yet"
    return pairs, f"{len(pairs)} files: " + ", ".join(names)


def _git_blob(rev: str, path: str) -> Optional[bytes]:
    try:
        r = subprocess.run(["git", "-C", str(REPO), "show", f"{rev}:{path}"], capture_output=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return r.stdout


_STDLIB_MODULES = ("typing.py", "argparse.py", "enum.py", "inspect.py", "subprocess.py", "tarfile.py",
                   "dataclasses.py", "shutil.py", "pathlib.py", "difflib.py", "functools.py")


def _stdlib_dirs() -> List[Tuple[Tuple[int, ...], str, Path]]:
    """(version, label, directory) of every Python standard library found on the machine."""
    found = {}
    roots = [Path("/usr/lib"), Path("/usr/local/lib")]
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    if pyenv.is_dir():
        roots += sorted(p / "lib" for p in pyenv.iterdir())
    roots.append(Path(sys.base_prefix) / "lib")
    for root in roots:
        if not root.is_dir():
            continue
        for d in sorted(root.glob("python3.*")):
            if not (d / "os.py").is_file():
                continue
            real = d.resolve()
            if real in found:
                continue
            version = _stdlib_version(d)
            if version:
                found[real] = (version, f"{'.'.join(map(str, version))} ({d})", d)
    return sorted(found.values())


def _stdlib_version(d: Path) -> Optional[Tuple[int, ...]]:
    """The version of the interpreter that owns the standard library in `d`, asked of that
    interpreter itself (PREFIX/bin/pythonX.Y for PREFIX/lib/pythonX.Y)."""
    m = re.search(r"python(\d+)\.(\d+)$", d.name)
    if not m:
        return None
    interpreter = d.parent.parent / "bin" / d.name
    if interpreter.is_file():
        try:
            r = subprocess.run([str(interpreter), "-c",
                                "import sys, sysconfig; print(*sys.version_info[:3]); "
                                "print(sysconfig.get_paths()['stdlib'])"],
                               capture_output=True, text=True, timeout=30)
            lines = r.stdout.split("\n")
            if r.returncode == 0 and Path(lines[1]).resolve() == d.resolve():
                return tuple(int(x) for x in lines[0].split())
        except (OSError, subprocess.SubprocessError, IndexError, ValueError):
            pass
    return None  # no interpreter to ask: the patch level would be a guess


def stdlib_revision_pairs() -> Tuple[List[Tuple[bytes, bytes]], str]:
    """Modules of two installed standard libraries: two patch releases of one minor version
    when there are such, else the two closest minor versions."""
    libs = _stdlib_dirs()
    best = None
    for i, (va, la, da) in enumerate(libs):
        for vb, lb, db in libs[i + 1:]:
            if va == vb:
                continue
            same_minor = va[:2] == vb[:2]
            distance = (0 if same_minor else 1, abs((vb[1] - va[1])), -(va[1]))
            if best is None or distance < best[0]:
                best = (distance, (va, la, da), (vb, lb, db))
    if best is None:
        return [], "only one Python standard library on this machine"
    (_, la, da), (_, lb, db) = best[1], best[2]
    pairs, names = [], []
    for m in _STDLIB_MODULES:
        a, b = da / m, db / m
        if a.is_file() and b.is_file():
            old, new = a.read_bytes(), b.read_bytes()
            if old != new:
                pairs.append((old, new))
                names.append(m)
    if not pairs:
        return [], f"the standard libraries {la} and {lb} have identical modules"
    return pairs, f"{la} -> {lb}: " + ", ".join(names)


# Two successive patch releases of a large binary wheel, tried in order; the first pair that
# the running interpreter has wheels for is used. The largest extension module common to
# both wheels is the pair.
_WHEEL_PAIRS = (("numpy", "1.26.3", "1.26.4"), ("numpy", "2.1.2", "2.1.3"), ("numpy", "2.3.4", "2.3.5"))


def binary_pair(cache: Path) -> Tuple[List[Tuple[bytes, bytes]], str]:
    cache.mkdir(parents=True, exist_ok=True)
    errors = []
    for project, va, vb in _WHEEL_PAIRS:
        wheels = []
        for v in (va, vb):
            w = _find_wheel(cache, project, v) or _download_wheel(cache, project, v, errors)
            if w is None:
                break
            wheels.append(w)
        if len(wheels) < 2:
            continue
        za, zb = zipfile.ZipFile(wheels[0]), zipfile.ZipFile(wheels[1])
        in_b = set(zb.namelist())
        common = sorted(((i.file_size, i.filename) for i in za.infolist()
                         if ".so" in i.filename and i.filename in in_b), reverse=True)
        for _, name in common:          # the largest shared library that changed
            old, new = za.read(name), zb.read(name)
            if old != new:
                return [(old, new)], f"{name} from {project} {va} -> {vb} wheels"
        errors.append(f"{project} {va}/{vb}: no changed extension module")
    return [], "could not fetch a wheel pair (" + "; ".join(errors[-2:]) + ")"


def _find_wheel(cache: Path, project: str, version: str) -> Optional[Path]:
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    hits = sorted(cache.glob(f"{project}-{version}-{tag}-*.whl"))
    return hits[0] if hits else None


def _download_wheel(cache: Path, project: str, version: str, errors: list) -> Optional[Path]:
    r = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                        "--no-deps", "--only-binary=:all:", "-d", str(cache), f"{project}=={version}"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        lines = [l for l in r.stderr.splitlines() if l.startswith("ERROR")]
        errors.append(f"{project}=={version}: " + (lines[0] if lines else f"pip exit {r.returncode}"))
        return None
    return _find_wheel(cache, project, version)


def delta_workloads(quick: bool, dumps: Callable[[object], bytes], cache: Path) -> List[DeltaCase]:
    cases: List[DeltaCase] = []
    big = 4 * MiB if quick else 64 * MiB
    for size, seed in ((1 * MiB, 11), (big, 12)):
        old = random_bytes(size, seed)
        cases.append(DeltaCase(f"random {size // MiB} MiB, 20 small edits", [(old, sparse_edits(old, 20, seed + 100))],
                               big=size >= 16 * MiB))
    n_rec = 1_000 if quick else 10_000
    cases.append(DeltaCase(f"encoded records ({n_rec:,}), 1% changed/inserted/deleted",
                           [encoded_records_pair(dumps, n_rec)]))
    pairs, note = git_revision_pairs(4 if quick else 12)
    cases.append(DeltaCase("text: this repository's file revisions", pairs, text=True, note=note,
                           skipped="" if pairs else note))
    pairs, note = stdlib_revision_pairs()
    if quick:
        pairs = pairs[:3]
    cases.append(DeltaCase("text: standard-library modules, two Python releases", pairs, text=True,
                           note=note, skipped="" if pairs else note))
    pairs, note = binary_pair(cache)
    cases.append(DeltaCase("binary: extension module, two releases", pairs, note=note,
                           skipped="" if pairs else note))
    ident = 1 * MiB if quick else 8 * MiB
    old = random_bytes(ident, 13)
    cases.append(DeltaCase(f"identical {ident // MiB} MiB", [(old, bytes(bytearray(old)))]))
    unrelated = ((16 * KiB, 14), (256 * KiB, 16)) if quick else ((64 * KiB, 14), (1 * MiB, 16))
    for size, seed in unrelated:
        cases.append(DeltaCase(f"unrelated random {size // KiB} KiB" if size < MiB else
                               f"unrelated random {size // MiB} MiB",
                               [(random_bytes(size, seed), random_bytes(size, seed + 1))]))
    cases.extend(unrelated_large_cases(quick))


    cases += blocks_workloads(cache)
    return cases


def unrelated_large_cases(quick: bool) -> List[DeltaCase]:
    """Unrelated values large enough for the search's many effort-bounded sub-searches."""
    if quick:
        return []
    return [DeltaCase("unrelated random 4 MiB", [(random_bytes(4 * MiB, 18), random_bytes(4 * MiB, 19))], big=True)]


def growth_sizes(quick: bool) -> List[int]:
    top = 1 * MiB if quick else 64 * MiB
    sizes, s = [], 1 * KiB
    while s <= top:
        sizes.append(s)
        s *= 4
    return sizes


def growth_pair(kind: str, size: int) -> Tuple[bytes, bytes]:
    seed = 1000 + size.bit_length()
    old = random_bytes(size, seed)
    if kind == "sparse":
        return old, sparse_edits(old, sparse_edit_count(size), seed + 1)
    return old, random_bytes(size, seed + 2)


# --------------------------------------------------------------------------- decode documents
# Document-shaped values for the loads tables (their own block: `events`, `geometry`,
# `catalogue`, gathered by `decode_workloads`).


def events(n: int = 5_000, seed: int = 21) -> list:
    """Event records: many short keys, a nested user with its own nested address."""
    rng = random.Random(seed)
    kinds = ["click", "view", "purchase", "login", "logout", "share"]
    out = []
    for i in range(n):
        out.append({
            "id": i,
            "ts": 1_700_000_000 + i * 7 + rng.randint(0, 6),
            "type": rng.choice(kinds),
            "ok": rng.random() < 0.9,
            "ms": round(rng.uniform(0, 500), 1),
            "user": {
                "id": rng.randint(1, 50_000),
                "name": rng.choice(_WORDS).title(),
                "email": _email(rng),
                "roles": rng.sample(["admin", "dev", "ops", "qa", "guest"], rng.randint(1, 3)),
                "addr": {"city": rng.choice(["Oslo", "Lyon", "Porto", "Graz"]), "zip": f"{rng.randint(1000, 9999)}"},
            },
            "tags": rng.sample(_WORDS, rng.randint(0, 4)),
            "ref": None if rng.random() < 0.5 else rng.randint(0, 1 << 31),
        })
    return out


def geometry(n: int = 400, points: int = 100, seed: int = 22) -> dict:
    """Polygons as lists of [x, y] coordinate pairs (doubles), each with a few properties."""
    rng = random.Random(seed)
    features = []
    for i in range(n):
        x0, y0 = rng.uniform(-180, 180), rng.uniform(-80, 80)
        ring = [[round(x0 + rng.uniform(-1, 1), 6), round(y0 + rng.uniform(-1, 1), 6)] for _ in range(points)]
        features.append({"type": "Feature", "id": i, "properties": {"name": rng.choice(_WORDS), "level": i % 5},
                         "geometry": {"type": "Polygon", "coordinates": [ring]}})
    return {"type": "FeatureCollection", "features": features}


def catalogue(n: int = 5_000, seed: int = 23) -> dict:
    """A product catalogue keyed by integer ids; prices in cents, stock per warehouse."""
    rng = random.Random(seed)
    items = {}
    for i in range(n):
        pid = 100_000 + i * 13
        items[pid] = {
            "sku": f"SKU-{pid:08d}",
            "title": " ".join(rng.choices(_WORDS, k=rng.randint(2, 5))),
            "price": rng.randint(99, 250_000),
            "stock": {w: rng.randint(0, 500) for w in rng.sample(["n", "s", "e", "w"], rng.randint(1, 4))},
            "related": [100_000 + rng.randrange(n) * 13 for _ in range(rng.randint(0, 6))],
            "discontinued": rng.random() < 0.05,
        }
    return {"version": 3, "currency": "EUR", "items": items}


def decode_workloads(quick: bool) -> List[Tuple[str, Callable[[], object]]]:
    """The encode workloads, then the document-shaped ones."""
    s = 10 if quick else 1
    return encode_workloads(quick) + [
        (f"events ({5_000 // s:,}, nested users, short keys)", lambda: events(5_000 // s)),
        (f"geometry ({400 // s:,} polygons of 100 coordinate pairs)", lambda: geometry(400 // s)),
        (f"catalogue ({5_000 // s:,} items keyed by integer id)", lambda: catalogue(5_000 // s)),
    ]


# --------------------------------------------------------------------------- diff_blocks pairs
# Real pairs whose parts move: two builds of a shared library from Debian's archive and the
# documentation-topics module of two Python releases.

_DEBIAN_LIBRARIES = (("libssl3", "libcrypto.so"), ("libcurl4", "libcurl.so"))


def _apt_versions(package: str) -> List[str]:
    """Versions of a package that the configured archives offer, newest first."""
    try:
        r = subprocess.run(["apt-cache", "madison", package], capture_output=True, text=True)
    except OSError:
        return []
    versions = []
    for line in r.stdout.splitlines():
        parts = [p.strip() for p in line.split("|")]
        if len(parts) >= 3 and parts[1] not in versions:
            versions.append(parts[1])
    return versions


def _debian_library(cache: Path, package: str, version: str, stem: str) -> Optional[bytes]:
    """The largest file named stem* in the package of that version, fetched once into the cache."""
    safe = re.sub(r"[^A-Za-z0-9.+-]", "_", f"{package}_{version}")
    unpacked = cache / "debs" / safe
    if not unpacked.is_dir():
        download = cache / "debs" / (safe + ".download")
        shutil.rmtree(download, ignore_errors=True)
        download.mkdir(parents=True)
        r = subprocess.run(["apt-get", "download", "-q", f"{package}={version}"], cwd=download,
                           capture_output=True, text=True)
        debs = sorted(download.glob("*.deb"))
        if r.returncode != 0 or len(debs) != 1:
            shutil.rmtree(download, ignore_errors=True)
            return None
        subprocess.run(["dpkg-deb", "-x", str(debs[0]), str(download / "root")], check=True)
        (download / "root").rename(unpacked)
        shutil.rmtree(download, ignore_errors=True)
    hits = sorted((p for p in unpacked.rglob(f"{stem}*") if p.is_file() and not p.is_symlink()),
                  key=lambda p: -p.stat().st_size)
    return hits[0].read_bytes() if hits else None


def debian_library_pair(cache: Path, package: str, stem: str) -> Tuple[List[Tuple[bytes, bytes]], str]:
    """The oldest and the newest build of a library that the archives offer."""
    versions = _apt_versions(package)
    if len(versions) < 2:
        return [], f"the apt lists offer fewer than two versions of {package} (run apt-get update)"
    old_v, new_v = versions[-1], versions[0]
    old = _debian_library(cache, package, old_v, stem)
    new = _debian_library(cache, package, new_v, stem)
    if old is None or new is None:
        return [], f"apt-get download {package} {old_v} / {new_v} failed"
    return [(old, new)], f"{stem}* from Debian {package} {old_v} -> {new_v}"


def stdlib_topics_pair() -> Tuple[List[Tuple[bytes, bytes]], str]:
    """pydoc_data/topics.py of two Python releases next to each other (3.11 and 3.12 when
    installed): the documentation of a whole language, whose sections are rewritten and moved."""
    found = [(v, label, d / "pydoc_data" / "topics.py") for v, label, d in _stdlib_dirs()
             if (d / "pydoc_data" / "topics.py").is_file()]
    newest = {}
    for v, label, path in found:  # the newest patch release of each minor version
        newest[v[:2]] = (v, label, path)
    minors = sorted(newest)
    steps = [(a, b) for a, b in zip(minors, minors[1:]) if b[0] == a[0] and b[1] == a[1] + 1]
    if not steps:
        return [], "no two Python standard libraries of adjacent minor versions with pydoc_data/topics.py"
    a, b = next((st for st in steps if st[0] == (3, 11)), steps[-1])
    (_, la, pa), (_, lb, pb) = newest[a], newest[b]
    return [(pa.read_bytes(), pb.read_bytes())], f"pydoc_data/topics.py {la} -> {lb}"


def blocks_workloads(cache: Path) -> List[DeltaCase]:
    """Cases where blocks move or repeat: the real pairs above."""
    cases = []
    pairs, note = stdlib_topics_pair()
    cases.append(DeltaCase("text: pydoc topics, two Python releases", pairs, text=True, note=note,
                           skipped="" if pairs else note))
    for package, stem in _DEBIAN_LIBRARIES:
        pairs, note = debian_library_pair(cache, package, stem)
        cases.append(DeltaCase(f"binary: Debian {package} {stem}, two builds", pairs, note=note,
                               skipped="" if pairs else note))
    return cases


# --------------------------------------------------------------------------- compressed deltas
# Real pairs of every kind for delta.compress beside the peers: shared libraries, an extension
# module, an uncompressed tarball of two source releases, a JSON document of two releases,
# texts and records. Each entry: (name, kind, old, new, note); unavailable ones are skipped.


def _wheel_members(cache: Path, project: str, version: str) -> Optional[zipfile.ZipFile]:
    errors: list = []
    w = _find_wheel_any(cache, project, version) or _download_any_wheel(cache, project, version, errors)
    return zipfile.ZipFile(w) if w else None


def _find_wheel_any(cache: Path, project: str, version: str) -> Optional[Path]:
    hits = sorted(cache.glob(f"{project}-{version}-*.whl"))
    return hits[0] if hits else None


def _download_any_wheel(cache: Path, project: str, version: str, errors: list) -> Optional[Path]:
    r = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                        "--no-deps", "--only-binary=:all:", "-d", str(cache), f"{project}=={version}"],
                       capture_output=True, text=True)
    if r.returncode != 0:
        errors.append(f"{project}=={version}: pip exit {r.returncode}")
        return None
    return _find_wheel_any(cache, project, version)


def _tar_of(zf: zipfile.ZipFile) -> bytes:
    """The wheel's files as an uncompressed tar (sorted, fixed times and owners)."""
    import io
    import tarfile
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for name in sorted(zf.namelist()):
            data = zf.read(name)
            info = tarfile.TarInfo(name)
            info.size, info.mtime, info.mode = len(data), 0, 0o644
            tar.addfile(info, io.BytesIO(data))
    return out.getvalue()


def compress_pairs(cache: Path, dumps: Callable[[object], bytes]) -> List[Tuple[str, str, bytes, bytes, str]]:
    cache.mkdir(parents=True, exist_ok=True)
    out = []
    for package, stem in _DEBIAN_LIBRARIES:
        pairs, note = debian_library_pair(cache, package, stem)
        if pairs:
            out.append((f"{stem} (Debian {package})", "binary", pairs[0][0], pairs[0][1], note))
    pairs, note = binary_pair(cache)
    if pairs:
        out.append(("numpy extension module", "binary", pairs[0][0], pairs[0][1], note))
    a, b = _wheel_members(cache, "pip", "24.2"), _wheel_members(cache, "pip", "24.3.1")
    if a and b:
        out.append(("source tarball (pip 24.2 -> 24.3.1)", "archive", _tar_of(a), _tar_of(b),
                    "the files of two pip releases as uncompressed tar archives"))
    a, b = _wheel_members(cache, "emoji", "2.13.2"), _wheel_members(cache, "emoji", "2.14.0")
    if a and b:
        name = "emoji/unicode_codes/emoji.json"
        out.append(("JSON document (emoji 2.13.2 -> 2.14.0)", "text", a.read(name), b.read(name), name))
    pairs, note = stdlib_topics_pair()
    if pairs:
        out.append(("pydoc topics", "text", pairs[0][0], pairs[0][1], note))
    pairs, note = stdlib_revision_pairs()
    if pairs:
        big = sorted(pairs, key=lambda p: -len(p[1]))[:1]
        out.append(("stdlib module (largest changed)", "text", big[0][0], big[0][1], note))
    old, new = encoded_records_pair(dumps, 10_000)
    out.append(("CBOR records, 1% changed", "records", old, new, "10,000 records"))
    out.extend(document_pairs(cache))
    return out


def _gunzipped(zf: zipfile.ZipFile, name: str) -> bytes:
    import gzip
    data = zf.read(name)
    return gzip.decompress(data) if name.endswith(".gz") else data


def _member(zf: zipfile.ZipFile, suffix: str) -> Optional[str]:
    hits = sorted(n for n in zf.namelist() if n.endswith(suffix))
    return hits[-1] if hits else None


def sqlite_pair(rows: int = 40_000, seed: int = 5) -> Tuple[bytes, bytes]:
    """A SQLite database of `rows` rows, before and after one transaction (200 updates, 300
    inserts); made with the interpreter's sqlite3, the same bytes for the same SQLite."""
    import sqlite3
    import tempfile
    rng = random.Random(seed)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "db.sqlite")
        c = sqlite3.connect(path)
        c.execute("create table t(id integer primary key, name text, v real, note text)")
        c.executemany("insert into t values(?,?,?,?)",
                      [(i, f"name{i}", rng.random(), "x" * rng.randrange(10, 80)) for i in range(rows)])
        c.commit()
        c.close()
        old = Path(path).read_bytes()
        c = sqlite3.connect(path)
        with c:
            for _ in range(200):
                c.execute("update t set v=?, note=? where id=?", (rng.random(), "y" * rng.randrange(5, 60),
                                                                  rng.randrange(rows)))
            c.executemany("insert into t values(?,?,?,?)",
                          [(rows + i, f"new{i}", rng.random(), "z" * 20) for i in range(300)])
        c.close()
        new = Path(path).read_bytes()
    return old, new


def document_pairs(cache: Path) -> List[Tuple[str, str, bytes, bytes, str]]:
    """Large documents with a few scattered edits (two releases of botocore's endpoint list
    and EC2 service description, of certifi's certificate bundle) and a SQLite database before
    and after a transaction. Wheels are downloaded once into `cache`."""
    out = []
    a, b = _wheel_members(cache, "botocore", "1.34.0"), _wheel_members(cache, "botocore", "1.34.10")
    if a and b:
        name = "botocore/data/endpoints.json"
        out.append(("JSON endpoints (botocore 1.34.0 -> 1.34.10)", "text", a.read(name), b.read(name), name))
        ma, mb = _member(a, "data/ec2/2016-11-15/service-2.json.gz"), _member(b, "data/ec2/2016-11-15/service-2.json.gz")
        if ma and mb:
            out.append(("JSON EC2 service (botocore 1.34.0 -> 1.34.10)", "text", _gunzipped(a, ma),
                        _gunzipped(b, mb), "botocore/data/ec2/2016-11-15/service-2.json, unzipped"))
    a, b = _wheel_members(cache, "certifi", "2024.2.2"), _wheel_members(cache, "certifi", "2024.8.30")
    if a and b:
        name = "certifi/cacert.pem"
        out.append(("certificate bundle (certifi 2024.2.2 -> 2024.8.30)", "text", a.read(name), b.read(name), name))
    old, new = sqlite_pair()
    out.append(("SQLite database, one transaction", "binary", old, new, "40,000 rows; 200 updates, 300 inserts"))
    return out


def large_pair(size: int, kind: str, seed: int = 31) -> Tuple[bytes, bytes]:
    """A large value shaped like a database file or a state snapshot, and an edited copy.

    The old value is 4 KiB pages, each half random bytes and half text records (so that
    neither the matcher nor the entropy stage has it easy). kind "sparse": one edit of 50
    random bytes per 128 KiB (2,000 on 256 MiB); kind "moved": a quarter of its 1 MiB blocks
    swapped in pairs, then one edit per 512 KiB."""
    rng = random.Random(seed)
    page, half = 4 * KiB, 2 * KiB
    texts = []
    for k in range(1024):
        lines = "".join(f"row {rng.randrange(10**6):06d} | name={_doc_words(rng, 2, 4)} | value={rng.random():.6f}\n"
                        for _ in range(40))
        texts.append(lines.encode()[:half].ljust(half, b"\n"))
    pages = size // page
    noise = b"".join(rng.randbytes(min(64 * MiB, pages * half - at)) for at in range(0, pages * half, 64 * MiB))
    old = b"".join(noise[k * half:(k + 1) * half] + texts[rng.randrange(len(texts))] for k in range(pages))
    del noise
    new = bytearray(old)
    if kind == "moved":
        blocks = [bytes(new[i:i + MiB]) for i in range(0, len(new), MiB)]
        for _ in range(len(blocks) // 8):
            a, b = rng.randrange(len(blocks)), rng.randrange(len(blocks))
            blocks[a], blocks[b] = blocks[b], blocks[a]
        new = bytearray(b"".join(blocks))
        del blocks
        edits = size // (512 * KiB)
    elif kind == "sparse":
        edits = size // (128 * KiB)
    else:
        raise ValueError(f"large_pair: kind must be 'sparse' or 'moved', not {kind!r}")
    for _ in range(edits):
        at = rng.randrange(len(new) - 50)
        new[at:at + 50] = rng.randbytes(50)
    return old, bytes(new)
