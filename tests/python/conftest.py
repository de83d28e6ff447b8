"""What the Python tests share: the interpreter they run on, the messages they match, CBOR
heads and deltas built by hand, a value whose conversion changes its container, and the mark
of the tests that need memory for a 2 GiB value."""
import os
import sys

import pytest

CPYTHON = sys.implementation.name == "cpython"
PYPY = sys.implementation.name == "pypy"

# The binding library's message for a value that dumps has no encoding for, and dumps' own
# for an int beyond 64 bits (the value's text follows it).
CAST_FAILURE = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
OUT_OF_RANGE = "dumps received an integer out of range for both int64_t and uint64_t"


def cbor_head(major, argument, extra_width=0):
    """A head of the given major type, in the shortest form or a wider one."""
    widths = [w for w, top in ((0, 23), (1, 0xFF), (2, 0xFFFF), (4, 0xFFFFFFFF), (8, 2**64 - 1)) if argument <= top]
    width = widths[min(extra_width, len(widths) - 1)]
    if width == 0:
        return bytes([major << 5 | argument])
    return bytes([major << 5 | {1: 24, 2: 25, 4: 26, 8: 27}[width]]) + argument.to_bytes(width, "big")


def whole_value_delta(value):
    """The delta that holds the whole new value: one CBOR byte string."""
    return cbor_head(2, len(value)) + value


class Shrinker:
    """A truth value whose computation empties the list or dict being encoded."""

    def __init__(self, victim):
        self.victim = victim

    def __bool__(self):
        self.victim.clear()
        return True


def free_ram_bytes():
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


needs_memory_for_2_gib = pytest.mark.skipif(
    free_ram_bytes() < 8 * 2**30, reason="needs more than 8 GiB of free memory for a 2 GiB value"
)


# setrlimit's address-space limit, as the out-of-memory tests use it: qemu's user mode (which
# scripts/test-platforms.sh marks with QUORVANE_EMULATED) does not apply it to the program it
# emulates, and the sanitizer runtime needs the address space for itself.
limits_address_space = pytest.mark.skipif(
    bool(os.environ.get("QUORVANE_EMULATED")) or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="needs setrlimit(RLIMIT_AS) applied to this process (not under qemu or the sanitizers)",
)


def randbytes(rng, size):
    """rng.randbytes(size) (from 3.9), the same bytes, on 3.8 too."""
    return rng.getrandbits(size * 8).to_bytes(size, "little") if size else b""


# Under an emulated processor (scripts/test-platforms.sh runs the tests under qemu with
# --hypothesis-profile=emulated) every call takes several times as long: no deadline there.
# In CI (CI set, as .ci/run sets it) the property tests draw their examples from a seed fixed
# per test, so that whether a change lands does not depend on the draw; runs outside CI draw
# afresh each time and keep what failed in .hypothesis.
try:
    from hypothesis import settings as _hypothesis_settings
except ImportError:  # hypothesis is a test dependency, but conftest should not need it
    pass
else:
    _FIXED = dict(derandomize=True, database=None, print_blob=True) if os.environ.get("CI") else {}
    _hypothesis_settings.register_profile("emulated", deadline=None, max_examples=25, **_FIXED)
    if _FIXED:
        _hypothesis_settings.register_profile("fixed", deadline=None, **_FIXED)
        _hypothesis_settings.load_profile("fixed")
