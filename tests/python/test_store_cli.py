"""`quorvane store`, run as a subprocess on both databases: every action against the
library's results, and its one-line errors."""
import hashlib
import subprocess
import sys

import pytest

from quorvane import store
from quorvane_core import delta
from store_support import database  # noqa: F401 (the fixture)

V1 = b"".join(b"line %d of the first version\n" % i for i in range(200))
V2 = V1.replace(b"line 7 ", b"LINE SEVEN ")


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([sys.executable, "-m", "quorvane", "store", *map(str, args)], input=stdin,
                          capture_output=True, cwd=cwd, timeout=300)


def ok(done):
    assert done.returncode == 0, done.stderr.decode()
    assert done.stderr == b""
    return done.stdout


def test_actions(database, tmp_path):
    db = database.target
    (tmp_path / "v1").write_bytes(V1)
    assert ok(run(db, "put", "app/config", tmp_path / "v1")) == b"1\n"
    assert ok(run(db, "put", "app/config", "-", stdin=V2)) == b"2\n"
    assert ok(run(db, "put", "app/config", "-", stdin=V2)) == b"2\n"  # the same again
    assert ok(run(db, "put", "other", "-", stdin=b"")) == b"1\n"
    assert ok(run(db, "get", "app/config")) == V2
    assert ok(run(db, "get", "app/config", "-v", "1")) == V1
    ok(run(db, "get", "app/config", "-v", "1", "-o", tmp_path / "out"))
    assert (tmp_path / "out").read_bytes() == V1
    log = ok(run(db, "log", "app/config")).decode().splitlines()
    with store.open(db) as s:
        listed = s.versions("app/config")
    assert [line.split("\t") for line in log] == [
        [str(v.number), str(v.size), str(v.stored_size), v.created.isoformat(timespec="seconds"), v.checksum]
        for v in listed]
    assert listed[0].checksum == hashlib.sha256(V1).hexdigest()
    assert ok(run(db, "keys")) == b"app/config\nother\n"
    assert ok(run(db, "keys", "app/")) == b"app/config\n"
    assert ok(run(db, "keys", "none/")) == b""
    ok(run(db, "delta", "app/config", "1", "-o", tmp_path / "d"))
    assert delta.decompress(V1, (tmp_path / "d").read_bytes()) == V2
    assert delta.decompress(V2, ok(run(db, "delta", "app/config", "2", "1", "-o", "-"))) == V1
    assert ok(run(db, "verify")) == b"3 versions checked, none damaged\n"


@pytest.mark.parametrize("args, message", [
    (["get", "missing"], "no key 'missing' in {db}"),
    (["get", "k", "-v", "5"], "'k' has no version 5"),
    (["log", "missing"], "no key 'missing' in {db}"),
    (["delta", "k", "3", "-o", "{tmp}/d"], "'k' has no version 3"),
    (["put", "k", "{tmp}/absent"], "cannot read {tmp}/absent: No such file or directory"),
    (["get", "k", "-o", "{tmp}/no/such/dir/out"], "cannot write {tmp}/no/such/dir/out: No such file or directory"),
    (["put", "", "-"], "a key is a non-empty str, not ''"),
])
def test_errors(database, tmp_path, args, message):
    db = database.target
    ok(run(db, "put", "k", "-", stdin=b"value"))
    done = run(db, *[a.format(tmp=tmp_path) for a in args])
    assert done.returncode == 1 and done.stdout == b""
    assert done.stderr.decode() == f"quorvane: error: {message.format(db=db, tmp=tmp_path)}\n"


def test_damage_is_one_line(database):
    db = database.target
    ok(run(db, "put", "k", "-", stdin=V1))
    ok(run(db, "put", "k", "-", stdin=V2))
    data = bytearray(database.sql("SELECT data FROM qv_chunks WHERE number = 2")[0][0])
    data[len(data) // 2] ^= 0x40
    database.sql("UPDATE qv_chunks SET data = ? WHERE number = 2", (bytes(data),))
    for args in (["verify"], ["get", "k", "-v", "1"]):
        done = run(db, *args)
        assert done.returncode == 1 and done.stdout == b""
        lines = done.stderr.decode().splitlines()
        assert len(lines) == 1 and lines[0].startswith("quorvane: error: damaged record: key 'k' version 2: ")


@pytest.mark.parametrize("content", [None, b"not a database, just some text" * 100])
def test_not_a_store(tmp_path, content):
    path = tmp_path / "x.db"
    if content is not None:
        path.write_bytes(content)
    done = run(path, "keys")
    assert done.returncode == 1
    reason = "No such file or directory" if content is None else "file is not a database"
    assert done.stderr.decode() == f"quorvane: error: cannot open {path}: {reason}\n"
    assert (content is None) != path.exists()  # reading never creates a store


def test_unreachable_server():
    done = run("postgresql://nobody@127.0.0.1:1/none", "keys")
    assert done.returncode == 1
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quorvane: error: ")
