"""The quorvane command line: binary deltas between files, and CBOR to JSON and back."""

import argparse
import json
import mmap
import os
import stat
import sys
import time

PROG = "quorvane"
LONG_WORK = 1 << 20  # from this many input bytes, a line per phase on a terminal

EXAMPLES = """\
examples:
  quorvane diff --blocks app-1.0.bin app-1.1.bin -o app.delta
  quorvane patch app-1.0.bin app.delta -o app-1.1.bin
  quorvane compress old.db new.db -o new.db.qvd --level 9
  quorvane decompress old.db new.db.qvd -o new.db
  quorvane cbor-to-json record.cbor --pretty
  curl -s https://example.org/data.json | quorvane json-to-cbor - -o data.cbor

"-" is standard input or output. Progress goes to standard error when it is a terminal
(--quiet silences it). Every error ends with a one-line message and exit status 1
(2 for a wrong command line, 130 for Ctrl-C).
"""

JSON_MAPPING = """\
Plain JSON by default: JSON is read as it is (any object is a map, "$id" keys and all), and
CBOR that JSON cannot hold (byte strings, tags, simple values and undefined, NaN and the
infinities, maps with keys that are not text) is an error naming it and its place.
With --typed, both commands use a reversible form of what JSON lacks (json-to-cbor --typed
reads exactly what cbor-to-json --typed writes):
  byte string                      {"$bytes": "<base64>"}
  tag N (bignums are numbers)      {"$tag": N, "$value": ...}
  simple value N (undefined: 23)   {"$simple": N}
  NaN, Infinity, -Infinity         {"$float": "NaN"}, {"$float": "Infinity"}, ...
  map with a non-text key or a     {"$map": [[key, value], ...]}
  key starting with "$"
and any other object with a key starting with "$" is an error.
Integers have any number of digits; a number no 64-bit float holds (1e400, 1e-400) is an error.
"""


class CommandError(Exception):
    """A failure that ends the command with its one-line message and exit status 1."""


def _name(path):
    return "<stdin>" if path == "-" else path


def _size(number):
    """1536 -> '1.50 KiB'."""
    if number < 1024:
        return f"{number} B"
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        number /= 1024
        if number < 1024 or unit == "TiB":
            return f"{number:.2f} {unit}"
    raise AssertionError  # not reached


def _byte_count(text):
    """A size argument: a number of bytes, optionally with K, M or G (powers of 1024)."""
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    number, factor = text, 1
    if text[-1:].upper() in scale:
        number, factor = text[:-1], scale[text[-1].upper()]
    try:
        value = int(number) * factor
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (bytes, or a number with K, M or G)") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}")
    return value


# --- inputs and outputs -------------------------------------------------------------------

class Input:
    """An input's bytes, `data`: a regular file mapped read-only (read in place), anything
    else (standard input for "-", a pipe, an empty file) read whole."""

    def __init__(self, path):
        self.path = path
        self.data = b""
        self._map = None

    def __enter__(self):
        try:
            if self.path == "-":
                self.data = sys.stdin.buffer.read()
                return self
            with open(self.path, "rb") as file:
                info = os.fstat(file.fileno())
                if stat.S_ISREG(info.st_mode) and info.st_size > 0:
                    try:
                        self._map = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
                        self.data = self._map
                        return self
                    except (OSError, ValueError):
                        pass  # a file system without mappings
                self.data = file.read()
        except OSError as error:
            raise CommandError(f"cannot read {_name(self.path)}: {error.strerror or error}") from None
        return self

    def __exit__(self, *exc_info):
        self.data = b""
        if self._map is not None:
            try:
                self._map.close()
            except BufferError:
                pass  # a view of it still lives; the mapping goes with it

    def as_bytes(self):
        """The content as bytes (one copy of a mapped file), for functions that take only bytes."""
        return self.data if isinstance(self.data, bytes) else bytes(self.data)


def _open_inputs(*paths):
    if sum(path == "-" for path in paths) > 1:
        raise CommandError("only one input can be standard input (-)")
    return [Input(path) for path in paths]


def _check_output(path, inputs, binary):
    """Refuses, before any work, an output that cannot be written or that is an input."""
    if path == "-":
        if binary and sys.stdout.isatty():
            raise CommandError("refusing to write binary data to a terminal: give -o FILE or redirect")
        return
    try:
        info = os.stat(path)
    except FileNotFoundError:
        folder = os.path.dirname(path) or "."
        if not os.path.isdir(folder):
            raise CommandError(f"cannot write {path}: No such file or directory") from None
        if not os.access(folder, os.W_OK):
            raise CommandError(f"cannot write {path}: Permission denied") from None
        return
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror}") from None
    if stat.S_ISDIR(info.st_mode):
        raise CommandError(f"cannot write {path}: Is a directory")
    for source in inputs:
        if source != "-":
            try:
                if os.path.samefile(source, path):
                    raise CommandError(f"the output {path} is also an input")
            except OSError:
                pass


def _write(path, data):
    """Writes a bytes-like result (a PythonOutBuf included, through its buffer, not copied).
    A file left half written by a failure or Ctrl-C is removed."""
    if path == "-":
        out = sys.stdout.buffer
        out.write(data)
        out.flush()
        return
    try:
        file = open(path, "wb")
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
    try:
        with file:
            file.write(data)
    except BaseException as error:
        try:
            if stat.S_ISREG(os.stat(path).st_mode):
                os.unlink(path)
        except OSError:
            pass
        if isinstance(error, OSError):
            raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
        raise


# --- progress -----------------------------------------------------------------------------

class Progress:
    """Lines on standard error: one per phase of long work, and a summary at the end. Shown
    when standard error is a terminal (phases from LONG_WORK input bytes), always with
    --progress, never with --quiet."""

    def __init__(self, args):
        self.start = time.perf_counter()
        forced = getattr(args, "progress", False)
        self.shown = not getattr(args, "quiet", False) and (forced or sys.stderr.isatty())
        self.phases = forced
        self.detail = None

    def sized(self, total):
        """Phase lines from here on if the work is long."""
        self.phases = self.phases or total >= LONG_WORK

    def phase(self, text):
        if self.shown and self.phases:
            print(f"{PROG}: {text}", file=sys.stderr, flush=True)

    def done(self, text):
        if self.shown:
            print(f"{PROG}: {text}, {time.perf_counter() - self.start:.2f} s", file=sys.stderr, flush=True)


def _ratio(part, whole):
    return f"{100 * part / whole:.2f}%" if whole else "-"


# --- the commands -------------------------------------------------------------------------

def _delta_module():
    try:
        from quorvane_core import delta
    except ImportError as error:
        raise CommandError(f"cannot import quorvane_core: {error}") from None
    return delta


def _needs(delta, name):
    if not hasattr(delta, name):
        raise CommandError(f"this quorvane_core ({_version()}) has no delta.{name}: install a release that has it")


def _buffer_call(function, *inputs, **options):
    """function on the inputs read in place; as bytes where it takes only bytes."""
    try:
        return function(*(source.data for source in inputs), **options)
    except TypeError:
        if all(isinstance(source.data, bytes) for source in inputs):
            raise
    return function(*(source.as_bytes() for source in inputs), **options)


def _make_delta(args, label, compute):
    """diff and compress: OLD and NEW in, a delta out."""
    _check_output(args.output, (args.old, args.new), binary=True)
    progress = Progress(args)
    old, new = _open_inputs(args.old, args.new)
    with old, new:
        progress.sized(len(old.data) + len(new.data))
        progress.phase(f"read {_name(args.old)} ({_size(len(old.data))}) and {_name(args.new)} ({_size(len(new.data))})")
        progress.phase(f"{label}...")
        try:
            result = compute(old, new)
        except ValueError as error:  # a value too large, a level out of range
            raise CommandError(f"{label}: {error}") from None
        new_size = len(new.data)
    size = len(memoryview(result))
    progress.phase(f"writing {_size(size)}")
    _write(args.output, result)
    progress.done(f"{_name(args.new)} => {'<stdout>' if args.output == '-' else args.output}: "
                  f"{_ratio(size, new_size)} ({_size(new_size)} => {_size(size)}, {label})")


def _apply_delta(args, label, compute):
    """patch and decompress: OLD and DELTA in, the new value out."""
    _check_output(args.output, (args.old, args.delta), binary=True)
    progress = Progress(args)
    old, patch = _open_inputs(args.old, args.delta)
    with old, patch:
        progress.sized(len(old.data) + len(patch.data))
        progress.phase(f"read {_name(args.old)} ({_size(len(old.data))}) and {_name(args.delta)} ({_size(len(patch.data))})")
        progress.phase(f"{label}...")
        try:
            result = compute(old, patch)
        except ValueError as error:
            raise CommandError(f"{_name(args.delta)}: {error}") from None
    size = len(memoryview(result))
    progress.phase(f"writing {_size(size)}")
    _write(args.output, result)
    progress.done(f"{_name(args.delta)} => {'<stdout>' if args.output == '-' else args.output}: {_size(size)} ({label})")


def command_diff(args):
    delta = _delta_module()
    if args.blocks:
        _make_delta(args, "diff_blocks", lambda old, new: _buffer_call(delta.diff_blocks, old, new))
    else:
        _make_delta(args, "diff", lambda old, new: delta.diff(old.as_bytes(), new.as_bytes()))


def command_patch(args):
    delta = _delta_module()
    _apply_delta(args, "patch", lambda old, patch: delta.patch(old.as_bytes(), patch.as_bytes()))


def command_compress(args):
    delta = _delta_module()
    _needs(delta, "compress")
    options = {} if args.level is None else {"level": args.level}
    _make_delta(args, "compress", lambda old, new: _buffer_call(delta.compress, old, new, **options))


def command_decompress(args):
    delta = _delta_module()
    _needs(delta, "decompress")
    options = {} if args.max_size is None else {"max_size": args.max_size}
    _apply_delta(args, "decompress", lambda old, patch: _buffer_call(delta.decompress, old, patch, **options))


def command_cbor_to_json(args):
    from quorvane_core import cbor
    from quorvane import cbor_json

    _check_output(args.output, (args.input,), binary=False)
    progress = Progress(args)
    (source,) = _open_inputs(args.input)
    name = _name(args.input)
    with source:
        size = len(source.data)
        progress.sized(size)
        progress.phase(f"reading {_size(size)} of CBOR")
        try:
            if args.sequence:
                items = cbor.iter_loads(source.data, standard_tags=False)
                values = list(items)
                if items.truncated:
                    raise CommandError(f"{name}: the sequence ends inside an item (it starts at byte {items.offset})")
            else:
                values = [cbor.loads(source.data, standard_tags=False)]
        except ValueError as error:  # CBORDecodeError
            raise CommandError(f"{name}: {error}") from None
        except RecursionError:
            raise CommandError(f"{name}: nested deeper than the recursion limit") from None
    progress.phase("writing JSON")
    try:
        lines = [cbor_json.write_json(value, typed=args.typed, pretty=args.pretty) + "\n" for value in values]
    except cbor_json.MappingError as error:
        raise CommandError(f"{name}: {error}") from None
    except RecursionError:
        raise CommandError(f"{name}: nested deeper than the recursion limit") from None
    data = "".join(lines).encode("utf-8")
    _write(args.output, data)
    progress.done(f"{name} => {'<stdout>' if args.output == '-' else args.output}: "
                  f"{_size(size)} of CBOR => {_size(len(data))} of JSON")


def command_json_to_cbor(args):
    from quorvane import cbor_json

    _check_output(args.output, (args.input,), binary=True)
    progress = Progress(args)
    (source,) = _open_inputs(args.input)
    name = _name(args.input)
    with source:
        size = len(source.data)
        progress.sized(size)
        progress.phase(f"reading {_size(size)} of JSON")
        try:
            value = cbor_json.read_json(source.as_bytes(), typed=args.typed)
        except cbor_json.MappingError as error:
            raise CommandError(f"{name}: {error}") from None
        except UnicodeDecodeError as error:
            raise CommandError(f"{name}: invalid JSON: not UTF-8 text ({error.reason} at byte {error.start})") from None
        except ValueError as error:  # JSONDecodeError
            raise CommandError(f"{name}: invalid JSON: {error}") from None
        except RecursionError:
            raise CommandError(f"{name}: nested deeper than the recursion limit") from None
    progress.phase("writing CBOR")
    try:
        data = cbor_json.encode(value)
    except cbor_json.MappingError as error:
        raise CommandError(f"{name}: {error}") from None
    except RecursionError:
        raise CommandError(f"{name}: nested deeper than the recursion limit") from None
    _write(args.output, data)
    progress.done(f"{name} => {'<stdout>' if args.output == '-' else args.output}: "
                  f"{_size(size)} of JSON => {_size(len(data))} of CBOR")


# --- the parser ---------------------------------------------------------------------------

def _version():
    try:
        from importlib.metadata import version
        return version("quorvane-core")
    except Exception:  # not installed as a distribution (a source tree), or no metadata
        return "dev"


def build_parser():
    try:
        from quorvane_core import delta
        max_level = getattr(delta, "MAX_LEVEL", None)
    except ImportError:
        max_level = None
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=formatter, epilog=EXAMPLES,
        description="Binary deltas between files, and CBOR to JSON and back (quorvane_core).")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    common = argparse.ArgumentParser(add_help=False)
    noise = common.add_mutually_exclusive_group()
    noise.add_argument("-q", "--quiet", action="store_true", help="no progress on standard error")
    noise.add_argument("--progress", action="store_true",
                       help="progress on standard error even when it is not a terminal")

    def command(name, function, help_text, epilog=None):
        sub = commands.add_parser(name, parents=[common], help=help_text, description=help_text,
                                  epilog=epilog, formatter_class=formatter)
        sub.set_defaults(run=function)
        return sub

    sub = command("diff", command_diff, "a raw delta that turns OLD into NEW",
                  "examples:\n  quorvane diff old.bin new.bin -o new.delta\n"
                  "  quorvane diff --blocks old.tar new.tar -o new.delta\n\n"
                  "The raw format carries no checksum: a damaged delta may patch to a wrong\n"
                  "value. Use compress for deltas that are stored or sent.")
    sub.add_argument("old", metavar="OLD", help='the old value ("-": standard input)')
    sub.add_argument("new", metavar="NEW", help='the new value ("-": standard input)')
    sub.add_argument("-o", "--output", metavar="DELTA", required=True, help='the delta ("-": standard output)')
    sub.add_argument("--blocks", action="store_true",
                     help="diff_blocks: linear time, finds moved and repeated blocks (best for large "
                          "values and binaries); without it, the exact in-order diff")

    sub = command("patch", command_patch, "applies a raw delta to OLD",
                  "example:\n  quorvane patch old.bin new.delta -o new.bin")
    sub.add_argument("old", metavar="OLD", help='the old value ("-": standard input)')
    sub.add_argument("delta", metavar="DELTA", help='the delta ("-": standard input)')
    sub.add_argument("-o", "--output", metavar="NEW", required=True, help='the new value ("-": standard output)')

    levels = f" (up to {max_level})" if max_level is not None else ""
    sub = command("compress", command_compress, "a self-checking, compressed delta that turns OLD into NEW",
                  "example:\n  quorvane compress old.db new.db -o new.db.qvd --level 9")
    sub.add_argument("old", metavar="OLD", help='the old value ("-": standard input)')
    sub.add_argument("new", metavar="NEW", help='the new value ("-": standard input)')
    sub.add_argument("-o", "--output", metavar="DELTA", required=True, help='the delta ("-": standard output)')
    sub.add_argument("--level", type=int, metavar="N",
                     help=f"compression level{levels}; higher is smaller and slower")

    sub = command("decompress", command_decompress, "applies a compressed delta to OLD",
                  "example:\n  quorvane decompress old.db new.db.qvd -o new.db --max-size 1G")
    sub.add_argument("old", metavar="OLD", help='the old value ("-": standard input)')
    sub.add_argument("delta", metavar="DELTA", help='the delta ("-": standard input)')
    sub.add_argument("-o", "--output", metavar="NEW", required=True, help='the new value ("-": standard output)')
    sub.add_argument("--max-size", type=_byte_count, metavar="N",
                     help="refuse a new value larger than N bytes (K, M, G suffixes)")

    sub = command("cbor-to-json", command_cbor_to_json, "one CBOR data item as JSON",
                  "examples:\n  quorvane cbor-to-json record.cbor --pretty\n"
                  "  quorvane cbor-to-json --typed - < record.cbor > record.json\n"
                  "  quorvane cbor-to-json --sequence log.cbor > log.jsonl\n\n" + JSON_MAPPING)
    sub.add_argument("input", metavar="IN", help='the CBOR item ("-": standard input)')
    sub.add_argument("-o", "--output", metavar="OUT", default="-", help='the JSON (default "-": standard output)')
    sub.add_argument("--typed", action="store_true",
                     help='what JSON lacks in the reversible "$" forms below (without it: an error)')
    layout = sub.add_mutually_exclusive_group()
    layout.add_argument("--pretty", action="store_true", help="indented, one member a line")
    layout.add_argument("--sequence", action="store_true",
                        help="IN is a CBOR sequence (items one after another, as repeated cbor.dump "
                             "calls write): one JSON value a line")

    sub = command("json-to-cbor", command_json_to_cbor, "a JSON value as one CBOR data item",
                  "examples:\n  quorvane json-to-cbor record.json -o record.cbor\n"
                  "  quorvane cbor-to-json --typed a.cbor | quorvane json-to-cbor --typed - -o b.cbor\n\n"
                  "Arrays and maps are written with definite lengths, floats in the narrowest\n"
                  "exact width. NaN, Infinity and -Infinity as bare words are read too.\n\n"
                  + JSON_MAPPING)
    sub.add_argument("input", metavar="IN", help='the JSON text, UTF-8 ("-": standard input)')
    sub.add_argument("-o", "--output", metavar="OUT", default="-", help='the CBOR item (default "-": standard output)')
    sub.add_argument("--typed", action="store_true",
                     help='read the "$" forms below (as cbor-to-json --typed writes them)')
    return parser


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr, flush=True)


def main(argv=None):
    """Runs the command line (argv: the arguments, default sys.argv[1:]); returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
        args.run(args)
        return 0
    except CommandError as error:
        _fail(str(error))
    except KeyboardInterrupt:
        _fail("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away: nothing more can be written, the interpreter's own flush included.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except OSError:
            pass
        _fail("standard output was closed")
    except MemoryError:
        _fail("out of memory")
    except RecursionError:
        _fail("nested deeper than the recursion limit")
    except OSError as error:
        where = f" {error.filename}" if error.filename else ""
        _fail(f"{error.strerror or error}{where}")
    except Exception as error:  # still one line, never a traceback
        _fail(f"{type(error).__name__}: {error}")
    return 1
