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
