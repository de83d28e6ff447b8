"""The installed type stubs: clean for ordinary use, strict enough to catch misuse."""
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
HERE = pathlib.Path(__file__).resolve().parent.parent / "typing"


def mypy(path):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(path)],
                          capture_output=True, text=True, cwd=HERE)


def test_usage_type_checks_cleanly():
    result = mypy(HERE / "usage.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_rejected():
    result = mypy(HERE / "misuse.py")
    assert result.returncode == 1
    assert result.stdout.count("error:") == 15, result.stdout


@pytest.mark.parametrize("version", ["3.10", "3.11", "3.12"])  # the oldest this mypy targets
def test_arrays_and_results_type_check_on_every_version(version):
    pytest.importorskip("numpy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version", version,
                             str(HERE / "arrays.py")], capture_output=True, text=True, cwd=HERE)
    assert result.returncode == 0, result.stdout + result.stderr
