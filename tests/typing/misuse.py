"""Calls the stubs must reject: each line below is a type error."""
from quorvane_core import cbor, delta

cbor.dumps({1, 2}, max_depth="deep")
delta.diff("old", "new")
size: str = len(bytes(delta.patch(b"a", b"")))
