"""The version store under load: 4 writer and 4 reader processes for 30 s on one database.

    .venv/bin/python bench/store_load.py [--seconds 30] [--no-postgres]

Writers put edited versions of a 20 KB text (a few lines changed each time) under 4 keys,
two writers per key; readers get the newest or a random version of a random key and check
its SHA-256 against the store's list. Reports puts and gets per second for SQLite (a file
in a temporary folder) and PostgreSQL (scripts/postgres.sh's server), and checks afterwards
that every key's numbers run 1..N and that verify finds nothing.
"""
import argparse
import hashlib
import multiprocessing
import os
import random
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
KEYS = ["doc/a", "doc/b", "doc/c", "doc/d"]


def writer(target, key, seed, until, out):
    from quorvane import store
    rng = random.Random(seed)
    lines = [b"line %d of a document that changes a little at a time\n" % i for i in range(400)]
    puts = 0
    with store.open(target) as s:
        while time.time() < until:
            for _ in range(3):
                lines[rng.randrange(len(lines))] = b"%d edit %d\n" % (seed, rng.randrange(10**12))
            s.put(key, b"".join(lines))
            puts += 1
    out.put(("put", puts))


def reader(target, until, out):
    from quorvane import store
    rng = random.Random()
    gets = 0
    with store.open(target) as s:
        while time.time() < until:
            key = rng.choice(KEYS)
            if rng.random() < 0.5:
                s.get(key)
            else:
                version = rng.choice(s.versions(key))
                assert hashlib.sha256(s.get(key, version.number)).hexdigest() == version.checksum
            gets += 1
    out.put(("get", gets))


def load(target, seconds):
    from quorvane import store
    with store.open(target) as s:
        for key in KEYS:
            s.put(key, b"first version of " + key.encode())
    out = multiprocessing.Queue()
    start = time.time() + 3  # every process has imported and opened by then
    until = start + seconds
    processes = [multiprocessing.Process(target=writer, args=(target, KEYS[i % 4], i, until, out)) for i in range(4)]
    processes += [multiprocessing.Process(target=reader, args=(target, until, out)) for _ in range(4)]
    for process in processes:
        process.start()
    counts = {"put": 0, "get": 0}
    for _ in processes:
        kind, count = out.get()
        counts[kind] += count
    for process in processes:
        process.join()
        assert process.exitcode == 0
    with store.open(target) as s:
        for key in KEYS:
            numbers = [v.number for v in s.versions(key)]
            assert numbers == list(range(1, len(numbers) + 1))
        checked = s.verify()
    return counts["put"] / seconds, counts["get"] / seconds, checked


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--no-postgres", action="store_true")
    args = parser.parse_args()
    sys.path.insert(0, str(ROOT / "bench"))
    import store_bench
    print(f"processor: {store_bench.processor()}; 4 writers, 4 readers, {args.seconds:g} s")
    with tempfile.TemporaryDirectory() as folder:
        puts, gets, checked = load(os.path.join(folder, "load.db"), args.seconds)
        print(f"SQLite: {puts:.0f} puts/s, {gets:.0f} gets/s ({checked} versions verified)")
    if not args.no_postgres:
        store_bench.install_tools()
        url = store_bench.postgres_url()
        name, target = store_bench.postgres_database(url)
        try:
            puts, gets, checked = load(target, args.seconds)
        finally:
            store_bench.drop_database(url, name)
        print(f"PostgreSQL: {puts:.0f} puts/s, {gets:.0f} gets/s ({checked} versions verified)")


if __name__ == "__main__":
    main()
