"""The compressed format pinned: the frozen frames of tests/data/frames and their exact
outcomes, the format document's example, the memory a hostile frame can take (in a
subprocess), MemoryError's message, and the golden digests of today's compress output.

The golden digests change whenever compress's output does (on purpose or not). After a
deliberate change, print the new table with

    QUORVANE_PRINT_DIGESTS=1 .venv/bin/python -m pytest -q -s tests/python/test_frames.py -k golden

and paste it over GOLDEN_DIGESTS below.
"""
import ast
import hashlib
import lzma
import os
import random
import pathlib
import re
import struct
import subprocess
import sys

import pytest

from quorvane_core.delta import MAX_LEVEL, compress, decompress

ROOT = pathlib.Path(__file__).resolve().parents[2]
FRAMES = ROOT / "tests" / "data" / "frames"
DOC = ROOT / "docs" / "compressed-format.md"


def read_cases():
    cases = []
    for line in (FRAMES / "cases.tsv").read_text().splitlines():
        if line and not line.startswith("#"):
            cases.append(line.split("\t"))
    return cases


CASES = read_cases()


def old_of(old_file):
    return b"" if old_file == "-" else (FRAMES / old_file).read_bytes()


def varint_at(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        value |= (byte & 0x7F) << shift
        if byte < 0x80:
            return value
        at += 1
        shift += 7


def expected_message(kind, offset, reason, frame):
    if kind == "invalid":
        return f"invalid compressed delta at byte {offset}: {reason}"
    if kind == "wrong-old":
        return f"wrong old value for this compressed delta (byte {offset}): {reason}"
    assert kind == "too-large"
    return (f"compressed delta declares a new value of {varint_at(frame, offset)} bytes, "
            f"more than max_size ({4 << 30})")


@pytest.mark.parametrize("name, old_file, kind, number, detail", CASES, ids=[c[0] for c in CASES])
def test_frozen_frame(name, old_file, kind, number, detail):
    frame = (FRAMES / f"{name}.frame").read_bytes()
    old = old_of(old_file)
    if kind == "ok":
        new = decompress(old, frame)
        assert len(new) == int(number)
        if detail != "-":
            assert new == (FRAMES / detail).read_bytes()
        return
    with pytest.raises(ValueError) as caught:
        decompress(old, frame)
    assert str(caught.value) == expected_message(kind, int(number), detail, frame)


def mode_and_codings(frame):
    """A frame's mode and its sections' codings."""
    at = 7
    for _ in range(2):  # the two lengths
        while frame[at] & 0x80:
            at += 1
        at += 1
    at += 16
    codings = []
    for _ in range(frame[6]):
        codings.append(frame[at])
        at += 1
        for _ in range(2):
            while frame[at] & 0x80:
                at += 1
            at += 1
    return frame[5], tuple(codings)


def test_the_frames_cover_every_mode_and_coding():
    """Block and prefix mode, each section coding, from both the encoder and by hand."""
    seen = set()
    for name, _, kind, _, _ in CASES:
        if kind == "ok":
            mode, codings = mode_and_codings((FRAMES / f"{name}.frame").read_bytes())
            seen |= {(mode, coding) for coding in codings}
    assert seen == {(mode, coding) for mode in (0, 1) for coding in (0, 1, 2)}
    names = {c[0] for c in CASES}
    assert {"encoder_block_level9", "encoder_prefix_lzma2", "encoder_prefix_zstd", "encoder_block_zstd_differences"} <= names


def doc_example():
    """The example frame's bytes: the hex before each line's comment in the document's
    Example section."""
    text = DOC.read_text()
    block = text[text.index("## Example"):]
    block = block[block.index("```") + 3:]
    block = block[:block.index("```")]
    data = bytearray()
    for line in block.strip().splitlines():
        hex_part = re.match(r"((?:[0-9a-f]{2} )*[0-9a-f]{2})", line)
        data += bytes.fromhex(hex_part.group(1))
    return bytes(data)


def test_the_documents_example_decodes():
    frame = doc_example()
    text = DOC.read_text()
    call = re.search(r"delta\.compress\((b\"[^\"]*\"), (b\"[^\"]*\"), level=(\d)\)", text)
    old, new = ast.literal_eval(call.group(1)), ast.literal_eval(call.group(2))
    assert decompress(old, frame) == new
    assert len(frame) == int(re.search(r"is this (\d+)-byte", text).group(1))


# ---- memory, in a subprocess: the growth of the peak resident size while decoding a frame.

MEMORY_PROBE = r"""
import resource, sys
from quorvane_core.delta import decompress
old = open(sys.argv[1], "rb").read() if sys.argv[1] != "-" else b""
frame = open(sys.argv[2], "rb").read()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    decompress(old, frame)
    outcome = "ok"
except ValueError as error:
    outcome = str(error)
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024)
print(outcome)
"""

MiB = 1 << 20


def peak_growth(old_file, name):
    old = "-" if old_file == "-" else str(FRAMES / old_file)
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, old, str(FRAMES / f"{name}.frame")],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    growth, outcome = done.stdout.splitlines()
    return int(growth), outcome


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ru_maxrss in KiB on Linux")
@pytest.mark.parametrize("name", ["hostile_block_sections", "hostile_block_unused_streams"])
def test_sections_declaring_more_than_their_instructions_read_take_no_memory(name):
    """Five sections declaring 256 MiB each (1.25 GiB together, 40 KB of frame) are refused
    with a small fixed amount of memory, not the gigabytes they declare."""
    case = next(c for c in CASES if c[0] == name)
    growth, outcome = peak_growth(case[1], name)
    assert outcome == expected_message(case[2], int(case[3]), case[4], b"")
    frame_size = (FRAMES / f"{name}.frame").stat().st_size
    assert growth <= 16 * MiB + 4 * frame_size, f"{growth / MiB:.1f} MiB"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ru_maxrss in KiB on Linux")
def test_prefix_lzma2_takes_the_new_value_and_a_bounded_amount():
    """64 MiB rebuilt from a 10 KB prefix-mode LZMA2 frame: the new value's memory and a
    bounded amount (liblzma's decoder took a 64 MiB dictionary of its own besides)."""
    growth, outcome = peak_growth("-", "hostile_prefix_lzma2")
    assert outcome == "ok"
    assert growth <= 64 * MiB + 16 * MiB, f"{growth / MiB:.1f} MiB"


def test_memory_error_names_what_and_how_much():
    """A frame declaring 2**61 bytes (a zstd section claims them) under a max_size that
    allows them: MemoryError for the new value, with its size."""
    m = make_frames()
    length = 1 << 61
    data = m.frame(b"", b"", m.PREFIX, [(m.ZSTD, m.zstd_rle_frame(0, 1000), length)], new_length=length)
    if sys.implementation.name == "pypy":
        # PyPy's emulated C API turns the refused bytes object into a SystemError around the
        # MemoryError (a known gap there); the frame is refused all the same.
        with pytest.raises((MemoryError, SystemError)):
            decompress(b"", data, max_size=length)
        return
    with pytest.raises(MemoryError) as caught:
        decompress(b"", data, max_size=length)
    assert str(caught.value) == f"decompress: out of memory for the new value of {length:,} bytes"


# ---- LZMA2 decoded in place (the new value is its dictionary) against liblzma's encoder

def make_frames():
    sys.path.insert(0, str(FRAMES))
    try:
        import make_frames as module
    finally:
        sys.path.pop(0)
    return module


def lzma2_sample(kind):
    rng = random.Random(kind)
    if kind == "text":  # several LZMA chunks (2 MiB of output at most each), long matches
        words = [b"alpha", b"beta", b"gamma", b"delta", b"frame", b"value", b"copy", b"the", b"of", b"and"]
        return b" ".join(rng.choice(words) for _ in range(600000))
    if kind == "random":  # uncompressed chunks
        return bytes(rng.getrandbits(8) for _ in range(200000))
    # records with aligned fields, runs and random stretches, one after the other
    parts = []
    for k in range(3000):
        parts.append(struct.pack("<IHHd", k * 7, rng.randrange(50), k % 13, k * 0.5))
        if k % 500 == 0:
            parts.append(bytes(rng.getrandbits(8) for _ in range(5000)) + bytes(3000))
    return b"".join(parts)


@pytest.mark.parametrize("kind", ["text", "random", "mixed"])
@pytest.mark.parametrize("lc, lp, pb", [(3, 0, 2), (0, 2, 0), (1, 3, 4), (4, 0, 0), (0, 0, 0)])
def test_lzma2_in_place_decodes_what_liblzma_encodes(kind, lc, lp, pb):
    m = make_frames()
    new = lzma2_sample(kind)
    filters = [{"id": lzma.FILTER_LZMA2, "preset": 6, "dict_size": m.lzma_dictionary_size(0, len(new)),
                "lc": lc, "lp": lp, "pb": pb}]
    stream = lzma.compress(new, format=lzma.FORMAT_RAW, filters=filters)
    prefix_frame = m.frame(b"", new, m.PREFIX, [(m.LZMA2, stream, len(new))])
    assert decompress(b"", prefix_frame) == new
    # The same stream as a block-mode literal section (decoded into the new value's end).
    commands = m.varint(len(new)) + m.varint(0)
    sections = [(m.STORED, commands, len(commands))] + [(m.STORED, b"", 0)] * 3 + [(m.LZMA2, stream, len(new))]
    assert decompress(b"", m.frame(b"", new, m.BLOCK, sections)) == new


def test_prefix_lzma2_frames_of_the_encoder_round_trip():
    """Pairs for which the top level writes LZMA2 sections: in prefix mode (the old value
    as its preset dictionary) and in block mode (the literals in place, the other streams
    by liblzma), of several sizes and kinds of edits."""
    kinds = set()
    for seed in range(6):
        rng = random.Random(seed)
        records = b"".join(struct.pack("<IHHd", k * (seed + 3), rng.randrange(50), k % 13, k * 0.5)
                           for k in range(rng.randrange(500, 20000)))
        if seed % 2:
            old = bytes(rng.getrandbits(8) for _ in range(rng.randrange(0, 3000))) + records[:len(records) // 2]
        else:  # an unrelated old value: prefix mode
            old = b" ".join(rng.choice([b"alpha", b"beta", b"gamma", b"of"]) for _ in range(rng.randrange(100, 6000)))
        new = bytearray(records)
        for k in range(0, len(new), rng.randrange(30, 300)):
            new[k] ^= 0x20
        data = compress(old, bytes(new), level=MAX_LEVEL)
        assert decompress(old, data) == new
        kinds.add(mode_and_codings(data))
    assert (1, (2,)) in kinds and any(mode == 0 and codings[4] == 2 for mode, codings in kinds), kinds


# ---- golden digests of today's compress output

def corpus():
    pairs = []
    for old_path in sorted((FRAMES / "corpus").glob("*.old")):
        pairs.append((old_path.stem, old_path.read_bytes(), old_path.with_suffix(".new").read_bytes()))
    return pairs


# sha256 of the concatenated deltas of the corpus's pairs (in name order), per level.
GOLDEN_DIGESTS = {
    1: "4806f08e0479de7cd6f8e86b19307be1aa4c5689a9fd9a513901813666233a94",
    2: "08d1752a05bfc59bbdc91d32f00c326a89804e231bf10aa613baaf49f8c0468b",
    3: "08d1752a05bfc59bbdc91d32f00c326a89804e231bf10aa613baaf49f8c0468b",
    4: "e7ca83a3b6580214e4d023d1ece576ef9eb4f8daa6c6ce992d8040494e95ddc3",
    5: "e7ca83a3b6580214e4d023d1ece576ef9eb4f8daa6c6ce992d8040494e95ddc3",
    6: "e7ca83a3b6580214e4d023d1ece576ef9eb4f8daa6c6ce992d8040494e95ddc3",
    7: "c3b082000b7929397173e2613a0c5ecd9733adbc3eebe09d9d007149f8be33d2",
    8: "c3b082000b7929397173e2613a0c5ecd9733adbc3eebe09d9d007149f8be33d2",
    9: "8bc728c4e34aab4b9faec5cfecf6060d5fb5efdbe515546f8245afb2b1f7c7d2",
}


def level_digest(level):
    digest = hashlib.sha256()
    for _, old, new in corpus():
        data = compress(old, new, level=level)
        assert decompress(old, data) == new
        digest.update(data)
    return digest.hexdigest()


def test_golden_digests_table():
    if os.environ.get("QUORVANE_PRINT_DIGESTS"):
        print("\nGOLDEN_DIGESTS = {")
        for level in range(1, MAX_LEVEL + 1):
            print(f'    {level}: "{level_digest(level)}",')
        print("}")
    assert sorted(GOLDEN_DIGESTS) == list(range(1, MAX_LEVEL + 1))
    assert len(corpus()) >= 4


@pytest.mark.parametrize("level", range(1, MAX_LEVEL + 1))
def test_golden_digest(level):
    """compress's output on the corpus, byte for byte (see the module's docstring to update)."""
    assert level_digest(level) == GOLDEN_DIGESTS[level]
