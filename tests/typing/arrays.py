"""numpy arrays and PythonOutBuf results as arguments, and a result read as a sequence; type-checked
by mypy --strict for Python 3.10 to 3.12 (numpy's stubs declare __buffer__ only from 3.12 on)."""
from __future__ import annotations

import numpy
import numpy.typing

from quorvane_core import delta


def arrays(old: numpy.typing.NDArray[numpy.uint8], new: numpy.typing.NDArray[numpy.float64]) -> bytes:
    raw = delta.diff(old, new)
    again = delta.patch(old, raw)
    blocks = delta.diff_blocks(old, again)
    return delta.compress(old, new) + delta.decompress(old, delta.compress(old, blocks)) + bytes(raw)


def read(result: delta.PythonOutBuf) -> tuple[int, bytes, list[int], bool, str]:
    first: int = result[0]
    part: bytes = result[1:3]
    return first, part, list(result), 0 in result and b"ab" in result, result.hex(":")
