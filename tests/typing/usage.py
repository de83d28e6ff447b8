"""Typical use of the module; type-checked by mypy --strict against the installed stubs."""
from __future__ import annotations  # dict[...] and list[...] in annotations on 3.8
import dataclasses
import datetime
import decimal
import io
import uuid

from quorvane_core import cbor, delta


def encode(record: dict[str, object]) -> bytes:
    return cbor.dumps({"id": 7, "values": [1.5, None, True], "raw": b"\x00", "pair": (1, 2)}) + cbor.dumps(
        [record["id"] if isinstance(record["id"], int) else 0], indefinite=False, max_depth=4)


def encode_typed(counts: dict[str, int], rows: list[list[float]], pair: tuple[int, str]) -> bytes:
    return cbor.dumps({"counts": counts, "rows": rows, "pair": pair, 1: [counts]})


def ship(old: bytes, new: bytes) -> bytes:
    result: delta.PythonOutBuf = delta.diff(old, new)
    payload = bytes(result)
    view = memoryview(delta.patch(delta.PythonInBuf(old), payload))
    assert view.tobytes() == new
    return payload


def blocks(old: bytearray, new: memoryview) -> bool:
    result = delta.diff_blocks(old, new, compact=True)
    again = delta.diff_blocks(delta.PythonInBuf(bytes(old)), result)
    size: int = len(result) + len(again)
    return result == new and result != again and size > 0


version: str = cbor.__version__ + delta.__version__


def decode(data: bytes) -> list[object]:
    value = cbor.loads(data) if data else cbor.loads(bytearray(b"\x80"), max_depth=8)
    try:
        cbor.loads(memoryview(data)[1:])
    except cbor.CBORDecodeError as error:
        message: str = str(error)
        assert message
    tag = cbor.Tag(32, "http://example.com")
    number: int = tag.tag + cbor.Simple(23).value
    return [value, tag.value, number, {tag: 1, cbor.Simple(1): 2}]


def compressed(old: bytes, new: bytearray) -> bytes:
    data: bytes = delta.compress(old, memoryview(new), level=delta.MAX_LEVEL)
    return delta.decompress(bytearray(old), data, max_size=1 << 20) + delta.compress(old, new)[:delta.DEFAULT_LEVEL]


def encode_rich(when: datetime.datetime, amount: decimal.Decimal, tags: set[str]) -> bytes:
    @dataclasses.dataclass
    class Reading:
        sensor: str
        value: float

    record: dict[str, cbor.Encodable] = {
        "when": when, "amount": amount, "tags": tags, "id": uuid.UUID(int=1), "day": when.date(),
        "reading": Reading("t1", 21.5), "big": 2**80, "raw": bytearray(b"x"), "tag": cbor.Tag(99, [1])}
    out = io.BytesIO()
    cbor.dump(record, out, deterministic=True)
    cbor.dump(object(), out, default=repr)
    return cbor.encode(record) + cbor.encode(when.replace(tzinfo=None), timezone=datetime.timezone.utc) + \
        cbor.encode(complex(1, 2), default=lambda c: [c.real, c.imag]) + out.getvalue()


def read_log(data: bytes) -> tuple[list[object], int, bool]:
    items = cbor.iter_loads(data, tag_hook=lambda tag: tag.value, object_hook=dict)
    values = list(items)
    first = cbor.load(io.BytesIO(data), max_depth=10) if data else None
    return values + [first, cbor.loads(data, object_hook=len)], items.offset, items.truncated


def encode_cbor2_types() -> bytes:
    import email.message
    import fractions
    import ipaddress
    import re
    unset: cbor.UndefinedType = cbor.undefined
    return cbor.encode([fractions.Fraction(1, 3), ipaddress.ip_address("::1"), ipaddress.IPv4Network("10.0.0.0/8"),
                        re.compile("a+"), email.message.Message(), unset])
