"""Errors of calls with wrong arguments: every function of the module names its arguments by
type and size, never by their contents (a 5 MB value gave a TypeError of 31 million
characters); level=True is refused; a MemoryError says what was being allocated."""
import array
import io
import os
import re
import subprocess
import sys
import textwrap

import pytest

import quorvane_core
from quorvane_core import _diff_path, cbor, delta

pytestmark = pytest.mark.skipif(sys.implementation.name != "cpython",
                                reason="PyPy's function objects keep the binding library's messages")

BIG = bytes(range(256)) * 4096  # 1 MiB, whose repr alone would be 4 million characters
BIG_NAME = "<bytes of 1,048,576 bytes>"
TEXT = "x" * 100_000
STRIDED = memoryview(BIG)[::2]

# function name, the call, what the message must name in "Invoked with: ..."
CALLS = [
    ("diff", lambda: delta.diff(BIG, None), f"{BIG_NAME}, None"),
    ("diff", lambda: delta.diff(BIG, TEXT), f"{BIG_NAME}, <str of 100,000 characters>"),
    ("diff", lambda: delta.diff(BIG, new=BIG), f"{BIG_NAME}; kwargs: new={BIG_NAME}"),
    ("patch", lambda: delta.patch(BIG, 5), f"{BIG_NAME}, 5"),
    ("patch", lambda: delta.patch(bytearray(BIG)), "<bytearray of 1,048,576 bytes>"),
    ("diff_blocks", lambda: delta.diff_blocks(BIG, BIG, True), f"{BIG_NAME}, {BIG_NAME}, True"),
    ("compress", lambda: delta.compress(BIG, BIG, 9), f"{BIG_NAME}, {BIG_NAME}, 9"),
    ("compress", lambda: delta.compress(BIG, BIG, level=3.0), f"{BIG_NAME}, {BIG_NAME}; kwargs: level=3.0"),
    ("compress", lambda: delta.compress(list(BIG), BIG), f"<list of 1,048,576 items>, {BIG_NAME}"),
    ("decompress", lambda: delta.decompress(BIG, "x"), f"{BIG_NAME}, <str of 1 character>"),
    ("decompress", lambda: delta.decompress(BIG, BIG, max_size=-1), f"{BIG_NAME}, {BIG_NAME}; kwargs: max_size=-1"),
    ("dumps", lambda: cbor.dumps(BIG, max_depth=1.5), f"{BIG_NAME}; kwargs: max_depth=1.5"),
    ("dumps", lambda: cbor.dumps({i: BIG for i in range(3)}, 1, 2, 3), "<dict of 3 items>, 1, 2, 3"),
    ("loads", lambda: cbor.loads(BIG, max_depth=-1), f"{BIG_NAME}; kwargs: max_depth=-1"),
    ("encode", lambda: cbor.encode(BIG, 1), f"{BIG_NAME}, 1"),
    ("encode", lambda: cbor.encode(10 ** 500, max_depth=None), "1" + "0" * 56 + "...; kwargs: max_depth=None"),
    ("dump", lambda: cbor.dump(BIG), BIG_NAME),
    ("load", lambda: cbor.load(), ""),
    ("iter_loads", lambda: cbor.iter_loads(BIG, max_depth="deep"), f"{BIG_NAME}; kwargs: max_depth=<str of 4 characters>"),
    ("__init__", lambda: delta.PythonInBuf(bytearray(BIG)), "<bytearray of 1,048,576 bytes>"),
    ("__init__", lambda: delta.PythonInBuf(array.array("d", [1.5] * 1000)), "<array of 8,000 bytes>"),
    ("__init__", lambda: delta.PythonInBuf(STRIDED), "<memoryview of 524,288 bytes>"),
    ("set", lambda: _diff_path.set(list(BIG)), "<list of 1,048,576 items>"),
    ("available", lambda: _diff_path.available(BIG), BIG_NAME),
    ("get", lambda: _diff_path.get(1), "1"),
    ("__getitem__", lambda: delta.diff(b"", b"").__getitem__(), "<PythonOutBuf of 1 byte>"),
]


def the_module_functions():
    """Every function of the module's namespaces (classes' methods aside)."""
    for module in (cbor, delta, _diff_path):
        for name, value in vars(module).items():
            if type(value).__name__ == "builtin_function_or_method" and not name.startswith("__"):
                yield name


def test_the_table_holds_every_function():
    assert set(the_module_functions()) - {name for name, _, _ in CALLS} == set()


@pytest.mark.parametrize("name, call, named", CALLS, ids=[f"{c[0]}-{i}" for i, c in enumerate(CALLS)])
def test_a_wrong_argument_is_named_by_its_type_and_size(name, call, named):
    with pytest.raises(TypeError) as caught:
        call()
    message = str(caught.value)
    kind = "constructor" if name == "__init__" else "function"
    first, _, rest = message.partition("\n")
    assert first == f"{name}(): incompatible {kind} arguments. The following argument types are supported:"
    assert re.search(r"^    1\. ", rest, re.M), message  # the signatures stay
    invoked = message.split("\nInvoked with: ")[1]
    assert invoked == named
    assert len(message) < 1500 and "\\x00" not in message and "xxxxxxxxxx" not in message


def test_long_reprs_are_cut():
    with pytest.raises(TypeError) as caught:
        delta.diff(b"", 10 ** 200)
    invoked = str(caught.value).split("\nInvoked with: ")[1]
    assert invoked == "<bytes of 0 bytes>, " + "1" + "0" * 56 + "..."


def test_an_error_that_comes_through_python_code_is_left_as_it_is():
    """A hook that calls a function wrongly: the message names that call's arguments."""
    def default(value):
        return delta.diff(b"abc", value)

    with pytest.raises(TypeError) as caught:
        cbor.encode([BIG, object()], default=default)
    message = str(caught.value)
    assert "Invoked with: <bytes of 3 bytes>, <object object at 0x" in message and BIG_NAME not in message


def test_other_errors_and_results_are_untouched():
    assert bytes(delta.diff(b"abc", b"abd")) == bytes.fromhex("43616264")
    with pytest.raises(ValueError, match="^invalid delta at byte 0: "):
        delta.patch(b"abc", b"\x5f")
    with pytest.raises(TypeError, match="No constructor defined!$"):
        delta.PythonOutBuf()
    assert delta.diff(b"", b"") != "x"  # __eq__ gives NotImplemented, not an error


def test_help_does_not_list_the_hook_and_the_hook_still_works():
    import pydoc

    text = pydoc.render_doc(quorvane_core, renderer=pydoc.plaintext)
    assert "_diff_path" not in text and "__dir__" not in text
    assert "cbor" in text and "delta" in text
    assert "_diff_path" not in dir(quorvane_core) and "delta" in dir(quorvane_core)
    assert _diff_path.get() in _diff_path.available()


# --- compress's level -----------------------------------------------------------------------

@pytest.mark.parametrize("level", [True, False])
def test_a_bool_level_is_refused(level):
    with pytest.raises(TypeError, match=r"^compress: level must be an int, not bool$"):
        delta.compress(b"a", b"b", level=level)


@pytest.mark.parametrize("level, shown", [(0, "0"), (10, "10"), (-1, "-1"), (2 ** 32, "4294967296"),
                                          (2 ** 31, "2147483648"), (2 ** 70, "an int of more than 63 bits"),
                                          (-2 ** 70, "a negative int of more than 63 bits")])
def test_a_level_out_of_range_is_a_value_error_naming_the_range(level, shown):
    with pytest.raises(ValueError, match=rf"^compress: level must be from 1 to {delta.MAX_LEVEL}, not {shown}$"):
        delta.compress(b"a", b"b", level=level)


def test_a_level_with_index_is_taken():
    class Three:
        def __index__(self):
            return 3

    expected = delta.compress(b"abc" * 100, b"abd" * 100, level=3)
    assert delta.compress(b"abc" * 100, b"abd" * 100, level=Three()) == expected
    numpy = pytest.importorskip("numpy")
    assert delta.compress(b"abc" * 100, b"abd" * 100, level=numpy.int64(3)) == expected


@pytest.mark.parametrize("threads", [True, False])
def test_a_bool_thread_count_is_refused(threads):
    with pytest.raises(TypeError, match=r"^compress: threads must be an int, not bool$"):
        delta.compress(b"a", b"b", threads=threads)


@pytest.mark.parametrize("threads, shown", [(-1, "-1"), (-2 ** 70, "a negative int of more than 63 bits"),
                                            (2 ** 70, "an int of more than 63 bits")])
def test_a_negative_thread_count_is_a_value_error(threads, shown):
    with pytest.raises(ValueError, match=rf"^compress: threads must be 0 \(one per core\) or more, not {shown}$"):
        delta.compress(b"a", b"b", threads=threads)


# --- MemoryError ------------------------------------------------------------------------------

@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="RLIMIT_AS as Linux applies it")
def test_memory_error_names_the_function_and_what_was_being_allocated(tmp_path):
    """Each call in a process allowed 64 MiB more than it holds (before: empty messages or
    "std::bad_alloc")."""
    size = 256 << 20
    (tmp_path / "data").write_bytes(delta.compress(b"", bytes(size)))
    script = textwrap.dedent(f"""
        import resource
        from quorvane_core import cbor, delta
        data = open({str(tmp_path / 'data')!r}, "rb").read()
        value = [b"x" * (1 << 20)] * 300
        old = bytes(range(256)) * 4096 * 40
        new = old[::-1]
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))
        for call in (lambda: delta.decompress(b"", data), lambda: cbor.dumps(value), lambda: cbor.encode(value),
                     lambda: delta.diff_blocks(old, new), lambda: delta.compress(old, new, level=9)):
            try:
                call()
                print("no error")
            except MemoryError as error:
                print(error)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.stdout.splitlines() == [
        "decompress: out of memory for the new value of 268,435,456 bytes",
        "dumps: out of memory",
        "encode: out of memory",
        "diff_blocks: out of memory for values of 41,943,040 and 41,943,040 bytes",
        "compress: out of memory for values of 41,943,040 and 41,943,040 bytes at level 9",
    ], done.stderr
