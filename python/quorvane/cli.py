"""The quorvane command line: binary deltas between files, and CBOR to JSON and back."""

import argparse
import json
import os
import re
import stat
import sys
import tempfile
import threading
import time

PROG = "quorvane"
LONG_WORK = 1 << 20  # from this many input bytes, a line per phase on a terminal
CHUNK = 1 << 20  # files are read and written in pieces of this size (with a percentage)
TICK = 5.0  # seconds between the lines that show a long computation still running
# The exact diff is checked against diff_blocks from this many input bytes: when NEW shares
# less than half of its bytes with OLD, or diff_blocks gives a far smaller delta, a note says so.
EXACT_DIFF_CHECK = 1 << 20
MAX_SIZE = (1 << 64) - 1  # the largest --max-size decompress takes

EXAMPLES = """\
examples:
  quorvane diff --blocks app-1.0.bin app-1.1.bin -o app.delta
  quorvane patch app-1.0.bin app.delta -o app-1.1.bin
  quorvane compress old.db new.db -o new.db.qvd --level 9
  quorvane decompress old.db new.db.qvd -o new.db
  quorvane cbor-to-json record.cbor --pretty
  curl -s https://example.org/data.json | quorvane json-to-cbor - -o data.cbor

"-" is standard input or output. An existing output file is replaced only with -f; it is
written beside its place and renamed over it when complete, so a failure leaves the old
file as it was. Progress goes to standard error when it is a terminal (--quiet silences
it). Every error ends with a one-line message and exit status 1 (2 for a wrong command
line, 130 for Ctrl-C).
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


_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*(?:([KMGTP])(?:i?B)?|B)?\s*", re.IGNORECASE)
_SCALE = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40, "P": 1 << 50}


def _byte_count(text):
    """A size argument: a number of bytes, or a number (1.5 too) with K, M, G, T or P, alone
    or followed by B or iB (each a power of 1024: 1K = 1KB = 1KiB = 1024)."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise argparse.ArgumentTypeError(
            f"not a size: {text!r} (a number of bytes, or with K, M, G, T: 1.5M, 512KiB)")
    number, unit = match.groups()
    whole, _, fraction = number.partition(".")
    scale = _SCALE[unit.upper()] if unit else 1
    value = (int(whole or "0") * scale * 10 ** len(fraction) + int(fraction or "0") * scale) // 10 ** len(fraction)
    if value > MAX_SIZE:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (at most {MAX_SIZE} bytes, 16 EiB)")
    return value


def _int_in(what, low, high):
    """An int argument (--level, --threads) from low to high."""
    def number(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a {what}: {text!r} (a number from {low} to {high})") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be from {low} to {high}, not {text}")
        return value
    return number


# --- progress -----------------------------------------------------------------------------

class Progress:
    """Lines on standard error: one per phase of long work (with a percentage where the
    work's size is known, and a line every TICK seconds while a computation of unknown length
    runs), notes, and a summary at the end. Shown when standard error is a terminal (phases
    from LONG_WORK input bytes), always with --progress, never with --quiet."""

    def __init__(self, args):
        self.start = time.perf_counter()
        forced = getattr(args, "progress", False)
        self.quiet = getattr(args, "quiet", False)
        self.terminal = sys.stderr.isatty()
        self.shown = not self.quiet and (forced or self.terminal)
        self.phases = forced
        self.detail = None

    def sized(self, total):
        """Phase lines from here on if the work is long."""
        self.phases = self.phases or total >= LONG_WORK

    def phase(self, text):
        if self.shown and self.phases:
            print(f"{PROG}: {text}", file=sys.stderr, flush=True)

    def note(self, text):
        """One line of advice: shown unless --quiet."""
        if not self.quiet:
            print(f"{PROG}: note: {text}", file=sys.stderr, flush=True)

    def steps(self, text, total):
        """A function that takes the bytes done so far and shows text with the percentage:
        on a terminal one line rewritten in place, elsewhere a line per tenth."""
        if not (self.shown and self.phases) or total < LONG_WORK:
            return lambda done: None
        last = [-1]

        def show(done):
            percent = 100 * done // total
            step = percent if self.terminal else percent // 10 * 10
            if step == last[0]:
                return
            last[0] = step
            start = "\r" if self.terminal else ""
            end = ("\n" if done >= total else "") if self.terminal else "\n"
            print(f"{start}{PROG}: {text} {step}%", end=end, file=sys.stderr, flush=True)
        return show

    def ticking(self, label):
        """A context in which a line "label... N s" is shown every TICK seconds."""
        return _Ticker(self, label)

    def done(self, text):
        if self.shown:
            print(f"{PROG}: {text}, {time.perf_counter() - self.start:.2f} s", file=sys.stderr, flush=True)


class _Ticker:
    def __init__(self, progress, label):
        self.progress, self.label = progress, label
        self.stop = threading.Event()
        self.thread = None

    def __enter__(self):
        if self.progress.shown and self.progress.phases:
            self.thread = threading.Thread(target=self._run, daemon=True)
            self.thread.start()
        return self

    def _run(self):
        begun = time.perf_counter()
        while not self.stop.wait(TICK):
            self.progress.phase(f"{self.label}... {time.perf_counter() - begun:.0f} s")

    def __exit__(self, *exc_info):
        self.stop.set()
        if self.thread is not None:
            self.thread.join()


def _ratio(part, whole):
    return f"{100 * part / whole:.2f}%" if whole else "-"


# --- inputs and outputs -------------------------------------------------------------------

def _read_chunk(file, view):
    """One read of a regular file into view; the number of bytes read (0 at its end)."""
    return file.readinto(view)


class Input:
    """An input's bytes, `data`: a regular file read in pieces into memory (so that a file
    changed while the command runs cannot take the bytes away from under it), anything else
    (standard input for "-", a pipe, a device) read whole. A file whose size changes while it
    is read is refused."""

    def __init__(self, path, progress=None):
        self.path = path
        self.data = b""
        self.progress = progress

    def __enter__(self):
        try:
            if self.path == "-":
                self.data = sys.stdin.buffer.read()
                return self
            with open(self.path, "rb", buffering=0) as file:
                info = os.fstat(file.fileno())
                if stat.S_ISREG(info.st_mode):
                    self.data = self._read_regular(file, info.st_size)
                else:
                    self.data = file.readall()
        except OSError as error:
            raise CommandError(f"cannot read {_name(self.path)}: {error.strerror or error}") from None
        return self

    def _read_regular(self, file, size):
        data = bytearray(size)
        view = memoryview(data)
        show = self.progress.steps(f"reading {self.path}", size) if self.progress else (lambda done: None)
        done = 0
        with view:
            while done < size:
                count = _read_chunk(file, view[done:done + CHUNK])
                if not count:
                    raise CommandError(f"{self.path} changed while being read: {_size(size)} at the start, "
                                       f"{_size(done)} read")
                done += count
                show(done)
        if file.read(1):
            raise CommandError(f"{self.path} changed while being read: it grew past {_size(size)}")
        return data

    def __exit__(self, *exc_info):
        self.data = b""

    def as_bytes(self):
        """The content as bytes (a copy of what was read into a bytearray)."""
        return self.data if isinstance(self.data, bytes) else bytes(self.data)


def _open_inputs(*paths, progress=None):
    if sum(path == "-" for path in paths) > 1:
        raise CommandError("only one input can be standard input (-)")
    return [Input(path, progress) for path in paths]


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


def _refuse_to_overwrite(args):
    """An existing regular file as the output needs -f (devices such as /dev/null do not),
    unless it is one of the inputs, which the command itself refuses."""
    path = getattr(args, "output", "-")
    if path == "-" or getattr(args, "force", False):
        return
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return
    except OSError:
        return
    for name in getattr(args, "inputs", ()):
        source = getattr(args, name)
        try:
            if source != "-" and os.path.samefile(source, path):
                return
        except OSError:
            pass
    raise CommandError(f"{path} already exists: give -f (--force) to replace it")


def _new_mode(path, mode_from):
    """The permission bits of a new output file: those of the file it replaces, else those of
    mode_from (the old value of patch and decompress: an executable stays executable), else
    the default; the umask applies to the last two."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    mode = 0o666
    if mode_from not in (None, "-"):
        try:
            info = os.stat(mode_from)
            if stat.S_ISREG(info.st_mode):
                mode = stat.S_IMODE(info.st_mode)
        except OSError:
            pass
    return mode & ~mask


def _write_all(file, data, show):
    with memoryview(data) as view, view.cast("B") as octets:
        for start in range(0, len(octets), CHUNK):
            file.write(octets[start:start + CHUNK])
            show(min(start + CHUNK, len(octets)))


def _write(path, data, mode_from=None, progress=None):
    """Writes a bytes-like result (a PythonOutBuf included, through its buffer, not copied).
    A file is written to a temporary file beside it, flushed to the disk, and renamed over it
    only when complete: a failure (a full disk) or Ctrl-C leaves an existing file as it was
    and no temporary file. A device or a pipe given as -o is written directly."""
    if path == "-":
        out = sys.stdout.buffer
        out.write(data)
        out.flush()
        return
    target = os.path.realpath(path)  # through a symbolic link, to the file it names
    try:
        direct = not stat.S_ISREG(os.stat(target).st_mode)
    except OSError:
        direct = False
    size = len(memoryview(data))
    show = progress.steps(f"writing {path}", size) if progress else (lambda done: None)
    if direct:
        try:
            with open(target, "wb") as file:
                _write_all(file, data, show)
        except OSError as error:
            raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
        return
    mode = _new_mode(target, mode_from)
    folder, base = os.path.split(target)
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{base}.", suffix=".part", dir=folder or ".")
    except OSError as error:
        raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
    try:
        with open(handle, "wb") as file:
            _write_all(file, data, show)
            file.flush()
            os.fchmod(file.fileno(), mode)
            os.fsync(file.fileno())
        os.replace(temporary, target)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError):
            raise CommandError(f"cannot write {path}: {error.strerror or error}") from None
        raise
    _sync_folder(folder or ".")


def _sync_folder(folder):
    """Makes the rename itself durable, where the system allows a folder to be synced."""
    try:
        handle = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(handle)
    except OSError:
        pass
    finally:
        os.close(handle)


# --- the commands -------------------------------------------------------------------------

def _delta_module():
    try:
        from quorvane_core import delta
    except ImportError as error:
        raise CommandError(f"cannot import quorvane_core: {error}") from None
    return delta


def _engine_error(label, error):
    """A ValueError of the module as one line, prefixed by label unless it names it already."""
    text = str(error)
    return CommandError(text if text.startswith(f"{label}:") else f"{label}: {text}")


def _size_before_reading(progress, *paths):
    """Phase lines (and percentages while reading) when the input files are long."""
    try:
        progress.sized(sum(os.path.getsize(path) for path in paths if path != "-"))
    except OSError:
        pass  # reading it reports the error


def _make_delta(args, label, compute):
    """diff and compress: OLD and NEW in, a delta out. compute(old, new, progress) -> result."""
    _check_output(args.output, (args.old, args.new), binary=True)
    progress = Progress(args)
    old, new = _open_inputs(args.old, args.new, progress=progress)
    _size_before_reading(progress, args.old, args.new)
    with old, new:
        progress.sized(len(old.data) + len(new.data))
        progress.phase(f"read {_name(args.old)} ({_size(len(old.data))}) and {_name(args.new)} ({_size(len(new.data))})")
        try:
            result = compute(old.data, new.data, progress)
        except ValueError as error:  # a value too large
            raise _engine_error(label, error) from None
        new_size = len(new.data)
    size = len(memoryview(result))
    _write(args.output, result, progress=progress)
    progress.done(f"{_name(args.new)} => {'<stdout>' if args.output == '-' else args.output}: "
                  f"{_ratio(size, new_size)} ({_size(new_size)} => {_size(size)}, {label})")


def _apply_delta(args, label, compute):
    """patch and decompress: OLD and DELTA in, the new value out (with the mode of OLD)."""
    _check_output(args.output, (args.old, args.delta), binary=True)
    progress = Progress(args)
    old, patch = _open_inputs(args.old, args.delta, progress=progress)
    _size_before_reading(progress, args.old, args.delta)
    with old, patch:
        progress.sized(len(old.data) + len(patch.data))
        progress.phase(f"read {_name(args.old)} ({_size(len(old.data))}) and {_name(args.delta)} ({_size(len(patch.data))})")
        try:
            with progress.ticking(label):
                progress.phase(f"{label}...")
                result = compute(old.data, patch.data)
        except ValueError as error:
            raise CommandError(f"{_name(args.delta)}: {error}") from None
    size = len(memoryview(result))
    progress.sized(size)
    _write(args.output, result, mode_from=args.old, progress=progress)
    progress.done(f"{_name(args.delta)} => {'<stdout>' if args.output == '-' else args.output}: {_size(size)} ({label})")


def _exact_diff(delta, old, new, progress):
    """delta.diff, with a note when it is a poor choice for these values: on inputs from
    EXACT_DIFF_CHECK bytes, diff_blocks (linear time) runs first; when it leaves more than
    half of NEW as literal bytes the values share little, and the exact diff, whose time
    grows with the differences, may run long for little gain; when diff_blocks gives a delta
    less than half the exact one (moved or repeated blocks), the note says so after."""
    checked = len(old) + len(new) >= EXACT_DIFF_CHECK and len(new) > 0
    blocks = None
    if checked:
        progress.phase("comparing with diff --blocks...")
        blocks = len(delta.diff_blocks(old, new))
        if 2 * blocks > len(new):
            progress.note(f"OLD and NEW share little ({_ratio(blocks, len(new))} of NEW stays literal "
                          "with --blocks): the exact diff may take long for little gain; "
                          "`quorvane compress` suits such files")
            checked = False
    with progress.ticking("diff"):
        progress.phase("diff...")
        result = delta.diff(old, new)
    if checked and 2 * blocks < len(result):
        progress.note(f"`quorvane diff --blocks` gives {_size(blocks)} for these files, the exact diff "
                      f"{_size(len(result))} (moved or repeated blocks); `quorvane compress` gives a "
                      "self-checking, compressed delta")
    return result


def command_diff(args):
    delta = _delta_module()
    if args.blocks:
        def compute(old, new, progress):
            with progress.ticking("diff_blocks"):
                progress.phase("diff_blocks...")
                return delta.diff_blocks(old, new)
        _make_delta(args, "diff_blocks", compute)
    else:
        _make_delta(args, "diff", lambda old, new, progress: _exact_diff(delta, old, new, progress))


def command_patch(args):
    delta = _delta_module()
    _apply_delta(args, "patch", delta.patch)


def command_compress(args):
    delta = _delta_module()

    def compute(old, new, progress):
        with progress.ticking("compress"):
            progress.phase(f"compress at level {args.level}...")
            return delta.compress(old, new, level=args.level, threads=args.threads)
    _make_delta(args, "compress", compute)


def command_decompress(args):
    delta = _delta_module()
    options = {} if args.max_size is None else {"max_size": args.max_size}  # else the module's default
    _apply_delta(args, "decompress", lambda old, data: delta.decompress(old, data, **options))


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
    """The package's version and the extension's, with where the extension was loaded from
    (they ship in one wheel: a difference means a mixed installation)."""
    from importlib.metadata import PackageNotFoundError, version
    try:
        package = version("quorvane-core")
    except PackageNotFoundError:  # a source tree, not an installed distribution
        package = "(not installed)"
    try:
        import quorvane_core
        from quorvane_core import delta
    except ImportError as error:
        return f"{PROG} {package}, quorvane_core: cannot import ({error})"
    return f"{PROG} {package}, quorvane_core {delta.__version__} ({quorvane_core.__file__})"


def build_parser():
    """The command line's parser. A command is added by `command(...)` with the parents that
    fit it (`common`: -q, --progress, -f; `make`: OLD NEW -o DELTA; `apply`: OLD DELTA -o NEW);
    `inputs` names the arguments that are input files."""
    from quorvane_core import delta

    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=formatter, epilog=EXAMPLES,
        description="Binary deltas between files, and CBOR to JSON and back (quorvane_core).")
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    common = argparse.ArgumentParser(add_help=False)
    noise = common.add_mutually_exclusive_group()
    noise.add_argument("-q", "--quiet", action="store_true", help="no progress or notes on standard error")
    noise.add_argument("--progress", action="store_true",
                       help="progress on standard error even when it is not a terminal")
    common.add_argument("-f", "--force", action="store_true", help="replace an existing output file")

    old = ("old", {"metavar": "OLD", "help": 'the old value ("-": standard input)'})
    make = argparse.ArgumentParser(add_help=False)
    make.add_argument(old[0], **old[1])
    make.add_argument("new", metavar="NEW", help='the new value ("-": standard input)')
    make.add_argument("-o", "--output", metavar="DELTA", required=True, help='the delta ("-": standard output)')
    apply = argparse.ArgumentParser(add_help=False)
    apply.add_argument(old[0], **old[1])
    apply.add_argument("delta", metavar="DELTA", help='the delta ("-": standard input)')
    apply.add_argument("-o", "--output", metavar="NEW", required=True, help='the new value ("-": standard output)')

    def command(name, function, help_text, epilog=None, parents=(), inputs=()):
        sub = commands.add_parser(name, parents=[common, *parents], help=help_text, description=help_text,
                                  epilog=epilog, formatter_class=formatter)
        sub.set_defaults(run=function, inputs=inputs)
        return sub

    sub = command("diff", command_diff, "a raw delta that turns OLD into NEW",
                  "examples:\n  quorvane diff old.bin new.bin -o new.delta\n"
                  "  quorvane diff --blocks old.tar new.tar -o new.delta\n\n"
                  "The exact diff keeps only matches in the same order in both files and its time\n"
                  "grows with their differences: from 1 MiB of input it is compared with --blocks\n"
                  "first, and a note says when --blocks or compress fits the files better.\n"
                  "The raw format carries no checksum: a damaged delta may patch to a wrong\n"
                  "value. Use compress for deltas that are stored or sent.",
                  parents=[make], inputs=("old", "new"))
    sub.add_argument("--blocks", action="store_true",
                     help="diff_blocks: linear time, finds moved and repeated blocks (best for large "
                          "values and binaries); without it, the exact in-order diff")

    command("patch", command_patch, "applies a raw delta to OLD",
            "example:\n  quorvane patch old.bin new.delta -o new.bin\n\n"
            "A new output file takes the permissions of OLD.", parents=[apply], inputs=("old", "delta"))

    sub = command("compress", command_compress, "a self-checking, compressed delta that turns OLD into NEW",
                  "example:\n  quorvane compress old.db new.db -o new.db.qvd --level 9",
                  parents=[make], inputs=("old", "new"))
    sub.add_argument("--level", type=_int_in("level", 1, delta.MAX_LEVEL), metavar="N", default=delta.DEFAULT_LEVEL,
                     help=f"from 1 (fastest) to {delta.MAX_LEVEL} (smallest deltas, slowest); "
                          f"default {delta.DEFAULT_LEVEL}")
    sub.add_argument("--threads", type=_int_in("thread count", 0, 1024), metavar="N", default=1,
                     help="2 or more: make the delta's two modes at once (the same bytes); 0: one per core; "
                          "default 1")

    sub = command("decompress", command_decompress, "applies a compressed delta to OLD",
                  "example:\n  quorvane decompress old.db new.db.qvd -o new.db --max-size 1G\n\n"
                  "A new output file takes the permissions of OLD.", parents=[apply], inputs=("old", "delta"))
    sub.add_argument("--max-size", type=_byte_count, metavar="N",
                     help="refuse a new value larger than N bytes: a number with K, M, G or T (KiB, MiB, ...: "
                          "powers of 1024), 1.5M too; default that of delta.decompress, 4G")

    sub = command("cbor-to-json", command_cbor_to_json, "one CBOR data item as JSON",
                  "examples:\n  quorvane cbor-to-json record.cbor --pretty\n"
                  "  quorvane cbor-to-json --typed - < record.cbor > record.json\n"
                  "  quorvane cbor-to-json --sequence log.cbor > log.jsonl\n\n" + JSON_MAPPING, inputs=("input",))
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
                  + JSON_MAPPING, inputs=("input",))
    sub.add_argument("input", metavar="IN", help='the JSON text, UTF-8 ("-": standard input)')
    sub.add_argument("-o", "--output", metavar="OUT", default="-", help='the CBOR item (default "-": standard output)')
    sub.add_argument("--typed", action="store_true",
                     help='read the "$" forms below (as cbor-to-json --typed writes them)')

    from quorvane import store_cli  # the version store's command, in its own module
    store_cli.add_parser(command)
    return parser


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr, flush=True)


def _parse(argv):
    try:
        return build_parser().parse_args(argv)
    except ImportError as error:  # the extension, needed for the levels in --help
        raise CommandError(f"cannot import quorvane_core: {error}") from None


def main(argv=None):
    """Runs the command line (argv: the arguments, default sys.argv[1:]); returns the exit status.
    The failures a command meets (CommandError, OSError, out of memory, nesting past the
    recursion limit, Ctrl-C, a closed pipe) end with one line; anything else is a bug and
    shows its traceback."""
    args = None
    try:
        args = _parse(argv)
        _refuse_to_overwrite(args)
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
    except MemoryError as error:
        _fail(f"out of memory{f' ({error})' if str(error) else ''}")
    except RecursionError:
        source = getattr(args, "input", None)
        _fail(f"{_name(source) + ': ' if source else ''}nested deeper than the recursion limit")
    except OSError as error:
        where = f" {error.filename}" if error.filename else ""
        _fail(f"{error.strerror or error}{where}")
    return 1
