"""What the tests expect of deltas."""


def whole_value_delta(value):
    """The delta that holds the whole new value: one CBOR byte string."""
    n = len(value)
    if n < 24:
        head = bytes([0x40 + n])
    elif n < 256:
        head = bytes([0x58, n])
    elif n < 65536:
        head = b"\x59" + n.to_bytes(2, "big")
    else:
        head = b"\x5a" + n.to_bytes(4, "big")
    return head + value
