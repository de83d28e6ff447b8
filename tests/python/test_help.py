"""help(): what is ours says what it takes, returns and raises; the older docstrings are
checked word for word in test_cbor.py and test_delta.py."""
import pydoc

import pytest

import quorvane_core
from quorvane_core import cbor, delta

# object, phrases its docstring must hold (what it takes, returns, raises)
DOCUMENTED = [
    pytest.param(cbor.loads, ["data", "max_depth", "return", "CBORDecodeError", "RecursionError",
                              "TypeError", "BufferError"], id="loads"),
    pytest.param(delta.diff_blocks, ["old_value", "new_value", "compact", "Returns a PythonOutBuf", "TypeError",
                                     "BufferError", "ValueError", "MemoryError", "bytearray", "memoryview", "mmap"],
                 id="diff_blocks"),
    pytest.param(cbor.Tag, ["Tag(tag, value)", "TypeError", "ValueError", "pickles"], id="Tag"),
    pytest.param(cbor.Simple, ["Simple(value)", "TypeError", "ValueError", "pickles"], id="Simple"),
    pytest.param(cbor.CBORDecodeError, ["loads", "byte N", "ValueError"], id="CBORDecodeError"),
    pytest.param(delta.PythonOutBuf, ["bytes(buf)", "memoryview(buf)", "len(buf)", "buf == other", "unhashable",
                                      "pickles"], id="PythonOutBuf"),
    pytest.param(delta.PythonOutBuf.__len__, ["len(buf)"], id="PythonOutBuf.__len__"),
    pytest.param(delta.PythonOutBuf.__eq__, ["buf == other", "Raises nothing", "bytearray", "memoryview"],
                 id="PythonOutBuf.__eq__"),
    pytest.param(delta.PythonOutBuf.__repr__, ["<PythonOutBuf N bytes>"], id="PythonOutBuf.__repr__"),
    pytest.param(delta.PythonOutBuf.__sizeof__, ["sys.getsizeof(buf)"], id="PythonOutBuf.__sizeof__"),
    pytest.param(delta.PythonOutBuf.__reduce__, ["unpickles as bytes"], id="PythonOutBuf.__reduce__"),
    pytest.param(delta.PythonInBuf, ["PythonInBuf(value: bytes)", "TypeError", "pickles"], id="PythonInBuf"),
    pytest.param(delta.PythonInBuf.__reduce__, ["PythonInBuf"], id="PythonInBuf.__reduce__"),
]


@pytest.mark.parametrize("obj, phrases", DOCUMENTED)
def test_docstrings_say_what_is_taken_returned_and_raised(obj, phrases):
    doc = obj.__doc__ or ""
    assert [p for p in phrases if p not in doc] == []


def test_help_of_the_result_class_explains_reading_it():
    text = pydoc.render_doc(delta.PythonOutBuf, renderer=pydoc.plaintext)
    for phrase in ("bytes(buf)", "memoryview(buf)", "len(buf)", "buf == other", "__len__", "__eq__",
                   "__hash__ = None"):
        assert phrase in text


def test_the_top_level_module_still_has_no_docstring():
    assert vars(quorvane_core).get("__doc__") is None
