"""The scale-out example: deltas of a directory of versions on a two-worker dask cluster of
processes. Marked `cluster` (deselect with -m "not cluster"); skipped without dask."""
import pathlib
import subprocess
import sys

import pytest

from quorvane_core import delta

pytest.importorskip("dask.distributed")
pytestmark = pytest.mark.cluster

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "many_values.py"


@pytest.mark.parametrize("exact", [False, True], ids=["diff_blocks", "diff"])
def test_example_on_a_two_worker_cluster(tmp_path, exact):
    versions, deltas = tmp_path / "versions", tmp_path / "deltas"
    command = [sys.executable, str(EXAMPLE), str(versions), "--make-sample", "5", "--sample-size", "200000",
               "--workers", "2", "--out", str(deltas)] + (["--exact"] if exact else [])
    run = subprocess.run(command, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    name = "diff" if exact else "diff_blocks"
    assert f"4 deltas by {name}:" in run.stdout and "every one patched back and checked" in run.stdout
    assert "2 worker processes:" in run.stdout
    paths = sorted(versions.iterdir())
    assert len(paths) == 5
    for old, new in zip(paths, paths[1:]):
        written = (deltas / (new.name + ".delta")).read_bytes()
        function = delta.diff if exact else delta.diff_blocks
        assert function(old.read_bytes(), new.read_bytes()) == written
        assert delta.patch(old.read_bytes(), written) == new.read_bytes()


@pytest.mark.parametrize("arguments, message", [
    (["missing-directory"], "not a directory"),
    (["one"], "needs two versions or more"),
])
def test_example_refuses_with_one_line(tmp_path, arguments, message):
    (tmp_path / "one").mkdir()
    (tmp_path / "one" / "v1").write_bytes(b"x")
    run = subprocess.run([sys.executable, str(EXAMPLE)] + arguments, capture_output=True, text=True,
                         cwd=tmp_path, timeout=60)
    assert run.returncode == 2 and run.stderr.strip().count("\n") == 0 and message in run.stderr
