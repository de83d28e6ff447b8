"""quorvane: fast CBOR and compact binary deltas for Python, and their command line.

The native module ``quorvane_core`` holds the library; this package is its command line
(``quorvane``, also ``python -m quorvane``). Each function's own ``help()`` says what it
takes, returns and raises.

quorvane_core.cbor -- CBOR (RFC 8949)
    encode(value, *, default=None, deterministic=False, ...) -> bytes
        One CBOR data item, lossless: the built-in types, datetime, date, Decimal, UUID,
        sets, big integers, Enum members, dataclasses and numpy scalars as the standard
        tags; anything else goes to default(obj) or raises TypeError naming where it sits.
        deterministic=True gives equal bytes for equal values (RFC 8949 core deterministic).
    dumps(value, indefinite=True, max_depth=0) -> bytes
        One CBOR data item from None, bool, int (-2**63 .. 2**64 - 1), float, str, bytes,
        list, tuple and dict, nested freely; every float in the narrowest exact width.
    loads(data, max_depth=0, *, tag_hook=None, object_hook=None, standard_tags=True)
        One CBOR data item back into Python values, from any contiguous buffer, safely on
        hostile input; raises CBORDecodeError (a ValueError) with the byte offset.
    dump(value, fp, **options), load(fp, **options), iter_loads(data, ...)
        Files, and CBOR sequences (items one after another, as in an appended log).
    Tag(tag, value), Simple(value)
        Tags and simple values that have no Python type of their own, as loads gives them.

quorvane_core.delta -- binary deltas between two byte values
    diff(old_value, new_value)
        A compact delta by an exact in-order search (any contiguous buffer, as below).
    diff_blocks(old_value, new_value, *, compact=False)
        A delta in the same format in linear time, finding moved and repeated blocks too:
        the choice for large values and builds of programs.
    patch(old_value, diff)
        The new value from the old one and a delta; ValueError for a damaged delta.
    compress(old_value, new_value, *, level=...) / decompress(old_value, data, *, max_size=...)
        A self-checking, entropy-coded delta: the smallest, for storing and shipping.
    Every function takes any contiguous buffer (bytes, bytearray, memoryview, mmap, a numpy
    array, a result) or a PythonInBuf. Results are PythonOutBuf objects: read them with
    bytes(result) or memoryview(result), or as bytes (result[i], result[i:j], iteration).
    The raw delta format carries no checksum: keep a hash of both values beside it.

The command line (``quorvane --help``, and ``quorvane COMMAND --help`` for each command):

    quorvane diff [--blocks] OLD NEW -o DELTA      raw delta (diff or diff_blocks)
    quorvane patch OLD DELTA -o NEW                applies a raw delta
    quorvane compress OLD NEW -o DELTA             self-checking delta
    quorvane decompress OLD DELTA -o NEW           applies it
    quorvane cbor-to-json IN [-o OUT] [--pretty]   CBOR as JSON
    quorvane json-to-cbor IN [-o OUT]              and back

``-`` stands for standard input or output. An existing output file is replaced only with
``-f``, and only once the new one is complete. Every error ends the command with a one-line
message and a non-zero exit status (2 for a wrong command line, 130 for Ctrl-C).
"""

from quorvane.cli import main

__all__ = ["main"]
