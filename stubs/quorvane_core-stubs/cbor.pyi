from typing import Mapping, Sequence, SupportsIndex, Union

__version__: str

# What dumps writes: None, booleans, integers from -2**63 to 2**64 - 1, floats, text, bytes,
# and lists, tuples and dicts of these, nested freely. Objects with __index__ are written as
# integers and objects with a numeric truth value (complex, for example) as booleans.
Value = Union[
    None,
    bool,
    int,
    float,
    complex,
    str,
    bytes,
    SupportsIndex,
    Sequence["Value"],
    Mapping["Value", "Value"],
]

def dumps(value: Value, indefinite: bool = True, max_depth: int = 0) -> bytes: ...

from typing import Any

from typing_extensions import Buffer

# What loads reads: the values above (lists for arrays, tuples for arrays inside map keys),
# bignums as int, and Tag and Simple for tags and simple values without a Python type.
class CBORDecodeError(ValueError): ...

class Tag:
    def __init__(self, tag: int, value: object) -> None: ...
    @property
    def tag(self) -> int: ...
    @property
    def value(self) -> object: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

class Simple:
    def __init__(self, value: int) -> None: ...
    @property
    def value(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

def loads(data: Buffer, max_depth: int = 0) -> Any: ...
