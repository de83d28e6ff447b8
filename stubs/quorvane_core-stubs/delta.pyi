from typing import ClassVar, Tuple, Type, Union

from typing_extensions import Buffer

__version__: str

class PythonInBuf:
    """A bytes object wrapped once, to pass the same value to many calls."""

    def __init__(self, arg0: bytes, /) -> None: ...
    def __reduce__(self) -> Tuple[Type[PythonInBuf], Tuple[bytes]]: ...

class PythonOutBuf:
    """A result: read it with bytes(result) or memoryview(result); len(result) and
    result == other (any bytes-like object) work as for bytes. Pickles as bytes."""

    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __len__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __reduce__(self) -> Tuple[Type[bytes], Tuple[bytes]]: ...

Input = Union[bytes, PythonInBuf]
# diff_blocks reads any contiguous buffer in place: bytes, bytearray, memoryview, mmap,
# array.array, a PythonOutBuf; or a PythonInBuf.
BufferInput = Union[Buffer, PythonInBuf]

def diff(old_value: Input, new_value: Input) -> PythonOutBuf: ...
def patch(old_value: Input, diff: Input) -> PythonOutBuf: ...
def diff_blocks(old_value: BufferInput, new_value: BufferInput, *, compact: bool = False) -> PythonOutBuf: ...
