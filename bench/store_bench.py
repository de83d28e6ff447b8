"""The version store (quorvane.store) on histories of real files: its size beside git,
Mercurial, fossil and xz, and its get and put times beside a plain zstd blob.

    .venv/bin/python bench/store_bench.py [--only NAME] [--no-postgres]

Histories, fetched from PyPI with pip and cached under build/bench-cache/store (or
$QUORVANE_BENCH_CACHE): certifi's cacert.pem over its last 45 releases, botocore's
data/endpoints.json over 20 releases, ujson's extension module from 10 manylinux wheels, and
a SQLite database file after each of 50 transactions (generated here). The benchmark installs
what it needs: Mercurial, fossil, git and xz with apt-get (scripts/packages.sh), zstandard
and psycopg with pip; PostgreSQL figures come from scripts/postgres.sh's server.

Sizes: the store's SQLite file after VACUUM, and its three PostgreSQL tables after VACUUM FULL
(pg_total_relation_size); git's pack after `git gc --aggressive`; Mercurial's .hg/store;
fossil's repository after `fossil rebuild --compress` (and its blob table's content alone);
`xz -9e` of all versions concatenated.

Times, each the fastest of several calls (the machine is shared): get of the newest and of
every version against reading that version kept whole as one zstd -3 blob in the same
database (SELECT and decompress); put against compress of that version from its predecessor
plus an INSERT of the result and the commit, on the same database with the same settings.
"""
import argparse
import hashlib
import math
import os
import random
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CACHE = Path(os.environ.get("QUORVANE_BENCH_CACHE", ROOT / "build" / "bench-cache" / "store"))
PIP = [sys.executable, "-m", "pip", "--disable-pip-version-check"]


# --- what the benchmark needs ---------------------------------------------------------------

def install_tools():
    wanted = {"hg": "mercurial", "fossil": "fossil", "git": "git", "xz": "xz-utils"}
    missing = [package for tool, package in wanted.items() if shutil.which(tool) is None]
    if missing:
        subprocess.run(["bash", "-c", '. scripts/packages.sh && install_debs "$@"', "-", *missing], cwd=ROOT, check=True)
    for module, package in (("zstandard", "zstandard"), ("psycopg", "psycopg[binary]>=3.1")):
        try:
            __import__(module)
        except ImportError:
            subprocess.run(PIP + ["install", "-q", package], check=True)


# --- the histories ----------------------------------------------------------------------------

def releases(name):
    """The package's release versions on PyPI, newest first (cached)."""
    path = CACHE / f"{name}.releases"
    if not path.exists():
        out = subprocess.run(PIP + ["index", "versions", name], capture_output=True, text=True, check=True).stdout
        line = next(line for line in out.splitlines() if line.startswith("Available versions:"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(line.split(":", 1)[1].replace(" ", "").replace(",", "\n").strip() + "\n")
    return path.read_text().split()


def from_wheel(name, version, member, *pip_options):
    """One member of the package's wheel for that release (cached); None if pip finds none."""
    path = CACHE / name / version / member.replace("*", "_")
    if not path.exists():
        with tempfile.TemporaryDirectory() as folder:
            done = subprocess.run(PIP + ["download", "-q", "--no-deps", "--only-binary=:all:", "-d", folder,
                                         f"{name}=={version}", *pip_options], capture_output=True, text=True)
            wheels = list(Path(folder).glob("*.whl"))
            if done.returncode != 0 or not wheels:
                return None
            with zipfile.ZipFile(wheels[0]) as wheel:
                names = [n for n in wheel.namelist() if Path(n).match(member)]
                if not names:
                    return None
                data = wheel.read(names[0])
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return path.read_bytes()


def distinct(values):
    """The values without those equal to the one before (a release that did not change the file)."""
    return [v for i, v in enumerate(values) if v and (i == 0 or v != values[i - 1])]


def history_certifi():
    """The newest 42 releases that changed cacert.pem."""
    values = []
    for version in [v for v in releases("certifi") if "post" not in v]:
        values.insert(0, from_wheel("certifi", version, "certifi/cacert.pem"))
        if len(distinct(values)) >= 42:
            break
    return distinct(values)


def history_botocore():
    versions = [f"1.35.{i}" for i in range(0, 96, 5)]
    return distinct([from_wheel("botocore", version, "botocore/data/endpoints.json") for version in versions])


def history_ujson():
    out = []
    for version in [v for v in releases("ujson") if v.startswith("5.")][::-1]:
        data = from_wheel("ujson", version, "ujson*.so", "--python-version", "3.10", "--implementation", "cp",
                          "--platform", "manylinux2014_x86_64")
        if data:
            out.append(data)
    return distinct(out)[-10:]


def history_sqlite():
    """A SQLite database file after each of 50 transactions of inserts, updates and deletes."""
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "app.db")
        conn = sqlite3.connect(path, isolation_level=None)
        conn.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, customer TEXT, item TEXT, amount REAL, note TEXT)")
        out = []
        next_id = 1
        for _ in range(50):
            conn.execute("BEGIN")
            for _ in range(rng.randrange(100, 400)):
                next_id += 1
                conn.execute("INSERT INTO orders VALUES (?, ?, ?, ?, ?)",
                             (next_id, f"customer {rng.randrange(5000)}", f"item {rng.randrange(800)}",
                              rng.randrange(100, 100000) / 100, "note " * rng.randrange(0, 20)))
            for _ in range(rng.randrange(20, 100)):
                conn.execute("UPDATE orders SET amount = amount * 1.1 WHERE id = ?", (rng.randrange(1, next_id),))
            for _ in range(rng.randrange(0, 20)):
                conn.execute("DELETE FROM orders WHERE id = ?", (rng.randrange(1, next_id),))
            conn.execute("COMMIT")
            with open(path, "rb") as file:
                out.append(file.read())
        conn.close()
    return out


HISTORIES = {
    "certifi cacert.pem": history_certifi,
    "botocore endpoints.json": history_botocore,
    "ujson extension module": history_ujson,
    "SQLite database": history_sqlite,
}


# --- sizes ------------------------------------------------------------------------------------

def folder_size(path):
    return sum(p.stat().st_size for p in Path(path).rglob("*") if p.is_file())


def run(*args, cwd=None, **env):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                   env={**os.environ, **env})


def size_git(versions, folder):
    repo = Path(folder) / "git"
    repo.mkdir()
    run("git", "init", "-q", cwd=repo)
    for number, value in enumerate(versions, 1):
        (repo / "file").write_bytes(value)
        run("git", "add", "file", cwd=repo)
        run("git", "-c", "user.name=bench", "-c", "user.email=bench@example.org", "commit", "-q", "--allow-empty", "-m", f"v{number}",
            cwd=repo)
    run("git", "gc", "--aggressive", "-q", cwd=repo)
    return sum(p.stat().st_size for p in (repo / ".git" / "objects" / "pack").glob("*.pack"))


def size_hg(versions, folder):
    repo = Path(folder) / "hg"
    repo.mkdir()
    run("hg", "init", cwd=repo)
    for number, value in enumerate(versions, 1):
        (repo / "file").write_bytes(value)
        run("hg", "commit", "-A", "-q", "-u", "bench", "-m", f"v{number}", cwd=repo, HGPLAIN="1")
    return folder_size(repo / ".hg" / "store")


def size_fossil(versions, folder):
    """The repository file after rebuild --compress, and its blob table's content alone."""
    work = Path(folder) / "fossil"
    work.mkdir()
    repo = Path(folder) / "repo.fossil"
    env = {"USER": "bench", "FOSSIL_HOME": str(folder)}
    run("fossil", "init", str(repo), **env)
    run("fossil", "open", str(repo), cwd=work, **env)
    run("fossil", "settings", "mtime-changes", "off", cwd=work, **env)  # by content: versions come fast
    for number, value in enumerate(versions, 1):
        (work / "file").write_bytes(value)
        if number == 1:
            run("fossil", "add", "file", cwd=work, **env)
        run("fossil", "commit", "--no-warnings", "--allow-empty", "-m", f"v{number}", cwd=work, **env)
    run("fossil", "close", "--force", cwd=work, **env)
    run("fossil", "rebuild", "--compress", str(repo), **env)
    conn = sqlite3.connect(repo)
    blobs = conn.execute("SELECT SUM(LENGTH(content)) FROM blob").fetchone()[0]
    conn.close()
    return repo.stat().st_size, blobs


def size_xz(versions):
    done = subprocess.run(["xz", "-9e", "-T1", "-c"], input=b"".join(versions), capture_output=True, check=True)
    return len(done.stdout)


# --- the store --------------------------------------------------------------------------------

def best(fn, reps):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def paired(ours, reference, reps):
    """The fastest of reps calls of ours over the fastest of reps calls of reference, the calls
    taken in turn so that both see the same load of the shared machine."""
    mine, theirs = [], []
    for _ in range(reps):
        mine.append(best(ours, 1))
        theirs.append(best(reference, 1))
    return min(mine) / min(theirs)


def geomean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values))


class Baseline:
    """Each version kept whole as one zstd -3 blob, in a table of the store's own database."""

    def __init__(self, target, url):
        import zstandard
        self.zc, self.zd = zstandard.ZstdCompressor(level=3), zstandard.ZstdDecompressor()
        self.url = url
        if url:
            import psycopg
            self.conn = psycopg.connect(target, autocommit=True)
            self.mark = "%s"
            self.conn.execute("CREATE TABLE IF NOT EXISTS bench_whole (number BIGINT PRIMARY KEY, data BYTEA)")
            self.conn.execute("CREATE TABLE IF NOT EXISTS bench_put (number BIGINT PRIMARY KEY, data BYTEA)")
        else:
            self.conn = sqlite3.connect(target, isolation_level=None)
            self.conn.execute("PRAGMA journal_mode = WAL")
            self.conn.execute("PRAGMA synchronous = FULL")
            self.mark = "?"
            self.conn.execute("CREATE TABLE IF NOT EXISTS bench_whole (number INTEGER PRIMARY KEY, data BLOB)")
            self.conn.execute("CREATE TABLE IF NOT EXISTS bench_put (number INTEGER PRIMARY KEY, data BLOB)")

    def _one(self, sql, params):
        if self.url:
            with self.conn.cursor(binary=True) as cursor:
                cursor.execute(sql.replace("?", "%s"), params)
                return cursor.fetchone() if cursor.description else None
        return self.conn.execute(sql, params).fetchone()

    def keep(self, number, value):
        self._one("INSERT INTO bench_whole (number, data) VALUES (?, ?)", (number, self.zc.compress(value)))

    def read(self, number):
        return self.zd.decompress(self._one("SELECT data FROM bench_whole WHERE number = ?", (number,))[0])

    def put(self, number, previous, value):
        """compress from the predecessor, an INSERT and the commit."""
        from quorvane_core import delta
        frame = delta.compress(previous, value)
        self._one("BEGIN", ())
        self._one("INSERT INTO bench_put (number, data) VALUES (?, ?)", (number, frame))
        self._one("COMMIT", ())

    def drop(self):
        self._one("DROP TABLE bench_whole", ())
        self._one("DROP TABLE bench_put", ())
        self.conn.close()


def measure_store(versions, target, url=None):
    from quorvane import store
    baseline = Baseline(target, url)
    put_times, put_base = [], []
    with store.open(target) as s:
        for number, value in enumerate(versions, 1):
            start = time.perf_counter()
            s.put("file", value)
            put_times.append(time.perf_counter() - start)
            baseline.keep(number, value)
            if number > 1:
                put_base.append(best(lambda: baseline.put(number, versions[number - 2], value), 1))
        assert s.verify() == len(versions)
        count = len(versions)
        newest = paired(lambda: s.get("file"), lambda: baseline.read(count), 9)
        ratios = []
        for number in range(1, count + 1):
            assert s.get("file", number) == versions[number - 1]
            ratio = paired(lambda: s.get("file", number), lambda: baseline.read(number), 7)
            if ratio > 4:  # once more, longer: the shared machine preempts long calls more often
                ratio = min(ratio, paired(lambda: s.get("file", number), lambda: baseline.read(number), 25))
            ratios.append(ratio)
    baseline.drop()
    put_ratio = sum(put_times[1:]) / sum(put_base)
    return {"get newest / whole": newest, "get any, worst / whole": max(ratios),
            "get any, geomean / whole": geomean(ratios), "put / (compress + commit)": put_ratio,
            "put ms": 1000 * sum(put_times) / len(put_times)}


def store_size_sqlite(versions, folder):
    from quorvane import store
    path = os.path.join(folder, "store.db")
    with store.open(path) as s:
        for value in versions:
            s.put("file", value)
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("VACUUM")
    whole = conn.execute("SELECT COUNT(*) FROM qv_versions WHERE whole = 1").fetchone()[0]
    conn.close()
    return os.path.getsize(path), whole, path


def postgres_database(url):
    import psycopg
    name = "bench_" + hashlib.sha256(os.urandom(8)).hexdigest()[:12]
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute(f"CREATE DATABASE {name}")
    return name, url.rsplit("/", 1)[0] + "/" + name


def drop_database(url, name):
    import psycopg
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")


def store_size_postgres(versions, url):
    import psycopg
    from quorvane import store
    name, target = postgres_database(url)
    try:
        with store.open(target) as s:
            for value in versions:
                s.put("file", value)
        with psycopg.connect(target, autocommit=True) as conn:
            conn.execute("VACUUM FULL")
            return int(conn.execute("SELECT SUM(pg_total_relation_size(c)) FROM unnest(ARRAY['qv_keys', "
                                    "'qv_versions', 'qv_chunks']) AS c").fetchone()[0])
    finally:
        drop_database(url, name)


def processor():
    with open("/proc/cpuinfo") as info:
        name = next((line.split(":", 1)[1].strip() for line in info if line.startswith("model name")), "?")
    return f"{name}, {os.cpu_count()} cores"


def postgres_url():
    """scripts/postgres.sh's server (started if it is not running), or QUORVANE_TEST_POSTGRES."""
    return os.environ.get("QUORVANE_TEST_POSTGRES") or subprocess.run(
        ["bash", "scripts/postgres.sh"], cwd=ROOT, capture_output=True, text=True, check=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=list(HISTORIES), help="one history")
    parser.add_argument("--no-postgres", action="store_true", help="SQLite only")
    parser.add_argument("--store-only", action="store_true", help="without git, Mercurial, fossil and xz")
    args = parser.parse_args()
    install_tools()
    url = None
    if not args.no_postgres:
        url = postgres_url()
    print(f"processor: {processor()}\n")
    sizes, times = [], []
    for name, fetch in HISTORIES.items():
        if args.only and name != args.only:
            continue
        versions = fetch()
        total = sum(map(len, versions))
        print(f"{name}: {len(versions)} versions, {total:,} bytes in all, newest {len(versions[-1]):,}", flush=True)
        with tempfile.TemporaryDirectory() as folder:
            store_sqlite, whole, _ = store_size_sqlite(versions, folder)
            row = {"history": f"{name} ({len(versions)} versions, {total:,} bytes)", "store, SQLite": store_sqlite}
            row["store, PostgreSQL"] = store_size_postgres(versions, url) if url else None
            peers = not args.store_only
            row["git gc --aggressive"] = size_git(versions, folder) if peers else None
            row["Mercurial"] = size_hg(versions, folder) if peers else None
            row["fossil"], row["fossil blobs"] = size_fossil(versions, folder) if peers else (None, None)
            row["xz -9e"] = size_xz(versions) if peers else None
            row["snapshots"] = whole
            sizes.append(row)
            print("  ", row, flush=True)
            timing = {"history": name, "database": "SQLite", **measure_store(versions, os.path.join(folder, "t.db"))}
            times.append(timing)
            print("  ", timing, flush=True)
            if url:
                dbname, target = postgres_database(url)
                try:
                    timing = {"history": name, "database": "PostgreSQL", **measure_store(versions, target, url)}
                finally:
                    drop_database(url, dbname)
                times.append(timing)
                print("  ", timing, flush=True)
    print()
    columns = ["history", "store, SQLite", "store, PostgreSQL", "git gc --aggressive", "Mercurial", "fossil",
               "fossil blobs", "xz -9e", "snapshots"]
    print("| " + " | ".join(columns) + " |")
    print("|---" + "|---:" * (len(columns) - 1) + "|")
    for row in sizes:
        print("| " + " | ".join(f"{row[c]:,}" if isinstance(row[c], int) else str(row[c]) for c in columns) + " |")
    print()
    columns = ["history", "database", "get newest / whole", "get any, worst / whole", "get any, geomean / whole",
               "put / (compress + commit)", "put ms"]
    print("| " + " | ".join(columns) + " |")
    print("|---|---" + "|---:" * (len(columns) - 2) + "|")
    for row in times:
        print("| " + " | ".join(f"{row[c]:.2f}" if isinstance(row[c], float) else str(row[c]) for c in columns) + " |")


if __name__ == "__main__":
    main()
