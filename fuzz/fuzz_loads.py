"""Fuzzes cbor.loads through the binding with atheris (run by scripts/fuzz.sh loads).

The module is built with coverage instrumentation and address and undefined-behaviour
checks, so libFuzzer steers by the decoder's own branches and any memory error, reference
count slip that frees an object twice, or undefined operation stops the run. Each input must
decode or raise CBORDecodeError (or RecursionError) naming a byte offset; a decoded value that
dumps can write must read back the same from dumps' output, in both length forms.
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
    if isinstance(a, cbor.Tag):
        return a.tag == b.tag and same(a.value, b.value)
    return a == b


def test_one_input(data: bytes) -> None:
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


def check_value(data: bytes, value: object) -> None:
    assert same(cbor.loads(bytearray(data)), value)
    for indefinite in (True, False):
        try:
            encoded = cbor.dumps(value, indefinite)
        except (TypeError, RuntimeError):  # Tag, Simple, integers beyond dumps' range
            return
        assert same(cbor.loads(encoded), value), (data, encoded)


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
