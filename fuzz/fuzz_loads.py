"""Fuzzes cbor.loads through the binding with atheris (run by scripts/fuzz.sh loads).

The module is built with coverage instrumentation and address and undefined-behaviour
checks, so libFuzzer steers by the decoder's own branches and any memory error, reference
count slip that frees an object twice, or undefined operation stops the run. Each input must
decode or raise CBORDecodeError (or RecursionError) naming a byte offset; a decoded value that
dumps can write must read back the same from dumps' output, in both length forms; every
decoded value (standard tags decoded to datetime, date, Decimal, UUID and set included) must
read back the same from encode's output, and its deterministic encoding must be stable. The
same input is also read with tag_hook and object_hook (which sometimes raise) and as a CBOR
sequence with iter_loads.
"""
import math
import sys

import atheris

from quorvane_core import cbor


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or a == b
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return len(a) == len(b) and all(same(ka, kb) and same(va, vb)
                                        for (ka, va), (kb, vb) in zip(a.items(), b.items()))
    if isinstance(a, (set, frozenset)):
        return len(a) == len(b) and all(any(same(x, y) for y in b) for x in a)
    if isinstance(a, cbor.Tag):
        return a.tag == b.tag and same(a.value, b.value)
    return a == b


class HookError(Exception):
    pass


def tag_hook(tag):
    if tag.tag % 11 == 5:
        raise HookError(tag.tag)
    return ("tag", tag.tag, tag.value if tag.tag % 2 else None)


def object_hook(mapping):
    if len(mapping) == 7:
        raise HookError("seven")
    return ("map", len(mapping)) if len(mapping) % 2 else mapping


def test_one_input(data: bytes) -> None:
    check_hooks(data)
    check_sequence(data)
    try:
        value = cbor.loads(data)
    except cbor.CBORDecodeError as error:
        assert " at byte " in str(error), str(error)
        return
    except RecursionError:
        return
    try:
        check_value(data, value)
    except RecursionError:  # a value nested nearly as deep as the limit: too deep to compare here
        pass


def check_hooks(data: bytes) -> None:
    try:
        cbor.loads(data, tag_hook=tag_hook, object_hook=object_hook)
    except cbor.CBORDecodeError as error:
        assert " at byte " in str(error), str(error)
    except (RecursionError, HookError):
        pass


def check_sequence(data: bytes) -> None:
    reader = cbor.iter_loads(data, 64)
    try:
        for _ in reader:
            pass
    except cbor.CBORDecodeError as error:
        assert " at byte " in str(error), str(error)
        assert not reader.truncated
        return
    assert reader.offset == len(data) or reader.truncated
    assert reader.offset <= len(data)


def check_value(data: bytes, value: object) -> None:
    assert same(cbor.loads(bytearray(data)), value)
    items = list(cbor.iter_loads(data + data))
    assert len(items) == 2 and same(items[0], value) and same(items[1], value)
    encoded = cbor.encode(value)
    assert same(cbor.loads(encoded), value), (data, encoded)
    ordered = cbor.encode(value, deterministic=True)
    assert cbor.encode(cbor.loads(ordered), deterministic=True) == ordered, (data, ordered)
    if not plain(value):  # dumps writes a Decimal as a boolean, refuses datetimes and sets
        return
    for indefinite in (True, False):
        try:
            encoded = cbor.dumps(value, indefinite)
        except (TypeError, RuntimeError):  # Tag, Simple, integers beyond dumps' range
            return
        assert same(cbor.loads(encoded), value), (data, encoded)


def plain(value):
    """Whether value is built only of what loads made before the standard tags."""
    if isinstance(value, (list, tuple)):
        return all(plain(v) for v in value)
    if isinstance(value, dict):
        return all(plain(k) and plain(v) for k, v in value.items())
    if isinstance(value, cbor.Tag):
        return plain(value.value)
    return value is None or isinstance(value, (bool, int, float, str, bytes, cbor.Simple))


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
