"""Pickling: every public function by reference, the result and argument buffers, Tag, Simple
and CBORDecodeError; and the functions mapped over a process pool, as users write it."""
import concurrent.futures
import copy
import datetime
import decimal
import pickle
import subprocess
import sys

import pytest

import quorvane_core
from quorvane_core import cbor, delta

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def public_functions():
    """Every public function of the submodules, those added later included."""
    return [function for module in (cbor, delta) for name, function in vars(module).items()
            if not name.startswith("_") and callable(function) and not isinstance(function, type)]


def test_the_known_functions_are_public():
    names = {f"{f.__module__}.{f.__name__}" for f in public_functions()}
    assert {"quorvane_core.cbor.dumps", "quorvane_core.cbor.loads", "quorvane_core.delta.diff",
            "quorvane_core.delta.patch", "quorvane_core.delta.diff_blocks"} <= names


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("function", public_functions(), ids=lambda f: f.__name__)
def test_functions_pickle_by_reference(function, protocol):
    data = pickle.dumps(function, protocol)
    assert pickle.loads(data) is function
    assert b"quorvane_core." in data and len(data) < 200    # a reference, not a body


def test_functions_unpickle_in_a_fresh_interpreter():
    """Unpickling imports the submodule: nothing needs to be imported first."""
    data = pickle.dumps([delta.diff_blocks, cbor.loads, delta.PythonOutBuf, cbor.Tag])
    script = ("import pickle, sys; functions = pickle.loads(sys.stdin.buffer.read()); "
              "print([f'{f.__module__}.{f.__name__}' for f in functions])")
    out = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True, check=True).stdout
    assert out.decode().strip() == ("['quorvane_core.delta.diff_blocks', 'quorvane_core.cbor.loads', "
                                    "'quorvane_core.delta.PythonOutBuf', 'quorvane_core.cbor.Tag']")


def test_submodules_import_by_name():
    import quorvane_core.delta as imported
    from quorvane_core.cbor import loads
    assert imported is delta and loads is cbor.loads and quorvane_core.delta is delta


def test_other_capsules_still_refuse_to_pickle():
    """The reducer that makes our functions picklable leaves every other capsule as it was."""
    import datetime
    foreign = getattr(datetime, "datetime_CAPI", None)
    if foreign is None:
        pytest.skip("no capsule in this interpreter's datetime module")
    with pytest.raises(TypeError, match="pickle"):
        pickle.dumps(foreign)


def decode_error():
    try:
        cbor.loads(b"\xff")
    except cbor.CBORDecodeError as error:
        return error


OUT = delta.diff(b"0123456789", b"01234X56789")


# value, what it unpickles as
ROUND_TRIPS = [
    pytest.param(OUT, bytes(OUT), id="PythonOutBuf-as-bytes"),
    pytest.param(delta.patch(b"", b"\x40"), b"", id="empty-PythonOutBuf"),
    pytest.param(delta.diff(b"a" * 300, bytes(range(256))), bytes(delta.diff(b"a" * 300, bytes(range(256)))),
                 id="signed-bytes-PythonOutBuf"),
    pytest.param(cbor.Tag(32, "https://x"), cbor.Tag(32, "https://x"), id="Tag"),
    pytest.param(cbor.Tag(2**64 - 1, [cbor.Simple(0)]), cbor.Tag(2**64 - 1, [cbor.Simple(0)]), id="Tag-nested"),
    pytest.param(cbor.Simple(23), cbor.Simple(23), id="Simple"),
    pytest.param(delta.PythonOutBuf, delta.PythonOutBuf, id="PythonOutBuf-class"),
    pytest.param(cbor.CBORDecodeError, cbor.CBORDecodeError, id="CBORDecodeError-class"),
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("value, expected", ROUND_TRIPS)
def test_round_trips(value, expected, protocol):
    back = pickle.loads(pickle.dumps(value, protocol))
    assert type(back) is type(expected) and back == expected


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_decode_error_round_trips(protocol):
    error = decode_error()
    back = pickle.loads(pickle.dumps(error, protocol))
    assert type(back) is cbor.CBORDecodeError and back.args == error.args and isinstance(back, ValueError)


class BytesSub(bytes):
    pass


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_python_in_buf_unpickles_as_itself(protocol):
    for value in (b"", b"0123456789", BytesSub(b"abc")):
        back = pickle.loads(pickle.dumps(delta.PythonInBuf(value), protocol))
        assert type(back) is delta.PythonInBuf
        # It is usable as the value it wrapped.
        assert bytes(delta.patch(back, bytes(delta.diff(value, b"new")))) == b"new"
        assert delta.diff(back, value) == delta.diff(value, value)


def test_copies_of_a_result_are_bytes():
    assert copy.copy(OUT) == copy.deepcopy(OUT) == bytes(OUT)
    assert type(copy.copy(OUT)) is bytes


# --- process pools -------------------------------------------------------------------------

OLDS = [bytes(range(256)) * 40, b"The quick brown fox jumps over the lazy dog. " * 50, b""]
NEWS = [OLDS[0][:5000] + b"edit" + OLDS[0][5100:], OLDS[1].replace(b"lazy", b"sleepy"), b"new"]

# name: the argument lists of one map, given the functions (for those whose arguments depend
# on another one's results).
ARGUMENTS = {
    "dumps": lambda: [[{"a": [1, 2.5, None]}, "text", b"\x00" * 10000]],
    "encode": lambda: [[{"when": datetime.datetime(2026, 1, 2, tzinfo=datetime.timezone.utc),
                         "price": decimal.Decimal("9.99")}, {1, 2, 3}, 2**80]],
    "loads": lambda: [[cbor.dumps({"a": [1, 2.5, None]}), b"\x9f\x01\xff", cbor.dumps(b"\x00" * 10000)]],
    "diff": lambda: [OLDS, NEWS],
    "diff_blocks": lambda: [OLDS, NEWS],
    "patch": lambda: [OLDS, [bytes(delta.diff(o, n)) for o, n in zip(OLDS, NEWS)]],
    "compress": lambda: [OLDS, NEWS],
    "decompress": lambda: [OLDS, [delta.compress(o, n) for o, n in zip(OLDS, NEWS)]],
}


def identify(function):
    """Run in a worker: the function it received, by name."""
    return f"{function.__module__}.{function.__name__}"


@pytest.fixture(scope="module")
def pool():
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as executor:
        yield executor


@pytest.mark.parametrize("function", public_functions(), ids=lambda f: f.__name__)
def test_process_pool_map(pool, function):
    """pool.map(function, ...) gives what calls in this process give; a function without a
    row in ARGUMENTS is at least sent to a worker and back."""
    name = f"{function.__module__}.{function.__name__}"
    assert pool.submit(identify, function).result() == name
    assert pool.submit(pickle.loads, pickle.dumps(function)).result() is function
    if function.__name__ not in ARGUMENTS:
        return
    arguments = ARGUMENTS[function.__name__]()
    expected = [function(*args) for args in zip(*arguments)]
    results = list(pool.map(function, *arguments))
    assert results == expected                     # PythonOutBuf results arrive as bytes
    assert all(type(r) is bytes for r in results if isinstance(expected[0], delta.PythonOutBuf))
