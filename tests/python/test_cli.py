"""The command line, run as a subprocess (python -m quorvane, and the installed console script):
round trips through files and pipes against the library's own results, every error exit, the
CBOR <-> JSON mapping as a property, --version and --help."""
import importlib.metadata
import json
import math
import os
import pathlib
import pydoc
import random
import signal
import subprocess
import sys
import sysconfig

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quorvane
import quorvane_core
from quorvane import cbor_json
from quorvane_core import cbor, delta

HAS_COMPRESS = hasattr(delta, "compress")
needs_compress = pytest.mark.skipif(not HAS_COMPRESS, reason="this quorvane_core has no delta.compress")


def run(*args, stdin=b"", cwd=None):
    return subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], input=stdin,
                          capture_output=True, cwd=cwd, timeout=300)


def ok(done):
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout


@pytest.fixture(scope="module")
def values(tmp_path_factory):
    """An old and a new value with edits, moves and a repeat, as files."""
    rng = random.Random(22)
    old = bytes(rng.getrandbits(8) for _ in range(150_000)) + b"text line\n" * 2000
    new = bytearray(old)
    new[1000:1010] = b"edited!!!!"
    new[5000:5000] = old[90_000:95_000]
    new += old[:3000]
    folder = tmp_path_factory.mktemp("values")
    (folder / "old").write_bytes(old)
    (folder / "new").write_bytes(bytes(new))
    (folder / "empty").write_bytes(b"")
    return folder, old, bytes(new)


DELTAS = {  # command line -> the library's own delta, the oracle
    "diff": (["diff"], ["patch"], lambda old, new: bytes(delta.diff(old, new))),
    "diff --blocks": (["diff", "--blocks"], ["patch"], lambda old, new: bytes(delta.diff_blocks(old, new))),
    "compress": (["compress"], ["decompress"], lambda old, new: bytes(delta.compress(old, new)) if HAS_COMPRESS else None),
}


@pytest.mark.parametrize("kind", DELTAS, ids=list(DELTAS))
@pytest.mark.parametrize("pair", [("old", "new"), ("empty", "new"), ("old", "empty")])
def test_deltas_round_trip_through_files_and_pipes(values, tmp_path, kind, pair):
    if kind == "compress" and not HAS_COMPRESS:
        pytest.skip("this quorvane_core has no delta.compress")
    folder, _, _ = values
    make, apply, library = DELTAS[kind]
    old_path, new_path = folder / pair[0], folder / pair[1]
    old, new = old_path.read_bytes(), new_path.read_bytes()
    expected = library(old, new)

    ok(run(*make, old_path, new_path, "-o", tmp_path / "d"))
    assert (tmp_path / "d").read_bytes() == expected
    ok(run(*apply, old_path, tmp_path / "d", "-o", tmp_path / "n"))
    assert (tmp_path / "n").read_bytes() == new

    assert ok(run(*make, old_path, "-", "-o", "-", stdin=new)) == expected  # the new value from a pipe
    assert ok(run(*make, "-", new_path, "-o", "-", stdin=old)) == expected
    assert ok(run(*apply, old_path, "-", "-o", "-", stdin=expected)) == new
    assert ok(run(*apply, "-", tmp_path / "d", "-o", "-", stdin=old)) == new


def test_progress_lines_name_the_phases_and_the_ratio(values, tmp_path):
    folder, _, new = values
    done = run("diff", "--blocks", "--progress", folder / "old", folder / "new", "-o", tmp_path / "d")
    assert ok(done) == b""
    lines = done.stderr.decode().splitlines()
    assert lines[0].startswith("quorvane: read ") and "diff_blocks..." in lines[1]
    size = (tmp_path / "d").stat().st_size
    assert lines[-1].startswith(f"quorvane: {folder / 'new'} => {tmp_path / 'd'}: {100 * size / len(new):.2f}% (")
    assert run("diff", "--quiet", "-f", folder / "old", folder / "new", "-o", tmp_path / "d").stderr == b""
    assert run("diff", "-f", folder / "old", folder / "new", "-o", tmp_path / "d").stderr == b""  # not a terminal


def test_progress_on_a_terminal_and_no_binary_to_one(values, tmp_path):
    pty = pytest.importorskip("pty")
    select = pytest.importorskip("select")
    folder, _, _ = values
    main, side = pty.openpty()

    def on_terminal(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
        done = subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=stderr, timeout=120)
        shown = b""
        while select.select([main], [], [], 0.5)[0]:
            shown += os.read(main, 65536)
        return done, shown.decode()

    try:
        done, shown = on_terminal("diff", folder / "old", folder / "new", "-o", tmp_path / "d", stderr=side)
        assert done.returncode == 0 and shown.startswith("quorvane: ") and "% (" in shown and shown.count("\n") == 1
        done, shown = on_terminal("diff", "-q", "-f", folder / "old", folder / "new", "-o", tmp_path / "d", stderr=side)
        assert done.returncode == 0 and shown == ""
        done, shown = on_terminal("diff", folder / "old", folder / "new", "-o", "-", stdout=side)
        assert done.returncode == 1 and done.stderr.startswith(b"quorvane: error: refusing to write binary data")
        assert shown == ""
    finally:
        os.close(main)
        os.close(side)


# --- CBOR <-> JSON ------------------------------------------------------------------------

def same(a, b):
    """Equal values of equal types, NaN equal to NaN and -0.0 apart from 0.0."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if type(a) in (list, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return len(a) == len(b) and all(same(x, y) and same(a[x], b[y]) for x, y in zip(a, b))
    if type(a) is cbor.Tag:
        return a.tag == b.tag and same(a.value, b.value)
    return a == b


SIMPLE = st.sampled_from([*range(0, 20), *range(32, 256)]).map(cbor.Simple) | st.just(cbor.undefined)
TAG_NUMBERS = st.one_of(st.integers(0, 1), st.integers(4, 2**64 - 1))  # 2 and 3 are bignums: read as int
KEYS = st.recursive(st.one_of(st.text(max_size=5), st.sampled_from(["$bytes", "$map", "$"]), st.integers(),
                              st.floats(allow_nan=False), st.binary(max_size=4), st.booleans(), st.none()),
                    lambda inner: st.lists(inner, max_size=3).map(tuple), max_leaves=6)
VALUES = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.integers(-2**64, 2**64 - 1), st.floats(),
              st.text(), st.binary(), SIMPLE),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(KEYS, inner, max_size=4),
                            st.builds(cbor.Tag, TAG_NUMBERS, inner)),
    max_leaves=20)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(VALUES)
def test_json_form_and_cbor_writer_are_exact_inverses(value):
    text = json.dumps(cbor_json.value_to_json(value, typed=True), allow_nan=False)
    assert same(cbor_json.json_to_value(json.loads(text)), value)
    try:
        data = cbor_json.encode(value)
    except cbor_json.MappingError as error:  # a standard tag around content it does not allow
        assert str(error).startswith("cannot write tag ")
        return
    assert same(cbor.loads(data, standard_tags=False), value)
    try:
        plain = cbor.dumps(value, False)
    except (TypeError, RuntimeError):
        return  # tags, simple values or bignums: no other writer to compare with
    if same(cbor.loads(plain, standard_tags=False), value):  # dumps writes undefined as false (its truth)
        assert data == plain


SAMPLE = {"text": "h\u00e9llo", "n": [0, -1, 2**64 - 1, -2**64, 2**70, 1.5, -0.0, 1e300, math.nan, math.inf, -math.inf],
          "raw": b"\x00\xff", "$dollar": True, 7: None, (1, (2, b"")): [],
          "tagged": cbor.Tag(1, 1.5e9), "simple": [cbor.Simple(0), cbor.undefined, cbor.Simple(255)]}


@pytest.mark.parametrize("pretty", [["--typed"], ["--typed", "--pretty"]])
def test_json_round_trips_through_files_and_pipes(tmp_path, pretty):
    (tmp_path / "a.cbor").write_bytes(cbor_json.encode(SAMPLE))
    text = ok(run("cbor-to-json", tmp_path / "a.cbor", *pretty))
    assert same(cbor_json.json_to_value(json.loads(text)), SAMPLE)
    assert ok(run("cbor-to-json", "-", *pretty, stdin=(tmp_path / "a.cbor").read_bytes())) == text
    ok(run("cbor-to-json", tmp_path / "a.cbor", "-o", tmp_path / "a.json", *pretty))
    assert (tmp_path / "a.json").read_bytes() == text
    ok(run("json-to-cbor", "--typed", tmp_path / "a.json", "-o", tmp_path / "b.cbor"))
    assert same(cbor.loads((tmp_path / "b.cbor").read_bytes(), standard_tags=False), SAMPLE)
    assert ok(run("json-to-cbor", "--typed", "-", stdin=text)) == (tmp_path / "b.cbor").read_bytes()
    assert ok(run("json-to-cbor", "--typed", "-", stdin=b'[NaN, -Infinity, {"$float": "Infinity"}]')) == bytes.fromhex("83f97e00f9fc00f97c00")


# --- every error: a non-zero exit status and one line, never a traceback ------------------

def error_cases(folder, out):
    old, new = folder / "old", folder / "new"
    good = bytes(delta.diff(old.read_bytes(), new.read_bytes()))
    (folder / "good.delta").write_bytes(good)
    (folder / "cut.delta").write_bytes(good[:-1])
    (folder / "bad.json").write_bytes(b'{"a": [1, 2}')
    (folder / "latin1.json").write_bytes(b'"caf\xe9"')
    (folder / "bad.cbor").write_bytes(b"\x9f\x01")
    (folder / "deep.cbor").write_bytes(b"\x81" * 100_000 + b"\x00")
    cases = {
        "missing file": (["patch", folder / "missing", folder / "good.delta", "-o", out], b"", 1,
                         f"quorvane: error: cannot read {folder / 'missing'}: No such file or directory"),
        "unreadable file (a folder)": (["diff", folder, new, "-o", out], b"", 1,
                                       f"quorvane: error: cannot read {folder}: Is a directory"),
        "wrong old value": (["patch", folder / "empty", folder / "good.delta", "-o", out], b"", 1,
                            f"quorvane: error: {folder / 'good.delta'}: invalid delta at byte "),
        "damaged delta": (["patch", old, folder / "cut.delta", "-o", out], b"", 1,
                          f"quorvane: error: {folder / 'cut.delta'}: invalid delta at byte "),
        "damaged delta from a pipe": (["patch", old, "-", "-o", "-"], b"\x5f", 1,
                                      "quorvane: error: <stdin>: invalid delta at byte 0"),
        "invalid JSON": (["json-to-cbor", folder / "bad.json", "-o", out], b"", 1,
                         f"quorvane: error: {folder / 'bad.json'}: invalid JSON: "),
        "JSON not in UTF-8": (["json-to-cbor", folder / "latin1.json", "-o", out], b"", 1,
                              f"quorvane: error: {folder / 'latin1.json'}: invalid JSON: not UTF-8 text"),
        "unknown $ form": (["json-to-cbor", "--typed", "-", "-o", out], b'{"$byte": "AA=="}', 1,
                           "quorvane: error: <stdin>: unknown form {$byte}"),
        "bad base64": (["json-to-cbor", "--typed", "-", "-o", out], b'{"$bytes": "A"}', 1,
                       'quorvane: error: <stdin>: "$bytes" is not valid base64'),
        "tag out of range": (["json-to-cbor", "--typed", "-", "-o", out], b'{"$tag": -1, "$value": 0}', 1,
                             'quorvane: error: <stdin>: "$tag": Tag number must be'),
        "invalid CBOR": (["cbor-to-json", folder / "bad.cbor", "-o", out], b"", 1,
                         f"quorvane: error: {folder / 'bad.cbor'}: CBOR decode error at byte 2: truncated"),
        "empty CBOR": (["cbor-to-json", folder / "empty", "-o", out], b"", 1,
                       f"quorvane: error: {folder / 'empty'}: CBOR decode error at byte 0"),
        "CBOR nested too deeply": (["cbor-to-json", folder / "deep.cbor", "-o", out], b"", 1,
                                   f"quorvane: error: {folder / 'deep.cbor'}: nested deeper than the recursion limit"),
        "JSON nested too deeply": (["json-to-cbor", "-", "-o", out], b"[" * 100_000 + b"]" * 100_000, 1,
                                   "quorvane: error: <stdin>: nested deeper than the recursion limit"),
        "output folder missing": (["diff", old, new, "-o", folder / "no" / "d"], b"", 1,
                                  f"quorvane: error: cannot write {folder / 'no' / 'd'}: No such file or directory"),
        "output is a folder": (["cbor-to-json", "-", "-o", folder], b"\x00", 1,
                               f"quorvane: error: cannot write {folder}: Is a directory"),
        "output is an input": (["diff", old, new, "-o", new], b"", 1,
                               f"quorvane: error: the output {new} is also an input"),
        "two inputs from standard input": (["diff", "-", "-", "-o", out], b"", 1,
                                           "quorvane: error: only one input can be standard input"),
        "no output given": (["diff", old, new], b"", 2, "usage: quorvane diff"),
        "unknown command": (["unpack", old], b"", 2, "usage: quorvane"),
        "not a size": (["decompress", old, new, "-o", out, "--max-size", "lots"], b"", 2, "usage: quorvane decompress"),
    }
    if HAS_COMPRESS:
        compressed = bytes(delta.compress(old.read_bytes(), new.read_bytes()))
        (folder / "good.qvd").write_bytes(compressed)
        (folder / "cut.qvd").write_bytes(compressed[:-1])
        cases["decompress: wrong old value"] = (["decompress", new, folder / "good.qvd", "-o", out], b"", 1,
                                                f"quorvane: error: {folder / 'good.qvd'}: ")
        cases["decompress: damaged data"] = (["decompress", old, folder / "cut.qvd", "-o", out], b"", 1,
                                             f"quorvane: error: {folder / 'cut.qvd'}: ")
        cases["decompress: larger than --max-size"] = (["decompress", old, folder / "good.qvd", "-o", out,
                                                        "--max-size", "1K"], b"", 1, "quorvane: error: ")
    else:
        cases["compress missing from this quorvane_core"] = (["compress", old, new, "-o", out], b"", 1,
                                                            "quorvane: error: this quorvane_core (")
    return cases


def test_every_error_exits_with_one_line(values, tmp_path):
    folder, _, _ = values
    out = tmp_path / "out"
    failures = []
    for case, (args, stdin, status, prefix) in error_cases(folder, out).items():
        done = run(*args, stdin=stdin)
        message = done.stderr.decode(errors="replace")
        lines = message.splitlines()
        if (done.returncode != status or "Traceback" in message or done.stdout
                or not (lines[-1:] and (lines[0] if status == 1 else message).startswith(prefix))
                or (status == 1 and len(lines) != 1) or out.exists()):
            failures.append(f"{case}: exit {done.returncode}, stderr {message!r}, out {out.exists()}")
    assert not failures, "\n".join(failures)


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="PyPy sees Ctrl-C only when diff returns")
def test_ctrl_c_exits_130_and_leaves_no_output(tmp_path):
    rng = random.Random(5)
    size = 4 << 20  # unrelated values: several seconds of diff
    (tmp_path / "old").write_bytes(rng.getrandbits(8 * size).to_bytes(size, "little"))
    (tmp_path / "new").write_bytes(rng.getrandbits(8 * size).to_bytes(size, "little"))
    process = subprocess.Popen([sys.executable, "-m", "quorvane", "diff", "--progress", tmp_path / "old", tmp_path / "new",
                                "-o", tmp_path / "d"], stderr=subprocess.PIPE)
    seen = b""
    while b"diff..." not in seen:
        line = process.stderr.readline()
        assert line, "ended before the diff"
        seen += line
    process.send_signal(signal.SIGINT)
    rest = process.stderr.read()
    assert process.wait(timeout=120) == 130
    assert rest == b"quorvane: error: interrupted\n"
    assert not (tmp_path / "d").exists()


# --- --version, --help, the console script, help(quorvane) --------------------------------

def test_version_and_help():
    version = importlib.metadata.version("quorvane-core")
    assert ok(run("--version")).decode().startswith(f"quorvane {version}, quorvane_core ")
    text = ok(run("--help")).decode()
    for command in ("diff", "patch", "compress", "decompress", "cbor-to-json", "json-to-cbor", "examples:"):
        assert command in text
    for command in ("diff", "patch", "compress", "decompress", "cbor-to-json", "json-to-cbor"):
        assert "example" in ok(run(command, "--help")).decode()
    assert '{"$bytes": "<base64>"}' in ok(run("json-to-cbor", "--help")).decode()


def test_the_wheel_installs_the_console_script_and_the_package():
    script = pathlib.Path(sysconfig.get_path("scripts")) / ("quorvane.exe" if os.name == "nt" else "quorvane")
    assert script.exists(), f"no console script {script}"
    done = subprocess.run([str(script), "--version"], capture_output=True, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith(b"quorvane ")
    overview = pydoc.render_doc(quorvane, renderer=pydoc.plaintext)
    for name in ("quorvane_core.cbor", "dumps(", "loads(", "diff_blocks(", "patch(", "compress(", "json-to-cbor"):
        assert name in overview
    assert vars(quorvane_core).get("__doc__") is None  # the extension itself keeps having no docstring
