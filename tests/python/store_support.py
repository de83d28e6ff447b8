"""What the version store's tests share: the databases they run on (SQLite files, and fresh
databases on the PostgreSQL server that scripts/postgres.sh starts, named by
QUORVANE_TEST_POSTGRES), and helpers that reach under the store to its tables."""
import os
import time
import uuid

import pytest

POSTGRES_URL = os.environ.get("QUORVANE_TEST_POSTGRES", "")
DATABASES = ["sqlite", "postgresql"]


def _postgres_missing():
    """Why the PostgreSQL tests cannot run, or None. Under CI the server must be there."""
    if not POSTGRES_URL:
        return "QUORVANE_TEST_POSTGRES is not set: export QUORVANE_TEST_POSTGRES=\"$(bash scripts/postgres.sh)\""
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return "psycopg is not installed (scripts/setup.sh --tests installs it)"
    return None


class Database:
    """A fresh store database: `target` for store.open, `sql(statement, params)` beside it."""

    def __init__(self, kind, tmp_path):
        self.kind = kind
        if kind == "sqlite":
            self.target = str(tmp_path / "versions.db")
            return
        import psycopg
        self.name = "qv_" + uuid.uuid4().hex
        with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {self.name}")
        self.target = POSTGRES_URL.rsplit("/", 1)[0] + "/" + self.name

    def sql(self, statement, params=()):
        """Runs one statement (written with ?) on its own connection, committed; its rows."""
        if self.kind == "sqlite":
            import sqlite3
            conn = sqlite3.connect(self.target, isolation_level=None)
            try:
                return conn.execute(statement, params).fetchall()
            finally:
                conn.close()
        import psycopg
        with psycopg.connect(self.target, autocommit=True) as conn:
            with conn.cursor(binary=True) as cursor:
                cursor.execute(statement.replace("?", "%s"), params)
                return cursor.fetchall() if cursor.description else []

    def settle(self, seconds=60):
        """Waits until no other session is open on the database. A client killed after sending
        COMMIT leaves its server process to finish the transaction, so a version can still
        arrive after every writer process has exited."""
        if self.kind == "sqlite":
            return
        import psycopg
        deadline = time.monotonic() + seconds
        with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
            while True:
                others = conn.execute("SELECT count(*) FROM pg_stat_activity WHERE datname = %s",
                                      (self.name,)).fetchone()[0]
                if not others:
                    return
                assert time.monotonic() < deadline, f"{others} sessions still open on {self.name}"
                time.sleep(0.05)

    def drop(self):
        if self.kind == "postgresql":
            import psycopg
            with psycopg.connect(POSTGRES_URL, autocommit=True) as conn:
                conn.execute(f"DROP DATABASE IF EXISTS {self.name} WITH (FORCE)")


@pytest.fixture(params=DATABASES)
def database(request, tmp_path):
    if request.param == "postgresql":
        reason = _postgres_missing()
        if reason:
            # The test command's main run requires the server (it starts it and installs the
            # driver); the runs on the other interpreters, in clean environments, use SQLite.
            if os.environ.get("QUORVANE_REQUIRE_POSTGRES") == "1":
                pytest.fail("the PostgreSQL server is required here: " + reason)
            pytest.skip(reason)
    db = Database(request.param, tmp_path)
    yield db
    db.drop()
