"""The demo on a user's files: the delta producers side by side, diff skipped where it would
be slow, and a one-line message for a file it cannot read."""
import pathlib
import random
import subprocess
import sys

import pytest

from conftest import randbytes

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def demo(*arguments):
    return subprocess.run([sys.executable, str(DEMO), *map(str, arguments)], capture_output=True, text=True,
                           timeout=300)




@pytest.fixture(scope="module")
def files(tmp_path_factory):
    rng = random.Random(5)
    folder = tmp_path_factory.mktemp("demo")
    small_old = randbytes(rng, 50000)
    large_old = randbytes(rng, 1_200_000)
    contents = {
        "small.old": small_old,
        "small.new": small_old[:20000] + b"an edit" + small_old[20100:],
        "large.old": large_old,
        "large.new": large_old[:300_000] + randbytes(rng, 900_000),    # differs a lot
        "large.near": large_old[:600_000] + b"an edit" + large_old[600_010:],
    }
    for name, data in contents.items():
        (folder / name).write_bytes(data)
    return folder


def rows(out):
    return [line.split()[0] for line in out.splitlines()
            if line.strip().startswith("delta.") and "skipped:" not in line]


@pytest.mark.parametrize("old, new, options, diff_runs", [
    ("small.old", "small.new", [], True),
    ("large.old", "large.near", [], True),          # large, but few differences
    ("large.old", "large.new", [], False),          # large and differing a lot
    ("large.old", "large.new", ["--diff"], True),
])
def test_side_by_side(files, old, new, options, diff_runs):
    run = demo(*options, files / old, files / new)
    assert run.returncode == 0, run.stdout + run.stderr
    assert rows(run.stdout) == ["delta.compress", "delta.diff_blocks", "delta.diff"]
    assert ("delta.diff skipped: the values are" in run.stdout) is (not diff_runs)
    assert "the hash check catches it" in run.stdout or "patch refuses it" in run.stdout
    assert "one flipped bit in the delta: decompress refuses it" in run.stdout


@pytest.mark.parametrize("arguments", [
    ["missing.old", "small.new"],
    ["small.old", "missing.new"],
    [".", "small.new"],
])
def test_unreadable_file_is_one_line(files, arguments):
    run = subprocess.run([sys.executable, str(DEMO), *arguments], capture_output=True, text=True, cwd=files,
                         timeout=60)
    assert run.returncode == 1 and run.stdout == ""
    assert run.stderr.startswith("demo: cannot read ") and run.stderr.count("\n") == 1


def test_tour_leads_with_encode_and_compress():
    """Without files the demo shows the lossless encoder and the compressed deltas first, the raw forms after."""
    run = demo()
    assert run.returncode == 0, run.stdout + run.stderr
    steps = [line for line in run.stdout.splitlines() if line[:2] in ("1.", "2.", "3.", "4.")]
    assert [step.split(":")[0] for step in steps] == [
        "1. cbor.encode", "2. delta.compress and delta.decompress", "3. The raw forms, delta.diff and delta.patch",
        "4. Storing a raw delta safely"]
    assert "reads back equal, datetimes, decimals, UUIDs and sets included: True" in run.stdout
    assert "decompress refuses it" in run.stdout
