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
