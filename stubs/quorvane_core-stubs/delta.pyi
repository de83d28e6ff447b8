from typing import Union

__version__: str

class PythonInBuf:
    """A bytes object wrapped once, to pass the same value to many calls."""

    def __init__(self, arg0: bytes, /) -> None: ...

class PythonOutBuf:
    """A result: read it with bytes(result) or memoryview(result)."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

Input = Union[bytes, PythonInBuf]

def diff(old_value: Input, new_value: Input) -> PythonOutBuf: ...
def patch(old_value: Input, diff: Input) -> PythonOutBuf: ...
def diff_blocks(old_value: Input, new_value: Input, *, compact: bool = False) -> PythonOutBuf: ...

from typing_extensions import Buffer

MAX_LEVEL: int
DEFAULT_LEVEL: int

def compress(old_value: Buffer, new_value: Buffer, *, level: int = 3) -> bytes: ...
def decompress(old_value: Buffer, data: Buffer, *, max_size: int = 4294967296) -> bytes: ...
