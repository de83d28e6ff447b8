"""The version store under several processes, on both databases: writers killed with SIGKILL
at random moments lose nothing committed and leave no half version; writers and readers
together get consecutive numbers and read only what was written."""
import hashlib
import os
import random
import signal
import subprocess
import sys
import time

from quorvane import store
from store_support import database  # noqa: F401 (the fixture)

# Puts versions of a text until stopped, logging "intent <sha256>" before each put and
# "done <number> <sha256>" after it; the values are different every time.
WRITER = r"""
import hashlib, os, random, sys
from quorvane import store
target, key, log, seed, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
rng = random.Random(seed)
lines = [b"line %d of a document that grows and changes\n" % i for i in range(300)]
with store.open(target) as s, open(log, "a") as out:
    for i in range(count):
        lines[rng.randrange(len(lines))] = b"%d.%d %d\n" % (seed, i, rng.randrange(10**12))
        if rng.random() < 0.1:
            lines.append(os.urandom(40).hex().encode() + b"\n")
        value = b"".join(lines)
        digest = hashlib.sha256(value).hexdigest()
        out.write("intent %s\n" % digest); out.flush()
        number = s.put(key, value)
        out.write("done %d %s\n" % (number, digest)); out.flush()
"""

# Reads random versions until stopped, checking each against the SHA-256 the store lists.
READER = r"""
import hashlib, random, sys, time
from quorvane import store
target, keys, seconds = sys.argv[1], sys.argv[2].split(","), float(sys.argv[3])
rng = random.Random()
reads = 0
with store.open(target) as s:
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        key = rng.choice(keys)
        try:
            listed = s.versions(key)
        except KeyError:
            continue
        version = rng.choice(listed)
        value = s.get(key, version.number)
        assert hashlib.sha256(value).hexdigest() == version.checksum, (key, version)
        newest = s.get(key)
        assert len(newest) > 0
        reads += 2
print(reads)
"""


def writer(target, key, log, seed, count=10**6):
    return subprocess.Popen([sys.executable, "-c", WRITER, target, key, str(log), str(seed), str(count)])


def read_log(*paths):
    intents, done = set(), {}
    for path in paths:
        if not os.path.exists(path):
            continue
        with open(path) as log:
            for line in log:
                parts = line.split()
                if parts[:1] == ["intent"] and len(parts) == 2:
                    intents.add(parts[1])
                elif parts[:1] == ["done"] and len(parts) == 3:
                    assert int(parts[1]) not in done, "one number given twice"
                    done[int(parts[1])] = parts[2]
    return intents, done


def test_killed_writers_lose_nothing(database, tmp_path):
    with store.open(database.target):
        pass  # the tables, before the writers race to make them
    rng = random.Random(11)
    logs = []
    running = []
    committed = 0
    while committed < 200:
        while len(running) < 3:
            logs.append(tmp_path / f"w{len(logs)}.log")
            running.append((writer(database.target, "doc", logs[-1], len(logs)), logs[-1]))
        victim, log = running.pop(rng.randrange(len(running)))
        deadline = time.monotonic() + 60
        while not (log.exists() and log.stat().st_size) and time.monotonic() < deadline:
            time.sleep(0.01)  # until it has begun to put
        time.sleep(rng.uniform(0.0, 0.3))
        victim.send_signal(signal.SIGKILL)
        victim.wait()
        committed = len(read_log(*logs)[1])
    for process, _ in running:
        process.kill()
        process.wait()
    database.settle()
    intents, done = read_log(*logs)
    with store.open(database.target) as s:
        listed = s.versions("doc")
        numbers = [v.number for v in listed]
        assert numbers == list(range(1, len(numbers) + 1))  # no gap, no duplicate
        for number, digest in done.items():  # every reported put is there, intact
            assert listed[number - 1].checksum == digest
            assert hashlib.sha256(s.get("doc", number)).hexdigest() == digest
        assert {v.checksum for v in listed} <= intents  # nothing that no writer put
        assert s.verify() == len(listed) >= 200
        if database.kind == "sqlite":
            assert database.sql("PRAGMA integrity_check") == [("ok",)]


def test_writers_and_readers_together(database, tmp_path):
    with store.open(database.target) as s:
        s.put("a", b"first a\n" * 100)
        s.put("b", b"first b\n" * 100)
    seconds = 4
    writers = [writer(database.target, "ab"[i % 2], tmp_path / f"w{i}.log", 100 + i, count=10**6) for i in range(4)]
    readers = [subprocess.Popen([sys.executable, "-c", READER, database.target, "a,b", str(seconds)],
                                stdout=subprocess.PIPE, text=True) for _ in range(4)]
    reads = [int(r.communicate(timeout=300)[0]) for r in readers]
    assert all(r.returncode == 0 for r in readers) and all(reads)
    for process in writers:
        process.send_signal(signal.SIGTERM)
    for process in writers:
        process.wait()
    database.settle()
    with store.open(database.target) as s:
        for key, logs in (("a", [0, 2]), ("b", [1, 3])):
            done = {}
            for i in logs:
                part = read_log(tmp_path / f"w{i}.log")[1]
                assert not set(part) & set(done), "one number given to two writers"
                done.update(part)
            listed = s.versions(key)
            assert [v.number for v in listed] == list(range(1, len(listed) + 1))
            assert set(done) <= {v.number for v in listed} and len(done) >= len(listed) - 3
            for number, digest in done.items():
                assert listed[number - 1].checksum == digest
        s.verify()
