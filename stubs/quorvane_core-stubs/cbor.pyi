from typing import Any, Literal, Mapping, Protocol, SupportsIndex, Tuple, TypeVar, Union, final

__version__: str

_T_co = TypeVar("_T_co", covariant=True)

# A list (or list subclass) of values, read-only and so covariant: list[int] is accepted
# where a list of values is expected. A range or another sequence type is not a list:
# dumps would write it as a boolean.
class _List(Protocol[_T_co]):
    def __getitem__(self, index: int, /) -> _T_co: ...
    def __len__(self) -> int: ...
    def pop(self, index: SupportsIndex = -1, /) -> _T_co: ...

# What dumps writes: None, booleans, integers from -2**63 to 2**64 - 1, floats, text, bytes,
# and lists, tuples and dicts of these, nested freely (any value may be a key). Objects with
# __index__ are written as integers and complex numbers as booleans. Other objects with a
# truth value (Decimal, Fraction, timedelta, range, ...) would also be written as booleans;
# they are left out here so that a type checker flags them: convert them first.
Value = Union[
    None,
    bool,
    int,
    float,
    complex,
    str,
    bytes,
    SupportsIndex,
    _List["Value"],
    Tuple["Value", ...],
    Mapping[Any, "Value"],
]

def dumps(value: Value, indefinite: bool = True, max_depth: int = 0) -> bytes: ...

from typing import Any

from typing_extensions import Buffer

# What loads reads: the values above (lists for arrays, tuples for arrays inside map keys),
# bignums as int, the standard tags as datetime, date, Decimal, Fraction (30), re.Pattern (35),
# email.message.Message (36), UUID, ipaddress addresses, networks and interfaces (52, 54, 260,
# 261) and set, undefined as the undefined object, and Tag and Simple for tags and simple
# values without a Python type.
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

@final
class UndefinedType:
    def __new__(cls) -> UndefinedType: ...
    def __bool__(self) -> Literal[False]: ...

# CBOR's undefined (simple value 23): the one UndefinedType object.
undefined: UndefinedType

def loads(
    data: Buffer,
    max_depth: int = 0,
    *,
    tag_hook: Callable[[Tag], object] | None = None,
    object_hook: Callable[[dict[Any, Any]], object] | None = None,
    standard_tags: bool = True,
) -> Any: ...

# ---------------------------------------------------------------------------- encode
import datetime as _datetime
import email.message as _email_message
import enum as _enum
import ipaddress as _ipaddress
import re as _re
import uuid as _uuid
from collections.abc import Callable, Iterator
from decimal import Decimal as _Decimal
from fractions import Fraction as _Fraction
from typing import AbstractSet, ClassVar, overload

class _Dataclass(Protocol):
    __dataclass_fields__: ClassVar[dict[str, Any]]

# What encode writes faithfully: None, bool, int (any size), float, str, bytes, bytearray,
# memoryview, aware datetime (a naive one needs timezone=), date, Decimal, UUID, Fraction,
# ipaddress addresses, networks and interfaces, str patterns, email messages, undefined, Tag,
# Simple, Enum members (by value), dataclass instances (by field), and lists, tuples, dicts,
# sets and frozensets of these. numpy scalars are written as their numbers too (numpy's float64 is a
# float; its integer types are accepted where SupportsIndex is, through default=object).
# Anything else needs default=.
Encodable = Union[
    None,
    bool,
    int,
    float,
    str,
    bytes,
    bytearray,
    memoryview,
    _datetime.date,
    _Decimal,
    _uuid.UUID,
    _Fraction,
    _ipaddress.IPv4Address,
    _ipaddress.IPv6Address,
    _ipaddress.IPv4Network,
    _ipaddress.IPv6Network,
    _re.Pattern[str],
    _email_message.Message,
    UndefinedType,
    Tag,
    Simple,
    _enum.Enum,
    _Dataclass,
    _List["Encodable"],
    Tuple["Encodable", ...],
    Mapping[Any, "Encodable"],
    AbstractSet[Any],
]

@overload
def encode(
    value: Encodable,
    *,
    default: None = None,
    deterministic: bool = False,
    max_depth: int = 0,
    timezone: _datetime.tzinfo | None = None,
    datetime_as_timestamp: bool = False,
) -> bytes: ...
@overload
def encode(
    value: object,
    *,
    default: Callable[[Any], object],
    deterministic: bool = False,
    max_depth: int = 0,
    timezone: _datetime.tzinfo | None = None,
    datetime_as_timestamp: bool = False,
) -> bytes: ...

class _Writer(Protocol):
    def write(self, data: bytes, /) -> object: ...

class _Reader(Protocol):
    def read(self) -> Buffer: ...

@overload
def dump(
    value: Encodable,
    fp: _Writer,
    *,
    default: None = None,
    deterministic: bool = False,
    max_depth: int = 0,
    timezone: _datetime.tzinfo | None = None,
    datetime_as_timestamp: bool = False,
) -> None: ...
@overload
def dump(
    value: object,
    fp: _Writer,
    *,
    default: Callable[[Any], object],
    deterministic: bool = False,
    max_depth: int = 0,
    timezone: _datetime.tzinfo | None = None,
    datetime_as_timestamp: bool = False,
) -> None: ...
def load(
    fp: _Reader,
    *,
    max_depth: int = 0,
    tag_hook: Callable[[Tag], object] | None = None,
    object_hook: Callable[[dict[Any, Any]], object] | None = None,
    standard_tags: bool = True,
) -> Any: ...

class SequenceIterator(Iterator[Any]):
    def __iter__(self) -> SequenceIterator: ...
    def __next__(self) -> Any: ...
    @property
    def offset(self) -> int: ...
    @property
    def truncated(self) -> bool: ...

def iter_loads(
    data: Buffer,
    max_depth: int = 0,
    *,
    tag_hook: Callable[[Tag], object] | None = None,
    object_hook: Callable[[dict[Any, Any]], object] | None = None,
    standard_tags: bool = True,
) -> SequenceIterator: ...
