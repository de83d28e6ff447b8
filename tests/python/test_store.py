"""The version store on both databases: the API, its layout's bounds, a property test against
a dict of lists, parts of large records, and damage found wherever it is."""
import hashlib
import random
import uuid

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from quorvane import store
from quorvane_core import delta
from store_support import database  # noqa: F401 (the fixture)

TEXT = b"".join(b"line %d: the quick brown fox jumps over the lazy dog\n" % i for i in range(400))


def edits(count, seed=1):
    """count versions of a text, each a few lines changed from the one before."""
    rng = random.Random(seed)
    lines = TEXT.splitlines(keepends=True)
    out = []
    for _ in range(count):
        for _ in range(3):
            lines[rng.randrange(len(lines))] = b"changed %d\n" % rng.randrange(10**9)
        out.append(b"".join(lines))
    return out


def layout(db, key):
    """(number, whole, stored_size, size) of key's versions, oldest first."""
    return db.sql("SELECT v.number, v.whole, v.stored_size, v.size FROM qv_versions v JOIN qv_keys k ON k.id = v.key_id "
                  "WHERE k.name = ? ORDER BY v.number", (key,))


def test_api(database):
    values = edits(5)
    with store.open(database.target) as s:
        assert s.keys() == []
        assert [s.put("app/config.json", v) for v in values] == [1, 2, 3, 4, 5]
        assert s.put("app/config.json", bytearray(values[-1])) == 5  # equal to the newest: nothing stored
        assert s.put("app/config.json", values[0]) == 6  # equal to an older one: a new version
        assert s.put("app/other", memoryview(b"")) == 1
        assert s.put("zzz", b"x") == 1
        assert s.get("app/config.json") == values[0]
        for number, value in enumerate(values, 1):
            assert s.get("app/config.json", number) == value
        assert s.get("app/other") == b""
        listed = s.versions("app/config.json")
        assert [v.number for v in listed] == [1, 2, 3, 4, 5, 6]
        assert [v.size for v in listed] == [len(v) for v in values + [values[0]]]
        assert [v.checksum for v in listed] == [hashlib.sha256(v).hexdigest() for v in values + [values[0]]]
        assert all(v.stored_size > 0 for v in listed) and listed[0].created <= listed[-1].created
        assert sum(v.stored_size for v in listed) < len(TEXT)  # deltas
        assert s.keys("app/") == ["app/config.json", "app/other"]
        assert s.keys() == ["app/config.json", "app/other", "zzz"]
        assert s.keys("app/c") == ["app/config.json"] and s.keys("b") == []
        frame = s.delta("app/config.json", 3)
        assert delta.decompress(values[2], frame) == values[0]
        assert delta.decompress(values[2], s.delta("app/config.json", 3, to=5)) == values[4]
        assert s.verify() == 8
        assert s.prune("app/config.json", keep=2) == 4
        assert [v.number for v in s.versions("app/config.json")] == [5, 6]
        assert s.get("app/config.json", 5) == values[4]
        assert s.put("app/config.json", b"next") == 7
        s.delete("app/other")
        assert s.keys("app/") == ["app/config.json"]
        assert s.put("app/other", b"again") == 1  # a deleted key starts again
        assert s.verify() == 5
    with store.open(database.target) as s:  # reopened
        assert s.get("app/config.json") == b"next"


@pytest.mark.parametrize("call, error", [
    (lambda s: s.get("missing"), KeyError),
    (lambda s: s.get("k", 2), KeyError),
    (lambda s: s.get("k", 0), KeyError),
    (lambda s: s.get("k", "1"), TypeError),
    (lambda s: s.versions("missing"), KeyError),
    (lambda s: s.delta("k", 5), KeyError),
    (lambda s: s.delta("k", 1, to=9), KeyError),
    (lambda s: s.delta("missing", 1), KeyError),
    (lambda s: s.prune("k", keep=0), ValueError),
    (lambda s: s.prune("missing", keep=1), KeyError),
    (lambda s: s.delete("missing"), KeyError),
    (lambda s: s.put("", b"x"), TypeError),
    (lambda s: s.put(b"k", b"x"), TypeError),
    (lambda s: s.put("a\x00b", b"x"), ValueError),
    (lambda s: s.put("\ud800", b"x"), ValueError),
    (lambda s: s.put("k", "text"), TypeError),
    (lambda s: s.keys(b"k"), TypeError),
])
def test_errors(database, call, error):
    with store.open(database.target) as s:
        s.put("k", b"one")
        with pytest.raises(error):
            call(s)
        # nothing changed, the failed writes left no key behind
        assert s.keys() == ["k"] and s.get("k") == b"one" and s.verify() == 1


def test_chains_are_bounded(database, monkeypatch):
    """Every version reads one whole record and at most MAX_CHAIN - 1 deltas, at most
    CHAIN_FACTOR times its size, decoding values of at most MAX_CHAIN times its size; the
    newest is whole; the rule holds after pruning too."""
    monkeypatch.setattr(store, "MAX_CHAIN", 5)
    monkeypatch.setattr(store, "MIN_CHAIN_BYTES", 64)
    rng = random.Random(3)
    values = edits(30)
    # now and then a value unlike the others, whose delta is its whole size
    values[10] = bytes(rng.getrandbits(8) for _ in range(3000))
    # and a run of small values below much larger ones: not rebuilt through them
    values[20:24] = [values[19][:200 + 50 * i] for i in range(4)]
    with store.open(database.target) as s:
        for value in values:
            s.put("k", value)
        for prune_to in (None, 17):
            if prune_to:
                s.prune("k", keep=prune_to)
            rows = layout(database, "k")
            assert rows[-1][1] == 1
            for index, (number, whole, stored, size) in enumerate(rows):
                end = next(i for i, r in enumerate(rows[index:]) if r[1])
                read = rows[index:index + end + 1]
                assert len(read) <= store.MAX_CHAIN
                assert sum(r[2] for r in read) <= store.CHAIN_FACTOR * max(size, store.MIN_CHAIN_BYTES)
                assert sum(r[3] for r in read) <= store.MAX_CHAIN * max(size, store.MIN_CHAIN_BYTES)
                assert s.get("k", number) == values[number - 1]
        assert sum(1 for r in layout(database, "k") if r[1]) > 1  # snapshots were made


def test_records_in_parts(database, monkeypatch):
    """Records longer than CHUNK_SIZE are split into parts and read back whole."""
    monkeypatch.setattr(store, "CHUNK_SIZE", 100)
    rng = random.Random(5)
    big = bytes(rng.getrandbits(8) for _ in range(2000))
    with store.open(database.target) as s:
        s.put("k", big)
        s.put("k", big[:1000] + b"edit" + big[1000:])
        assert database.sql("SELECT COUNT(*) FROM qv_chunks")[0][0] > 20
        assert s.get("k", 1) == big and s.get("k")[1000:1004] == b"edit"
        assert s.verify() == 2


def test_damage_is_found(database):
    """Flipping any byte of any stored record is found by verify and by get of every version
    that reads that record; nothing returns wrong bytes."""
    values = [b"short", TEXT[:300], TEXT[:300] + b"more", TEXT[50:400], b""]
    with store.open(database.target) as s:
        for value in values:
            s.put("k", value)
        s.put("other", b"unrelated")
        rows = layout(database, "k")
        chunks = database.sql("SELECT c.number, c.part, c.data FROM qv_chunks c JOIN qv_keys k ON k.id = c.key_id "
                              "WHERE k.name = 'k' ORDER BY c.number")
        positions = 0
        for number, part, data in chunks:
            data = bytes(data)
            # versions that read this record: it and those below it down to the next whole one
            readers = [number]
            for lower in reversed([r for r in rows if r[0] < number]):
                if lower[1]:
                    break
                readers.append(lower[0])
            step = 1 if database.kind == "sqlite" else max(1, len(data) // 12)
            for position in range(0, len(data), step):
                damaged = bytearray(data)
                damaged[position] ^= 1 << (position % 8)
                where = ("UPDATE qv_chunks SET data = ? WHERE number = ? AND part = ? AND "
                         "key_id = (SELECT id FROM qv_keys WHERE name = 'k')")
                database.sql(where, (bytes(damaged), number, part))
                with pytest.raises(store.DamagedError) as found:
                    s.verify()
                assert found.value.key == "k" and found.value.version == number
                for reader in readers:
                    with pytest.raises(store.DamagedError) as found:
                        s.get("k", reader)
                    assert (found.value.key, found.value.version) == ("k", number)
                for other in [r[0] for r in rows if r[0] not in readers]:
                    assert s.get("k", other) == values[other - 1]
                database.sql(where, (data, number, part))
                positions += 1
        assert positions > 20
        assert s.verify() == 6


def test_missing_record_is_damage(database):
    with store.open(database.target) as s:
        s.put("k", b"one")
        s.put("k", b"two")
        database.sql("DELETE FROM qv_chunks WHERE number = 2")
        for number in (1, 2):
            with pytest.raises(store.DamagedError, match="key 'k' version 2"):
                s.get("k", number)
        with pytest.raises(store.DamagedError):
            s.verify()


# --- a property test: any sequence of puts, prunes and deletes against a dict of lists ------

values = st.one_of(st.binary(max_size=300), st.sampled_from([TEXT[:200], TEXT[:201], TEXT[100:300], b""]))
operations = st.lists(st.one_of(
    st.tuples(st.just("put"), st.sampled_from("abc"), values),
    st.tuples(st.just("prune"), st.sampled_from("abc"), st.integers(1, 4)),
    st.tuples(st.just("delete"), st.sampled_from("abc"), st.none()),
), max_size=25)


def test_against_a_model(database, monkeypatch):
    monkeypatch.setattr(store, "MAX_CHAIN", 3)  # snapshots often
    db = database

    @settings(max_examples=60 if db.kind == "sqlite" else 25, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(operations)
    def check(ops):
        space = uuid.uuid4().hex + "/"  # a fresh set of keys for each example
        model = {}  # key -> {number: bytes}, and the newest number
        with store.open(db.target) as s:
            for op, name, argument in ops:
                key = space + name
                versions = model.get(key, {})
                if op == "put":
                    newest = max(versions, default=0)
                    expected = newest if newest and versions[newest] == argument else newest + 1
                    assert s.put(key, argument) == expected
                    versions[expected] = argument
                    model[key] = versions
                elif not versions:
                    with pytest.raises(KeyError):
                        getattr(s, op)(key, *([argument] if op == "prune" else []))
                elif op == "prune":
                    newest = max(versions)
                    gone = [n for n in versions if n <= newest - argument]
                    assert s.prune(key, argument) == len(gone)
                    for n in gone:
                        del versions[n]
                else:
                    s.delete(key)
                    del model[key]
                assert s.keys(space) == sorted(model)
                for k, vs in model.items():
                    assert [v.number for v in s.versions(k)] == sorted(vs)
                    for n, value in vs.items():
                        assert s.get(k, n) == value
            assert s.verify() >= sum(len(vs) for vs in model.values())

    check()


@pytest.mark.parametrize("key, shown", [
    (b"x" * 1_000_000, "<bytes of 1,000,000 bytes>"),
    (["k"] * 500, "<list of 500 items>"),
    (5, "5"),
])
def test_a_wrong_key_is_named_by_type_and_size(tmp_path, key, shown):
    """A wrong key is named in the message by its type and length, never copied into it."""
    with store.open(str(tmp_path / "versions.db")) as s:
        with pytest.raises(TypeError) as caught:
            s.put(key, b"value")
    assert str(caught.value) == f"a key is a non-empty str, not {shown}"
