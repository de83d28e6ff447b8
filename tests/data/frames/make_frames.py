"""Writes the frozen compressed-delta frames of tests/data/frames from docs/compressed-format.md.

    python tests/data/frames/make_frames.py            # the hand-built frames and cases.tsv
    python tests/data/frames/make_frames.py --capture  # also today's encoder's frames (never overwrites)

Every frame here is built by hand from the format document (varints, XXH3 checksums, zstd
frames of raw and RLE blocks written byte by byte, LZMA2 streams from Python's lzma module),
so that frames today's encoder never writes (overlapping copies of the new value's own bytes,
sections that lie about their lengths) are frozen too. The files are the test data: once
committed they do not change (the generator must reproduce them byte for byte). cases.tsv
names each frame's old value and what decoding it gives:

    name  old  ok       new_length  new_file   (new_file "-": only the length and checksum)
    name  old  invalid  offset      reason     (also wrong-old and too-large)

XXH3 comes from the xxHash library (libxxhash, a build dependency) through ctypes.
"""
import ctypes
import ctypes.util
import lzma
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = b"QVCD"
STORED, ZSTD, LZMA2 = 0, 1, 2
BLOCK, PREFIX = 0, 1
MiB = 1 << 20

_xxhash = ctypes.CDLL(ctypes.util.find_library("xxhash") or "libxxhash.so.0")
_xxhash.XXH3_64bits.restype = ctypes.c_uint64
_xxhash.XXH3_64bits.argtypes = [ctypes.c_char_p, ctypes.c_size_t]


def xxh3(data):
    return _xxhash.XXH3_64bits(bytes(data), len(data))


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def zigzag(value):
    return (value << 1) ^ (value >> 63) if value >= 0 else ((value << 1) ^ -1) & (2**64 - 1)


def u64(value):
    return (value & (2**64 - 1)).to_bytes(8, "little")


# ---- section codings

def window_log_for(length):
    """The largest window the format allows for a section of prefix and content `length`."""
    log = 10
    while (1 << log) < length and log < 31:
        log += 1
    return log


def zstd_frame(content, window_log=None, rle=False, prefix=0):
    """A magicless zstd frame of raw blocks (with rle, RLE blocks for blocks of one byte
    repeated): no content size, no checksum, a window of 2**window_log bytes (by default
    the largest the format allows after `prefix` bytes)."""
    if window_log is None:
        window_log = window_log_for(prefix + len(content))
    out = bytearray([0x00, (window_log - 10) << 3])  # frame header descriptor, window descriptor
    pieces = []
    step = min(128 * 1024, 1 << window_log)
    at = 0
    while at < len(content) or not pieces:
        piece = content[at:at + step]
        pieces.append(piece)
        at += max(len(piece), 1)
    for index, piece in enumerate(pieces):
        last = index == len(pieces) - 1
        if rle and len(piece) > 0 and piece == piece[:1] * len(piece):
            out += (int(last) | 1 << 1 | len(piece) << 3).to_bytes(3, "little") + piece[:1]
        else:
            out += (int(last) | 0 << 1 | len(piece) << 3).to_bytes(3, "little") + piece
    return bytes(out)


def zstd_rle_frame(byte, length):
    """A magicless zstd frame of `length` copies of `byte` in RLE blocks (4 bytes per 128 KiB)."""
    window_log = window_log_for(length)
    out = bytearray([0x00, (window_log - 10) << 3])
    step = min(128 * 1024, 1 << window_log)
    left = length
    while True:
        size = min(step, left)
        left -= size
        out += (int(left == 0) | 1 << 1 | size << 3).to_bytes(3, "little") + bytes([byte])
        if left == 0:
            return bytes(out)


def lzma_dictionary_size(prefix_length, length):
    size = 4096
    while size < prefix_length + length and size < (1 << 30):
        size <<= 1
    return size


def lzma2(content):
    filters = [{"id": lzma.FILTER_LZMA2, "preset": 6, "dict_size": lzma_dictionary_size(0, len(content))}]
    return lzma.compress(content, format=lzma.FORMAT_RAW, filters=filters)


def code(coding, content, prefix=0):
    """(coding, stored bytes, decoded length) of a section (after `prefix` bytes of history)."""
    if coding == STORED:
        return (STORED, bytes(content), len(content))
    if coding == ZSTD:
        return (ZSTD, zstd_frame(content, rle=True, prefix=prefix), len(content))
    return (LZMA2, lzma2(content), len(content))


# ---- frames

def frame(old, new, mode, sections, *, version=1, count=None, old_length=None, new_length=None,
          old_sum=None, new_sum=None, table=None, tail=b"", checksum=True):
    """The frame's bytes; the keyword arguments override fields to make damaged frames."""
    out = bytearray(MAGIC) + bytes([version, mode, len(sections) if count is None else count])
    out += varint(len(old) if old_length is None else old_length)
    out += varint(len(new) if new_length is None else new_length)
    out += u64(xxh3(old) if old_sum is None else old_sum)
    out += u64(xxh3(new) if new_sum is None else new_sum)
    for k, (coding, stored, decoded) in enumerate(sections):
        entry = (coding, len(stored), decoded) if table is None or table[k] is None else table[k]
        out += bytes([entry[0]]) + varint(entry[1]) + varint(entry[2])
    for _, stored, _ in sections:
        out += stored
    out += tail
    if checksum:
        out += u64(xxh3(out))
    return bytes(out)


def block_streams(instructions, literals):
    """The five block streams of (literal length, copy length, relative source, [(gap + 1,
    difference), ...]) instructions."""
    commands, offsets, gaps, diffs = bytearray(), bytearray(), bytearray(), bytearray()
    for literal, length, relative, differences in instructions:
        commands += varint(literal) + varint(length)
        if length == 0:
            continue
        offsets += varint(zigzag(relative))
        for gap, difference in differences:
            gaps += varint(gap)
            diffs.append(difference)
        gaps.append(0)
    return [bytes(commands), bytes(offsets), bytes(gaps), bytes(diffs), bytes(literals)]


def apply_blocks(old, instructions, literals):
    """The new value the instructions make (the decoder's loop of the format document)."""
    new = bytearray()
    source_end = at = 0
    for literal, length, relative, differences in instructions:
        new += literals[at:at + literal]
        at += literal
        if length == 0:
            continue
        source = source_end + relative
        start = len(new)
        for k in range(length):
            position = source + k
            new.append(old[position] if position < len(old) else new[position - len(old)])
        position = start
        for gap, difference in differences:
            position += gap - 1
            new[position] = (new[position] + difference) & 0xFF
            position += 1
        source_end = source + length
    return bytes(new)


OLD = b"The quick brown fox jumps over the lazy dog. " * 3  # 135 bytes
# Literals, a copy with two differing bytes, an overlapping copy of the new value's own
# bytes (source one byte behind the output: a run), a copy from before the previous one's
# source (negative offset), a copy from the new value's first bytes, then a literal.
INSTRUCTIONS = [
    (3, 20, 4, [(1, 1), (5, 0xFF)]),     # "<<<" then old[4:24] with two bytes changed
    (1, 12, len(OLD) + 22 - 24, []),     # "=" then 12 bytes from new byte 22: repeats its last two
    (0, 9, 6 - (len(OLD) + 22 + 12), [(9, 7)]),  # old[6:15], its last byte changed
    (2, 17, len(OLD) - 15, []),          # "!?" then new[0:17]: overlaps nothing, reads the new value
    (4, 0, 0, []),                       # "tail"
]
LITERALS = b"<<<=!?tail"
NEW = apply_blocks(OLD, INSTRUCTIONS, LITERALS)
TEXT = b"".join(b"line %d of a text that changes a little from one version to the next\n" % k for k in range(400))


def hand_frames():
    """(name, old, frame, expectation) of every hand-built case."""
    cases = []

    def ok(name, old, data, new, keep_new=True):
        cases.append((name, old, data, ("ok", len(new), new if keep_new else None)))

    def bad(name, old, data, kind, offset, reason):
        cases.append((name, old, data, (kind, offset, reason)))

    streams = block_streams(INSTRUCTIONS, LITERALS)
    for coding, label in ((STORED, "stored"), (ZSTD, "zstd"), (LZMA2, "lzma2")):
        ok(f"block_{label}", OLD, frame(OLD, NEW, BLOCK, [code(coding, s) for s in streams]), NEW)
    mixed = [code(c, s) for c, s in zip((ZSTD, STORED, LZMA2, ZSTD, LZMA2), streams)]
    ok("block_mixed_codings", OLD, frame(OLD, NEW, BLOCK, mixed), NEW)
    ok("prefix_stored", OLD, frame(OLD, NEW, PREFIX, [code(STORED, NEW)]), NEW)
    ok("prefix_zstd_raw_blocks", OLD, frame(OLD, TEXT, PREFIX, [code(ZSTD, TEXT, prefix=len(OLD))]), TEXT)
    ok("prefix_lzma2_no_old", b"", frame(b"", TEXT, PREFIX, [code(LZMA2, TEXT)]), TEXT)
    empty = [code(STORED, b"")] * 5
    ok("empty_both", b"", frame(b"", b"", BLOCK, empty), b"")
    ok("empty_new", OLD, frame(OLD, b"", BLOCK, empty), b"")
    ok("empty_new_prefix_zstd", OLD, frame(OLD, b"", PREFIX, [code(ZSTD, b"", prefix=len(OLD))]), b"")
    only_literals = block_streams([(len(TEXT), 0, 0, [])], TEXT)
    ok("empty_old_literals_zstd", b"", frame(b"", TEXT, BLOCK, [code(ZSTD, s) for s in only_literals]), TEXT)

    # Damaged headers and frames; the offsets of the header's fields of OLD -> NEW.
    at_new_length = 7 + len(varint(len(OLD)))
    at_old_sum = at_new_length + len(varint(len(NEW)))
    at_new_sum = at_old_sum + 8
    entry = [at_new_sum + 8]  # each section's entry in the table
    for s in streams:
        entry.append(entry[-1] + 1 + 2 * len(varint(len(s))))
    good = frame(OLD, NEW, BLOCK, [code(STORED, s) for s in streams])
    stored = [code(STORED, s) for s in streams]
    bad("cut_in_magic", OLD, good[:3], "invalid", 3, "cut short in the header")
    bad("wrong_magic", OLD, b"QVCX" + good[4:], "invalid", 0, "not a compressed delta (wrong magic number)")
    bad("version_2", OLD, frame(OLD, NEW, BLOCK, stored, version=2), "invalid", 4, "unsupported format version")
    bad("mode_2", OLD, frame(OLD, NEW, 2, stored), "invalid", 5, "unknown mode")
    bad("prefix_five_sections", OLD, frame(OLD, NEW, PREFIX, stored), "invalid", 6,
        "wrong number of sections for the mode")
    bad("cut_in_header", OLD, good[:20], "invalid", 20, "cut short in the header")
    bad("overlong_varint", OLD, good[:7] + b"\x80\x00" + good[8:], "invalid", 7, "malformed number in the header")
    bad("cut_before_checksum", OLD, good[:-3], "invalid", len(good) - 3, "cut short before the checksum")
    bad("byte_after_end", OLD, good + b"\0", "invalid", len(good) + 1 - 1, "bytes after the end of the delta")
    bad("frame_checksum", OLD, good[:-1] + bytes([good[-1] ^ 0x40]), "invalid", len(good) - 8,
        "checksum does not match (damaged delta)")
    bad("unknown_coding", OLD, frame(OLD, NEW, BLOCK, stored, table=[(3, len(streams[0]), len(streams[0]))] + [None] * 4),
        "invalid", entry[0], "unknown section coding")
    bad("stored_lengths_differ", OLD,
        frame(OLD, NEW, BLOCK, stored, table=[None, (STORED, len(streams[1]), len(streams[1]) + 1)] + [None] * 3),
        "invalid", entry[1], "stored section's two lengths differ")
    bad("literals_longer_than_new", OLD,
        frame(OLD, NEW, BLOCK, stored[:4] + [code(ZSTD, streams[4])],
              table=[None] * 4 + [(ZSTD, len(code(ZSTD, streams[4])[1]), len(NEW) + 1)]),
        "invalid", entry[4], "section longer than the new value's length allows")
    bad("too_large", OLD, frame(OLD, NEW, BLOCK, stored, new_length=(4 << 30) + 1), "too-large", at_new_length,
        "new value larger than max_size")
    bad("wrong_old_length", OLD[:-1], good, "wrong-old", 7, "old value's length differs from the one the delta was made from")
    bad("wrong_old_bytes", OLD[:-1] + b"?", good, "wrong-old", at_old_sum, "old value differs from the one the delta was made from")
    bad("new_checksum", OLD, frame(OLD, NEW, BLOCK, stored, new_sum=1), "invalid", at_new_sum,
        "rebuilt value's checksum does not match (damaged data)")

    # Damaged instructions (stored sections; offsets in the frame computed from its table).
    def instructions_case(name, instructions, literals, new_length, where, reason, coding=STORED):
        s = block_streams(instructions, literals)
        sections = [code(coding, x) for x in s]
        data = frame(OLD, b"?" * new_length, BLOCK, sections)
        header = len(data) - 8 - sum(len(x[1]) for x in sections)
        starts = [header + sum(len(x[1]) for x in sections[:k]) for k in range(5)]
        bad(name, OLD, data, "invalid", starts[where[0]] + where[1], reason)

    instructions_case("empty_instruction", [(0, 0, 0, []), (0, 4, 0, [])], b"", 4, (0, 0), "empty instruction")
    instructions_case("literal_beyond_new", [(2, 0, 0, []), (3, 0, 0, [])], b"abcd", 4, (0, 0),
                      "literal beyond the new value's length")
    instructions_case("literal_stream_short", [(4, 0, 0, [])], b"a", 4, (4, 0), "literal stream too short")
    instructions_case("literal_stream_long", [(0, 4, 0, [])], b"a", 4, (4, 0), "literal stream longer than its literals")
    instructions_case("copy_beyond_new", [(0, 5, 0, [])], b"", 4, (0, 0), "copy beyond the new value's length")
    instructions_case("source_before_start", [(0, 4, -1, [])], b"", 4, (1, 0), "copy source before the old value's start")
    instructions_case("self_copy_not_yet_made", [(1, 3, len(OLD) + 1, [])], b"a", 4, (1, 0),
                      "copy source beyond the bytes known so far")
    instructions_case("copy_past_old_end", [(0, 4, len(OLD) - 2, [])], b"", 4, (1, 0), "copy beyond the old value's end")
    instructions_case("differing_byte_beyond_copy", [(0, 4, 0, [(5, 1)])], b"", 4, (2, 0), "differing byte beyond its copy")
    instructions_case("difference_of_zero", [(0, 4, 0, [(1, 0)])], b"", 4, (3, 0), "difference of zero")
    instructions_case("instructions_end_early", [(0, 3, 0, [])], b"", 4, (0, 0), "instructions end before the new value does")
    instructions_case("empty_instruction_zstd", [(0, 0, 0, []), (0, 4, 0, [])], b"", 4, (0, 0), "empty instruction", ZSTD)

    # Damaged sections.
    def section_case(name, sections_of, where_of, reason, new=NEW):
        sections = sections_of()
        data = frame(OLD, new, BLOCK, sections)
        header = len(data) - 8 - sum(len(x[1]) for x in sections)
        starts = [header + sum(len(x[1]) for x in sections[:k]) for k in range(5)]
        section, at = where_of(sections)
        bad(name, OLD, data, "invalid", starts[section] + at, reason)

    z = [code(ZSTD, s) for s in streams]
    big_window = (ZSTD, zstd_frame(streams[0], window_log=11), len(streams[0]))
    section_case("zstd_window_beyond_section", lambda: [big_window] + z[1:], lambda s: (0, 0),
                 "zstd window larger than its section needs")
    longer = (ZSTD, zstd_frame(streams[2] + b"\0"), len(streams[2]))
    section_case("zstd_frame_longer", lambda: z[:2] + [longer] + z[3:], lambda s: (2, 5 + len(streams[2]) + 1),
                 "zstd frame longer than its section says")
    shorter = (ZSTD, zstd_frame(streams[1][:-1]), len(streams[1]))
    section_case("zstd_frame_shorter", lambda: z[:1] + [shorter] + z[2:], lambda s: (1, len(shorter[1])),
                 "zstd frame shorter than its section says")
    after = (ZSTD, zstd_frame(streams[3]) + b"\0", len(streams[3]))
    section_case("zstd_bytes_after", lambda: z[:3] + [after] + z[4:], lambda s: (3, len(after[1]) - 1),
                 "bytes after the zstd frame in its section")
    cut = (ZSTD, zstd_frame(streams[0])[:-2], len(streams[0]))
    section_case("zstd_cut_short", lambda: [cut] + z[1:], lambda s: (0, len(cut[1])), "zstd frame cut short")
    lz = code(LZMA2, streams[4])
    damaged = (LZMA2, bytes([0x55]) + lz[1][1:], lz[2])
    section_case("lzma2_damaged", lambda: z[:4] + [damaged], lambda s: (4, 1), "lzma stream damaged")
    lz_long = (LZMA2, lzma2(streams[4] + b"!"), len(streams[4]))
    section_case("lzma2_longer", lambda: z[:4] + [lz_long], lambda s: (4, len(lz_long[1])),
                 "lzma stream longer than its section says")
    return cases


def hostile_frames(section=256 * MiB, prefix=64 * MiB):
    """Frames whose sections declare far more than their instructions use (at a smaller
    scale for the fuzz corpus, whose decoder allows 1 MiB)."""
    cases = []
    # Empty old value, a new value of 2 * section bytes (512 MiB); five zstd sections of
    # `section` bytes each (1.25 GiB, within 3 times the new length), the first instruction
    # empty: refused at its first bytes.
    new_length = 2 * section
    sections = [(ZSTD, zstd_rle_frame(0, section), section) for _ in range(5)]
    data = frame(b"", b"", BLOCK, sections, new_length=new_length)
    header = len(data) - 8 - sum(len(s[1]) for s in sections)
    cases.append(("hostile_block_sections", b"", data, ("invalid", header, "empty instruction")))
    # One literal of the whole new value (a literal section as long, 512 MiB), the three
    # other streams of `section` bytes each but no copy: they are longer than their copies,
    # refused before the literals are decoded.
    commands = varint(new_length) + varint(0)
    sections = ([(STORED, commands, len(commands))] + sections[1:4] +
                [(ZSTD, zstd_rle_frame(ord("x"), new_length), new_length)])
    data = frame(b"", b"", BLOCK, sections, new_length=new_length)
    header = len(data) - 8 - sum(len(s[1]) for s in sections)
    cases.append(("hostile_block_unused_streams", b"", data,
                  ("invalid", header + len(commands), "offset stream longer than its copies")))
    # Prefix mode, LZMA2, no old value: 64 MiB of zeros (valid).
    zeros = bytes(prefix)
    data = frame(b"", zeros, PREFIX, [code(LZMA2, zeros)])
    cases.append(("hostile_prefix_lzma2", b"", data, ("ok", len(zeros), None)))
    return cases


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def capture():
    """Today's encoder's frames (kept as they were first written: an encoder change shows up
    as a golden digest change, not here)."""
    from quorvane_core import delta
    import random
    import struct
    rng = random.Random(7)
    binary = bytes(rng.getrandbits(8) for _ in range(30000))
    relinked = bytearray(binary)
    for k in range(0, len(relinked), 97):
        relinked[k] = (relinked[k] + 3) & 0xFF
    text2 = TEXT.replace(b"little", b"LITTLE").replace(b"line 1", b"row 1")
    words = [b"alpha", b"beta", b"gamma", b"delta", b"frame", b"value", b"copy", b"the", b"of", b"and"]
    prose = b" ".join(rng.choice(words) + (b"\n" if rng.random() < 0.1 else b"") for _ in range(6000))
    edits = bytearray(prose)
    edits[::40] = b"#" * len(edits[::40])
    records = b"".join(struct.pack("<IHHd", k * 7, rng.randrange(50), k % 13, k * 0.5) for k in range(4000))
    pairs = {
        "encoder_block_zstd_differences": (binary, bytes(relinked), 3),
        "encoder_block_level9": (TEXT, text2, 9),
        "encoder_prefix_zstd": (prose, bytes(edits), 5),
        "encoder_prefix_lzma2": (prose, records, 9),
        "encoder_empty": (b"", b"", 1),
        "encoder_empty_new": (TEXT[:100], b"", 3),
    }
    cases = []
    for name, (old, new, level) in pairs.items():
        path = os.path.join(HERE, name + ".frame")
        data = open(path, "rb").read() if os.path.exists(path) else delta.compress(old, new, level=level)
        assert delta.decompress(old, data) == new
        cases.append((name, old, data, ("ok", len(new), new)))
    return cases


def write_corpus():
    """The golden digests' corpus (tests/python/test_frames.py): pairs of different kinds,
    written once (kept as they are when present)."""
    import random
    rng = random.Random(11)
    folder = os.path.join(HERE, "corpus")
    os.makedirs(folder, exist_ok=True)
    binary = bytes(rng.getrandbits(8) if k % 4 else k % 251 for k in range(40000))
    relinked = bytearray(binary)
    for k in range(0, len(relinked), 64):
        relinked[k] = (relinked[k] + 8) & 0xFF
    relinked[1000:1000] = binary[20000:21000]
    zeros = bytearray(65536)
    sparse = bytearray(zeros)
    for k in range(0, len(sparse), 4099):
        sparse[k] = k & 0xFF
    pairs = {
        "binary_relinked": (binary, bytes(relinked)),
        "empty_old_text": (b"", TEXT[:5000]),
        "random_unrelated": (bytes(rng.getrandbits(8) for _ in range(8000)), bytes(rng.getrandbits(8) for _ in range(8000))),
        "text_edits": (TEXT, TEXT.replace(b"little", b"LITTLE").replace(b"line 3", b"row 3")[:-500] + b"the end\n"),
        "zeros_sparse": (bytes(zeros), bytes(sparse)),
    }
    for name, (old, new) in pairs.items():
        for suffix, value in ((".old", old), (".new", new)):
            path = os.path.join(folder, name + suffix)
            if not os.path.exists(path):
                write(path, value)


def write_fuzz_seeds(cases):
    """Every case as a seed of fuzz/corpus/fuzz_decompress (a flag byte 0, the old value's
    length in two bytes, the old value, the frame), replayed by ctest."""
    folder = os.path.join(HERE, "..", "..", "..", "fuzz", "corpus", "fuzz_decompress")
    for name, old, data, _ in cases:
        if len(old) < 65536 and len(data) < 200000:
            write(os.path.join(folder, "frames_" + name), bytes([0]) + len(old).to_bytes(2, "little") + old + data)


def main():
    write_corpus()
    write_fuzz_seeds(hand_frames() + hostile_frames(256 * 1024, 512 * 1024))
    cases = hand_frames() + hostile_frames()
    if "--capture" in sys.argv:
        cases += capture()
    else:
        kept = os.path.join(HERE, "cases.tsv")
        captured = set()
        if os.path.exists(kept):
            captured = {line.split("\t")[0] for line in open(kept) if line.startswith("encoder_")}
        if captured:
            sys.exit("cases.tsv lists captured encoder frames: rerun with --capture to keep them")
    lines = []
    olds = {}
    for name, old, data, expect in cases:
        old_name = "-" if not old else olds.setdefault(old, f"old{len(olds)}.bin")
        write(os.path.join(HERE, name + ".frame"), data)
        if expect[0] == "ok":
            new_file = "-"
            if expect[2] is not None:
                new_file = name + ".new"
                write(os.path.join(HERE, new_file), expect[2])
            lines.append(f"{name}\t{old_name}\tok\t{expect[1]}\t{new_file}")
        else:
            lines.append(f"{name}\t{old_name}\t{expect[0]}\t{expect[1]}\t{expect[2]}")
    for old, old_name in olds.items():
        write(os.path.join(HERE, old_name), old)
    with open(os.path.join(HERE, "cases.tsv"), "w") as f:
        f.write("# name\told value\texpected (see make_frames.py)\n")
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
