"""PythonOutBuf reads as a read-only bytes sequence (indexing, slicing, iteration, `in`, hex),
checked against bytes itself; diff and patch take any contiguous buffer with the same bytes out."""
import array
import mmap

import pytest
from hypothesis import given, settings, strategies as st

from quorvane_core import delta
from quorvane_core.delta import PythonInBuf, diff, diff_blocks, patch


def holding(data):
    """A PythonOutBuf that holds exactly data."""
    result = patch(b"", diff(b"", data))
    assert isinstance(result, delta.PythonOutBuf)
    return result


def outcome(function):
    try:
        return "value", function()
    except Exception as error:  # the same exception type (message aside) is what is compared
        return "error", type(error)


DATA = st.binary(max_size=40)
INDEXES = st.one_of(st.integers(-45, 45), st.sampled_from([2 ** 63, -2 ** 63, 2 ** 100, True]))
SLICES = st.builds(slice, st.none() | st.integers(-45, 45), st.none() | st.integers(-45, 45),
                   st.none() | st.integers(-4, 4).filter(bool) | st.just(0))


@settings(max_examples=500, deadline=None)
@given(DATA, INDEXES, SLICES)
def test_indexing_and_slicing_as_bytes(data, index, part):
    buf = holding(data)
    assert outcome(lambda: buf[index]) == outcome(lambda: data[index])
    assert outcome(lambda: buf[part]) == outcome(lambda: data[part])
    if outcome(lambda: data[part])[0] == "value":
        assert type(buf[part]) is bytes


@settings(max_examples=300, deadline=None)
@given(DATA, st.one_of(st.integers(-2, 258), st.binary(max_size=4), st.binary(max_size=4).map(bytearray),
                       st.binary(max_size=4).map(memoryview)))
def test_membership_as_bytes(data, item):
    buf = holding(data)
    assert outcome(lambda: item in buf) == outcome(lambda: item in data)


@settings(max_examples=200, deadline=None)
@given(DATA, st.sampled_from([(), (":",), ("-", 2), (b"_", -3), ("",)]))
def test_iteration_and_hex_as_bytes(data, hex_arguments):
    buf = holding(data)
    assert list(buf) == list(data) and list(reversed(buf)) == list(reversed(data))
    assert outcome(lambda: buf.hex(*hex_arguments)) == outcome(lambda: data.hex(*hex_arguments))


@pytest.mark.parametrize("key", ["0", 1.0, None, [0]])
def test_other_keys_are_type_errors(key):
    with pytest.raises(TypeError):
        holding(b"abc")[key]
    if not isinstance(key, list):
        with pytest.raises(TypeError):
            key in holding(b"abc")


def test_the_result_outlives_its_iterator_and_stays_read_only():
    iterator = iter(holding(b"\x00\x80\xff"))
    assert list(iterator) == [0, 128, 255]
    buf = holding(b"abc")
    with pytest.raises(TypeError):
        buf[0] = 1
    assert buf == b"abc" and bytes(buf) == b"abc" and memoryview(buf).cast("B").tolist() == [97, 98, 99]


# --- diff and patch on any contiguous buffer ------------------------------------------------------

def kinds(value):
    mapped = mmap.mmap(-1, max(len(value), 1))
    mapped.write(value)
    return {
        "bytes": value,
        "bytearray": bytearray(value),
        "memoryview": memoryview(value),
        "memoryview of bytearray": memoryview(bytearray(value)),
        "array": array.array("B", value),
        "PythonOutBuf": holding(value),
        "PythonInBuf": PythonInBuf(value),
        "mmap": mapped if value else b"",
    }


@settings(max_examples=100, deadline=None)
@given(st.binary(max_size=300), st.binary(max_size=300))
def test_diff_and_patch_give_the_same_bytes_for_every_kind_of_buffer(old, new):
    expected = bytes(diff(old, new))
    for old_kind, old_value in kinds(old).items():
        for new_kind, new_value in kinds(new).items():
            assert bytes(diff(old_value, new_value)) == expected, (old_kind, new_kind)
    for old_kind, old_value in kinds(old).items():
        for delta_kind, delta_value in kinds(expected).items():
            assert bytes(patch(old_value, delta_value)) == new, (old_kind, delta_kind)


def test_results_chain_without_bytes():
    old, new = b"0123456789" * 50, b"0123X56789" * 50
    assert patch(old, diff(old, new)) == new
    assert patch(old, diff_blocks(bytearray(old), memoryview(new))) == new


def test_numpy_arrays_are_read_as_their_bytes():
    numpy = pytest.importorskip("numpy")
    old = numpy.arange(1000, dtype=numpy.uint16)
    new = old.copy()
    new[10] = 7
    assert bytes(diff(old, new)) == bytes(diff(old.tobytes(), new.tobytes()))


@pytest.mark.parametrize("function", [diff, patch])
def test_a_strided_view_is_a_buffer_error_and_text_a_type_error(function):
    with pytest.raises(BufferError, match="needs a contiguous buffer"):
        function(b"abc", memoryview(b"abcdef")[::2])
    with pytest.raises(TypeError):
        function(b"abc", "abc")


def test_a_bytearray_cannot_be_resized_while_diff_reads_it():
    """The export is held during the call; afterwards the bytearray is free again."""
    value = bytearray(b"abc" * 10000)
    diff(value, bytes(value))
    value.extend(b"more")
    assert len(value) == 30004
