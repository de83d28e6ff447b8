"""A version store: every version of byte values under string keys, in SQLite or PostgreSQL.

    from quorvane import store
    with store.open("versions.db") as s:      # a path: SQLite; "postgresql://...": PostgreSQL
        n = s.put("app/config.json", data)    # the version number: 1, 2, ...
        s.get("app/config.json")              # the newest, as bytes
        s.get("app/config.json", 3)           # version 3

Layout. The newest version of a key is stored whole, as `delta.compress(b"", value,
level=WHOLE_LEVEL)` (zstd's fastest setting inside a checked frame); each older version is a
reverse delta, `delta.compress(successor, value)`, rewritten from whole when its successor
arrives. A version stays whole (a snapshot)
instead when, as a delta, reading some version down to the snapshot below would read more
than CHAIN_FACTOR times that version's size (MIN_CHAIN_BYTES at least) of stored records, or
more than MAX_CHAIN records, or decode values of more than MAX_CHAIN times its size in all.
Reading any version therefore reads one whole record and at most MAX_CHAIN - 1 deltas, at
most CHAIN_FACTOR times its size, and does the work of at most MAX_CHAIN reads of a value of
its size; the newest is one record.
Versions depend only on newer ones, so pruning old versions rewrites nothing.

Every record is a compress frame, checked (XXH3 of the frame, of the value it was made from
and of the value it gives) whenever it is read; a damaged one raises DamagedError naming the
key and the version, never wrong bytes. verify() also compares each version's SHA-256.

Each put, prune and delete is one transaction (SQLite: BEGIN IMMEDIATE in WAL mode;
PostgreSQL: the key's row locked FOR UPDATE), so writers from several processes get
consecutive numbers and a killed process leaves nothing half written. Readers read one
snapshot of the database (SQLite WAL, PostgreSQL REPEATABLE READ) and never block writers.
"""

import collections
import datetime
import hashlib
import random
import sqlite3
import time

__all__ = ["open", "Store", "Version", "DamagedError", "CHAIN_FACTOR", "MAX_CHAIN"]

CHAIN_FACTOR = 2           # stored bytes read for a version: at most this times its size ...
MIN_CHAIN_BYTES = 4096     # ... or this many, for small values
MAX_CHAIN = 12             # and at most this many records (one whole, the rest deltas)
WHOLE_LEVEL = 1            # compress's level for whole records (the newest is written at every put)
CHUNK_SIZE = 64 << 20      # records are split into parts of this size (SQLite's blobs end at 1 GB)
BUSY_PATIENCE = 600.0      # seconds a writer keeps retrying a busy SQLite database

Version = collections.namedtuple("Version", "number size stored_size created checksum")
Version.__doc__ = """One version of a key: its number (1, 2, ...), its size in bytes, the bytes
its record takes in the store, when it was stored (an aware UTC datetime) and the SHA-256 of
its bytes (hex)."""


class DamagedError(Exception):
    """A stored record that fails its checks: `key` and `version` name it."""

    def __init__(self, key, version, reason):
        super().__init__(f"damaged record: key {key!r} version {version}: {reason}")
        self.key = key
        self.version = version
        self.reason = reason


def _delta():
    from quorvane_core import delta
    return delta


def _named(value):
    """A value for an error message: its repr when short, else its type and length (never a
    copy of a large value)."""
    text = repr(value) if not hasattr(value, "__len__") or len(value) <= 60 else ""
    if text and len(text) <= 80:
        return text
    if not hasattr(value, "__len__"):
        return f"<{type(value).__name__}>"
    unit = "characters" if isinstance(value, str) else "bytes" if isinstance(value, (bytes, bytearray)) else "items"
    return f"<{type(value).__name__} of {len(value):,} {unit}>"


def _check_key(key):
    if not isinstance(key, str) or not key:
        raise TypeError(f"a key is a non-empty str, not {_named(key)}")
    if "\x00" in key:
        raise ValueError("a key cannot contain a NUL character")
    try:
        key.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError(f"a key must be valid Unicode text: {_named(key)}") from None


_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS qv_keys (id {id}, name TEXT NOT NULL UNIQUE, newest BIGINT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS qv_versions (key_id BIGINT NOT NULL, number BIGINT NOT NULL,"
    " size BIGINT NOT NULL, stored_size BIGINT NOT NULL, created DOUBLE PRECISION NOT NULL,"
    " checksum TEXT NOT NULL, whole SMALLINT NOT NULL, PRIMARY KEY (key_id, number))",
    "CREATE TABLE IF NOT EXISTS qv_chunks (key_id BIGINT NOT NULL, number BIGINT NOT NULL,"
    " part INTEGER NOT NULL, data {blob} NOT NULL, PRIMARY KEY (key_id, number, part))",
)


class _SQLite:
    """SQLite through sqlite3: WAL, BEGIN IMMEDIATE for writes, busy waits retried."""

    blob_size = "length(data)"

    def __init__(self, path):
        self.conn = sqlite3.connect(path, timeout=60.0, isolation_level=None, check_same_thread=False)
        self._retry(self._setup)

    def _setup(self):
        self.conn.execute("PRAGMA busy_timeout = 60000")
        mode = self.conn.execute("PRAGMA journal_mode = WAL").fetchone()[0]
        if mode.lower() != "wal":
            raise sqlite3.OperationalError(f"cannot use WAL mode (journal mode {mode}): database is locked")
        self.conn.execute("PRAGMA synchronous = FULL")
        if self.conn.execute("SELECT 1 FROM sqlite_master WHERE name = 'qv_chunks'").fetchone():
            return  # made before (creating again would wait for the writers)
        self.conn.execute("BEGIN IMMEDIATE")
        try:
            for statement in _SCHEMA:
                self.conn.execute(statement.format(id="INTEGER PRIMARY KEY", blob="BLOB"))
            self.conn.execute("COMMIT")
        except BaseException:
            self.conn.execute("ROLLBACK")
            raise

    def _retry(self, work, *args):
        deadline = time.monotonic() + BUSY_PATIENCE
        pause = 0.001
        while True:
            try:
                return work(*args)
            except sqlite3.OperationalError as error:
                text = str(error)
                if "locked" not in text and "busy" not in text or time.monotonic() > deadline:
                    raise
            if self.conn.in_transaction:
                try:
                    self.conn.execute("ROLLBACK")
                except sqlite3.Error:
                    pass
            time.sleep(pause * random.random())
            pause = min(pause * 2, 0.1)

    def run(self, write, work, key=None):
        """work(query, key_id_or_None) in one transaction; for a write, key's row is created
        if missing (key_id then names it)."""
        def attempt():
            self.conn.execute("BEGIN IMMEDIATE" if write else "BEGIN")
            try:
                key_row = None
                if key is not None:
                    key_row = self.conn.execute("SELECT id, newest FROM qv_keys WHERE name = ?", (key,)).fetchone()
                    if key_row is None and write:
                        cursor = self.conn.execute("INSERT INTO qv_keys (name, newest) VALUES (?, 0)", (key,))
                        key_row = (cursor.lastrowid, 0)
                result = work(self._query, key_row)
                self.conn.execute("COMMIT")
                return result
            except BaseException:
                if self.conn.in_transaction:
                    self.conn.execute("ROLLBACK")
                raise
        return self._retry(attempt)

    def _query(self, sql, params=()):
        return self.conn.execute(sql, params).fetchall()

    def read(self, sql, params):
        """One statement outside any transaction: one snapshot of the database by itself."""
        return self._retry(self._query, sql, params)

    def close(self):
        self.conn.close()


class _Postgres:
    """PostgreSQL through psycopg 3: the key's row locked FOR UPDATE for writes, REPEATABLE
    READ snapshots for reads."""

    blob_size = "octet_length(data)"

    def __init__(self, url):
        self._pending = []
        try:
            import psycopg
        except ImportError:
            raise ImportError("PostgreSQL needs psycopg 3: pip install 'quorvane-core[postgresql]'") from None
        self.psycopg = psycopg
        self.conn = psycopg.connect(url, autocommit=True)
        if self.conn.execute("SELECT to_regclass('qv_chunks')").fetchone()[0] is not None:
            return  # made before (creating again would wait for the writers' locks)
        self.conn.execute("BEGIN")
        try:
            self.conn.execute("SELECT pg_advisory_xact_lock(7156029741)")  # one creator at a time
            for statement in _SCHEMA:
                self.conn.execute(statement.format(id="BIGSERIAL PRIMARY KEY", blob="BYTEA"))
            self.conn.execute("COMMIT")
        except BaseException:
            self.conn.execute("ROLLBACK")
            raise

    def run(self, write, work, key=None):
        while True:
            self._pending = []
            self.conn.execute("BEGIN" if write else "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
            try:
                key_row = None
                if key is not None:
                    if write:
                        self.conn.execute("INSERT INTO qv_keys (name, newest) VALUES (%s, 0) ON CONFLICT (name) DO NOTHING",
                                          (key,))
                    lock = " FOR UPDATE" if write else ""
                    key_row = self._query("SELECT id, newest FROM qv_keys WHERE name = ?" + lock, (key,))
                    key_row = key_row[0] if key_row else None
                    if key_row is None and write:
                        # deleted between the insert and the lock: again
                        self.conn.execute("ROLLBACK")
                        continue
                result = work(self._query, key_row)
                self._flush()
                self.conn.execute("COMMIT")
                return result
            except BaseException:
                self._pending = []
                try:
                    self.conn.execute("ROLLBACK")
                except self.psycopg.Error:
                    pass
                raise

    def _query(self, sql, params=()):
        """Rows of a SELECT; changes wait, in order, to be sent together (one round trip)."""
        if not sql.startswith("SELECT"):
            self._pending.append((sql.replace("?", "%s"), params))
            return []
        self._flush()
        with self.conn.cursor(binary=True) as cursor:
            cursor.execute(sql.replace("?", "%s"), params)
            return cursor.fetchall()

    def _flush(self):
        if self._pending:
            pending, self._pending = self._pending, []
            with self.conn.pipeline(), self.conn.cursor(binary=True) as cursor:
                for sql, params in pending:
                    cursor.execute(sql, params)

    def read(self, sql, params):
        """One statement outside any transaction: one snapshot of the database by itself."""
        return self._query(sql, params)

    def close(self):
        self.conn.close()


def open(target, *, level=None):
    """A Store over target: a path (SQLite, the file created if missing) or a
    "postgresql://..." URL. level: compress's level for new records (default delta's)."""
    return Store(target, level=level)


class Store:
    """Versions of byte values under string keys; see the module's documentation."""

    def __init__(self, target, *, level=None):
        target = str(target) if not isinstance(target, str) and hasattr(target, "__fspath__") else target
        if isinstance(target, str) and target.startswith(("postgresql://", "postgres://")):
            self._db = _Postgres(target)
        else:
            self._db = _SQLite(target)
        delta = _delta()
        self.level = delta.DEFAULT_LEVEL if level is None else level

    def close(self):
        self._db.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    # --- records ----------------------------------------------------------------------

    @staticmethod
    def _record(query, key, key_id, number):
        rows = query("SELECT data FROM qv_chunks WHERE key_id = ? AND number = ? ORDER BY part", (key_id, number))
        if not rows:
            raise DamagedError(key, number, "its record is missing")
        return rows[0][0] if len(rows) == 1 else b"".join(row[0] for row in rows)

    @staticmethod
    def _write_record(query, key_id, number, record):
        query("DELETE FROM qv_chunks WHERE key_id = ? AND number = ?", (key_id, number))
        view = memoryview(record)
        for part, start in enumerate(range(0, max(len(view), 1), CHUNK_SIZE)):
            query("INSERT INTO qv_chunks (key_id, number, part, data) VALUES (?, ?, ?, ?)",
                  (key_id, number, part, view[start:start + CHUNK_SIZE]))

    @staticmethod
    def _decode(key, number, base, record, size):
        try:
            return _delta().decompress(base, record, max_size=max(size, 1))
        except ValueError as error:
            raise DamagedError(key, number, str(error)) from None

    # A version's chain in one statement: its records and those above it up to the nearest
    # whole one, newest first (number, size, whole, part, data).
    _CHAIN = ("SELECT v.number, v.size, v.whole, c.part, c.data FROM qv_versions v "
              "LEFT JOIN qv_chunks c ON c.key_id = v.key_id AND c.number = v.number "
              "WHERE v.key_id = {key_id} AND v.number >= {number} AND v.number <= (SELECT MIN(w.number) "
              "FROM qv_versions w WHERE w.key_id = {key_id} AND w.number >= {number} AND w.whole = 1) "
              "ORDER BY v.number DESC, c.part")

    def _decode_chain(self, key, number, rows):
        """Version number's bytes from its chain's rows; DamagedError if any is missing or fails."""
        records = []  # (number, size, whole, [parts])
        for n, size, whole, part, data in rows:
            if data is None:
                raise DamagedError(key, n, "its record is missing")
            if records and records[-1][0] == n:
                records[-1][3].append(data)
            else:
                records.append((n, size, whole, [data]))
        if not records or records[-1][0] != number:
            raise DamagedError(key, number, "its record is missing")
        if not records[0][2]:
            raise DamagedError(key, records[0][0], "no whole record above it")
        value = b""
        for index, (n, size, whole, parts) in enumerate(records):
            if n != records[0][0] - index:
                raise DamagedError(key, records[0][0] - index, "its record is missing")
            if index and whole:
                raise DamagedError(key, n, "the versions table is inconsistent")
            record = parts[0] if len(parts) == 1 else b"".join(parts)
            value = self._decode(key, n, value, record, size)
        return value

    def _read(self, query, key, key_id, number):
        """Version number's bytes, read inside a transaction."""
        rows = query(self._CHAIN.format(key_id="?", number="?"), (key_id, number, key_id, number))
        return self._decode_chain(key, number, rows)

    # --- the API ------------------------------------------------------------------------

    def put(self, key, value):
        """Stores value (any bytes-like object) as key's next version; returns its number. A
        value equal to the newest stores nothing and returns the newest's number."""
        _check_key(key)
        view = memoryview(value)
        if not view.contiguous:
            raise BufferError("put needs a contiguous buffer")
        view = view.cast("B") if view.format != "B" or view.ndim != 1 else view
        size = view.nbytes
        checksum = hashlib.sha256(view).hexdigest()
        delta = _delta()

        def work(query, key_row):
            key_id, newest = key_row
            whole_record = None
            if newest:
                old_size, old_checksum = query("SELECT size, checksum FROM qv_versions WHERE key_id = ? AND number = ?",
                                               (key_id, newest))[0]
                if old_size == size and old_checksum == checksum:
                    return newest
                old = self._read(query, key, key_id, newest)
                whole_record = delta.compress(b"", view, level=min(WHOLE_LEVEL, self.level))
                back = delta.compress(view, old, level=self.level)
                if self._demote(query, key_id, newest, old_size, len(back), len(whole_record), size):
                    self._write_record(query, key_id, newest, back)
                    query("UPDATE qv_versions SET whole = 0, stored_size = ? WHERE key_id = ? AND number = ?",
                          (len(back), key_id, newest))
            if whole_record is None:
                whole_record = delta.compress(b"", view, level=min(WHOLE_LEVEL, self.level))
            number = newest + 1
            query("INSERT INTO qv_versions (key_id, number, size, stored_size, created, checksum, whole) "
                  "VALUES (?, ?, ?, ?, ?, ?, 1)", (key_id, number, size, len(whole_record), time.time(), checksum))
            self._write_record(query, key_id, number, whole_record)
            query("UPDATE qv_keys SET newest = ? WHERE id = ?", (number, key_id))
            return number

        return self._db.run(True, work, key)

    @staticmethod
    def _demote(query, key_id, newest, newest_size, back_size, whole_size, size):
        """Whether the newest may become a delta (the new version, of size bytes, whole above
        it): every version down to the snapshot below then still reads at most CHAIN_FACTOR
        times its size of records, in at most MAX_CHAIN records, and decodes values of at most
        MAX_CHAIN times its size in all on the way (a small old version below large new ones
        is not rebuilt through them)."""
        run = query("SELECT number, size, stored_size FROM qv_versions WHERE key_id = ? AND number < ? AND number > "
                    "COALESCE((SELECT MAX(number) FROM qv_versions WHERE key_id = ? AND number < ? AND whole = 1), 0) "
                    "ORDER BY number DESC", (key_id, newest, key_id, newest))
        if len(run) + 2 > MAX_CHAIN:
            return False
        read, decoded = whole_size + back_size, size
        for number, version_size, stored_size in [(newest, newest_size, 0)] + run:
            read += stored_size
            decoded += version_size
            floor = max(version_size, MIN_CHAIN_BYTES)
            if read > CHAIN_FACTOR * floor or decoded > MAX_CHAIN * floor:
                return False
        return True

    def get(self, key, version=None):
        """key's newest version, or the given version number, as bytes. KeyError if there is none."""
        _check_key(key)
        if version is not None and (not isinstance(version, int) or isinstance(version, bool)):
            raise TypeError(f"a version number is an int, not {_named(version)}")
        # One statement (one round trip, one snapshot) in the common case.
        key_id = "(SELECT id FROM qv_keys WHERE name = ?)"
        number = "(SELECT newest FROM qv_keys WHERE name = ?)" if version is None else "?"
        given = (key,) if version is None else (version,)
        rows = self._db.read(self._CHAIN.format(key_id=key_id, number=number), (key,) + given + (key,) + given)
        if rows and rows[-1][0] == (version if version is not None else rows[-1][0]) and rows[0][2]:
            try:
                return self._decode_chain(key, rows[-1][0], rows)
            except DamagedError:
                pass  # read again in a transaction, which names the damage

        def work(query, key_row):
            if key_row is None:
                raise KeyError(key)
            number = key_row[1] if version is None else version
            if not query("SELECT 1 FROM qv_versions WHERE key_id = ? AND number = ?", (key_row[0], number)):
                raise KeyError(f"{key!r} has no version {number}")
            return self._read(query, key, key_row[0], number)

        return self._db.run(False, work, key)

    def versions(self, key):
        """key's versions, oldest first, as Version tuples. KeyError if there is no such key."""
        _check_key(key)
        rows = self._db.read("SELECT v.number, v.size, v.stored_size, v.created, v.checksum FROM qv_versions v "
                             "JOIN qv_keys k ON k.id = v.key_id WHERE k.name = ? ORDER BY v.number", (key,))
        if not rows:
            raise KeyError(key)
        return [Version(n, size, stored, datetime.datetime.fromtimestamp(created, datetime.timezone.utc), digest)
                for n, size, stored, created, digest in rows]

    def keys(self, prefix=""):
        """The keys that start with prefix, sorted."""
        if not isinstance(prefix, str):
            raise TypeError(f"a prefix is a str, not {_named(prefix)}")

        rows = self._db.read("SELECT name FROM qv_keys WHERE newest > 0 AND substr(name, 1, ?) = ?", (len(prefix), prefix))
        return sorted(row[0] for row in rows if row[0].startswith(prefix))

    def delta(self, key, version, to=None):
        """A compress frame that turns key's version into the newest (or version to): for a
        client that holds version, delta.decompress(its bytes, frame) gives the other."""
        _check_key(key)

        def work(query, key_row):
            if key_row is None:
                raise KeyError(key)
            target = key_row[1] if to is None else to
            for number in (version, target):
                if not query("SELECT 1 FROM qv_versions WHERE key_id = ? AND number = ?", (key_row[0], number)):
                    raise KeyError(f"{key!r} has no version {number}")
            return (self._read(query, key, key_row[0], version), self._read(query, key, key_row[0], target))

        old, new = self._db.run(False, work, key)
        return _delta().compress(old, new, level=self.level)

    def verify(self):
        """Reads every version of every key back and checks it against its size and SHA-256;
        returns the number of versions checked, or raises DamagedError for the first damaged."""
        checked = 0
        for key in self.keys():
            def work(query, key_row):
                if key_row is None:
                    return 0  # deleted meanwhile
                rows = query("SELECT number, size, checksum, whole FROM qv_versions WHERE key_id = ? "
                             "ORDER BY number DESC", (key_row[0],))
                value, previous = None, None
                for number, size, checksum, whole in rows:
                    if whole:
                        base = b""
                    elif previous == number + 1:
                        base = value
                    else:
                        raise DamagedError(key, number, "no whole record above it")
                    value = self._decode(key, number, base, self._record(query, key, key_row[0], number), size)
                    if len(value) != size or hashlib.sha256(value).hexdigest() != checksum:
                        raise DamagedError(key, number, "its bytes differ from the size and SHA-256 stored with it")
                    previous = number
                return len(rows)
            checked += self._db.run(False, work, key)
        return checked

    def prune(self, key, keep):
        """Drops key's versions but the newest keep (at least 1); returns how many went.
        Older versions are deltas from newer ones, so nothing that stays is rewritten."""
        _check_key(key)
        if not isinstance(keep, int) or isinstance(keep, bool) or keep < 1:
            raise ValueError(f"keep must be an int of at least 1, not {keep!r}")

        def work(query, key_row):
            key_id, newest = key_row
            if not newest:
                raise KeyError(key)
            cut = newest - keep
            gone = query("SELECT COUNT(*) FROM qv_versions WHERE key_id = ? AND number <= ?", (key_id, cut))[0][0]
            query("DELETE FROM qv_chunks WHERE key_id = ? AND number <= ?", (key_id, cut))
            query("DELETE FROM qv_versions WHERE key_id = ? AND number <= ?", (key_id, cut))
            return gone

        return self._db.run(True, work, key)

    def delete(self, key):
        """Removes key and all its versions (a later put starts again at 1). KeyError if none."""
        _check_key(key)

        def work(query, key_row):
            key_id, newest = key_row
            query("DELETE FROM qv_chunks WHERE key_id = ?", (key_id,))
            query("DELETE FROM qv_versions WHERE key_id = ?", (key_id,))
            query("DELETE FROM qv_keys WHERE id = ?", (key_id,))
            if not newest:
                raise KeyError(key)  # the row this transaction made is rolled back
            return None

        return self._db.run(True, work, key)
