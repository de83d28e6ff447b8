"""Calls the stubs must reject: each line below is a type error."""
from datetime import timedelta
from decimal import Decimal

from quorvane_core import cbor, delta

cbor.dumps({1, 2}, max_depth="deep")
delta.diff("old", "new")
size: str = len(bytes(delta.patch(b"a", b"")))
cbor.dumps(range(3))  # written as true: convert to a list first
cbor.dumps([Decimal("9.99"), timedelta(days=1)])  # written as true, true
delta.diff_blocks("old", b"new")  # text is not a buffer
delta.compress(b"old", "new", level=3)
delta.decompress(b"old", b"data", 100)
cbor.encode(complex(1, 3))  # not written faithfully: give default= a converter
cbor.encode([1], default="repr")
offset: str = cbor.iter_loads(b"").offset
cbor.loads(b"", tag_hook=1)
