"""The command line's files, run as a subprocess: an existing output is replaced only with -f,
and only once the new one is complete (a failing write leaves it as it was); permissions;
an input that changes while the command runs; options checked before any work; percentages
and the notes on the exact diff; --version."""
import importlib.metadata
import os
import random
import signal
import stat
import subprocess
import sys
import textwrap

import pytest

from quorvane_core import delta

pytestmark = pytest.mark.skipif(os.name != "posix", reason="file modes, signals and resource limits of POSIX")


def run(*args, stdin=b"", preexec_fn=None):
    return subprocess.run([sys.executable, "-m", "quorvane", *map(str, args)], input=stdin,
                          capture_output=True, timeout=300, preexec_fn=preexec_fn)


def one_line_error(done, prefix):
    message = done.stderr.decode()
    assert done.returncode == 1, message
    assert message.startswith(f"quorvane: error: {prefix}") and message.count("\n") == 1, message
    return message


@pytest.fixture
def pair(tmp_path):
    rng = random.Random(7)
    old = bytes(rng.getrandbits(8) for _ in range(200_000))
    new = old[:50_000] + b"inserted" + old[50_000:]
    (tmp_path / "old").write_bytes(old)
    (tmp_path / "new").write_bytes(new)
    return tmp_path, old, new


# --- replacing an existing output -------------------------------------------------------------------

COMMANDS = [
    pytest.param(["diff", "{old}", "{new}"], id="diff"),
    pytest.param(["diff", "--blocks", "{old}", "{new}"], id="diff --blocks"),
    pytest.param(["compress", "{old}", "{new}"], id="compress"),
    pytest.param(["patch", "{old}", "{raw}"], id="patch"),
    pytest.param(["decompress", "{old}", "{qvd}"], id="decompress"),
    pytest.param(["cbor-to-json", "{cbor}"], id="cbor-to-json"),
    pytest.param(["json-to-cbor", "{json}"], id="json-to-cbor"),
]


def arguments(template, folder):
    names = {name: folder / name for name in ("old", "new", "raw", "qvd", "cbor", "json")}
    return [part.format(**names) for part in template]


@pytest.fixture
def files(pair):
    folder, old, new = pair
    (folder / "raw").write_bytes(bytes(delta.diff(old, new)))
    (folder / "qvd").write_bytes(delta.compress(old, new))
    (folder / "cbor").write_bytes(b"\x82\x01\x02")
    (folder / "json").write_bytes(b"[1, 2]")
    return folder


@pytest.mark.parametrize("template", COMMANDS)
def test_an_existing_output_is_replaced_only_with_force(files, template):
    out = files / "out"
    out.write_bytes(b"precious")
    done = run(*arguments(template, files), "-o", out)
    one_line_error(done, f"{out} already exists: give -f (--force) to replace it")
    assert out.read_bytes() == b"precious"
    assert run(*arguments(template, files), "-o", out, "--force").returncode == 0
    assert out.read_bytes() != b"precious"
    out.write_bytes(b"precious")
    assert run(*arguments(template, files), "-f", "-o", out).returncode == 0
    assert out.read_bytes() != b"precious"
    assert sorted(p.name for p in files.iterdir() if p.name.startswith(".")) == []  # no temporary file left


def test_a_device_needs_no_force(files):
    done = run("diff", files / "old", files / "new", "-o", os.devnull)
    assert done.returncode == 0, done.stderr
    assert os.path.exists(os.devnull) and stat.S_ISCHR(os.stat(os.devnull).st_mode)


def limit_file_size(limit):
    def apply():
        import resource
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


@pytest.mark.parametrize("command", [["diff", "{cbor}", "{new}"], ["patch", "{old}", "{raw}"]], ids=["diff", "patch"])
def test_a_failing_write_leaves_the_old_output_as_it_was(files, command):
    """The outputs are 200 KB; the file size limit lets the writer fail after 4 KiB."""
    out = files / "out"
    out.write_bytes(b"the previous good version")
    done = run(*arguments(command, files), "-o", out, "-f", preexec_fn=limit_file_size(4096))
    one_line_error(done, f"cannot write {out}: File too large")
    assert out.read_bytes() == b"the previous good version"
    assert [p.name for p in files.iterdir() if p.name.startswith(".")] == []
    # and a new output is not left half written either
    done = run(*arguments(command, files), "-o", files / "fresh", preexec_fn=limit_file_size(4096))
    one_line_error(done, f"cannot write {files / 'fresh'}: File too large")
    assert not (files / "fresh").exists()


def test_a_kill_while_writing_leaves_the_old_output(files):
    """The output is renamed into place only after the last byte: a command killed while it
    writes (here: stopped inside the write by a monkeypatched writer) leaves the old file."""
    out = files / "out"
    out.write_bytes(b"old version")
    script = textwrap.dedent(f"""
        import os, signal, sys
        import quorvane.cli as cli
        write_all = cli._write_all
        def write_then_die(file, data, show):
            file.write(memoryview(data)[:100])
            file.flush()
            os.kill(os.getpid(), signal.SIGKILL)
        cli._write_all = write_then_die
        sys.exit(cli.main(["patch", {str(files / 'old')!r}, {str(files / 'raw')!r}, "-o", {str(out)!r}, "-f"]))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert done.returncode == -signal.SIGKILL
    assert out.read_bytes() == b"old version"


# --- permissions ---------------------------------------------------------------------------------

def test_permissions(files):
    os.chmod(files / "old", 0o750)
    umask = os.umask(0o022)
    try:
        assert run("patch", files / "old", files / "raw", "-o", files / "program").returncode == 0
        assert stat.S_IMODE(os.stat(files / "program").st_mode) == 0o750
        assert run("decompress", files / "old", files / "qvd", "-o", files / "program2").returncode == 0
        assert stat.S_IMODE(os.stat(files / "program2").st_mode) == 0o750
        assert run("diff", files / "old", files / "new", "-o", files / "d").returncode == 0
        assert stat.S_IMODE(os.stat(files / "d").st_mode) == 0o644
        (files / "kept").write_bytes(b"x")
        os.chmod(files / "kept", 0o600)
        assert run("patch", files / "old", files / "raw", "-o", files / "kept", "-f").returncode == 0
        assert stat.S_IMODE(os.stat(files / "kept").st_mode) == 0o600
        assert (files / "kept").read_bytes() == (files / "new").read_bytes()
    finally:
        os.umask(umask)


def test_a_symbolic_link_output_is_written_through(files):
    (files / "target").write_bytes(b"x")
    os.symlink(files / "target", files / "link")
    assert run("patch", files / "old", files / "raw", "-o", files / "link", "-f").returncode == 0
    assert os.path.islink(files / "link")
    assert (files / "target").read_bytes() == (files / "new").read_bytes()


# --- inputs that change ----------------------------------------------------------------------------

def test_an_input_that_shrinks_while_being_read_is_one_line(files):
    """The first piece read truncates the file, as another program might."""
    old = files / "big"
    old.write_bytes(os.urandom(3 << 20))
    script = textwrap.dedent(f"""
        import os, sys
        import quorvane.cli as cli
        read_chunk = cli._read_chunk
        def read_and_truncate(file, view):
            count = read_chunk(file, view)
            os.truncate({str(old)!r}, 1000)
            return count
        cli._read_chunk = read_and_truncate
        sys.exit(cli.main(["diff", "--blocks", {str(old)!r}, {str(files / 'new')!r}, "-o", {str(files / 'd')!r}]))
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    one_line_error(done, f"{old} changed while being read: 3.00 MiB at the start, 1.00 MiB read")
    assert not (files / "d").exists()


def test_an_input_truncated_while_the_command_works_is_no_crash(tmp_path):
    """Truncating OLD once the work has begun: no SIGBUS (the inputs are not mapped)."""
    size = 48 << 20
    rng = random.Random(3)
    block = rng.getrandbits(8 * (1 << 20)).to_bytes(1 << 20, "little")
    (tmp_path / "old").write_bytes(block * (size >> 20))
    (tmp_path / "new").write_bytes(block[::-1] * (size >> 20))
    process = subprocess.Popen([sys.executable, "-m", "quorvane", "diff", "--blocks", "--progress",
                                tmp_path / "old", tmp_path / "new", "-o", tmp_path / "d"], stderr=subprocess.PIPE)
    seen = b""
    while b"diff_blocks..." not in seen:
        line = process.stderr.readline()
        assert line, f"ended before the diff: {seen!r}"
        seen += line
    os.truncate(tmp_path / "old", 0)
    rest = process.stderr.read()
    assert process.wait(timeout=300) == 0, (seen + rest).decode()


def test_inputs_from_pipes_and_devices_are_read_whole(files):
    done = run("diff", "/dev/null", files / "new", "-o", files / "d")
    assert done.returncode == 0, done.stderr
    assert (files / "d").read_bytes() == bytes(delta.diff(b"", (files / "new").read_bytes()))


# --- options checked before any work ---------------------------------------------------------------

@pytest.mark.parametrize("option, value, shown", [
    *(("--level", level, f"from 1 to {delta.MAX_LEVEL}") for level in ["0", "10", "-1", "4294967296", "3.0", "x", "True"]),
    *(("--threads", threads, "from 0 to 1024") for threads in ["-1", "1025", "2.0", "x"]),
])
def test_a_wrong_level_or_thread_count_is_a_usage_error_before_reading_anything(tmp_path, option, value, shown):
    done = run("compress", tmp_path / "missing-old", tmp_path / "missing-new", "-o", tmp_path / "d", option, value)
    message = done.stderr.decode()
    assert done.returncode == 2, message
    assert message.startswith("usage: quorvane compress") and f"argument {option}: " in message
    assert shown in message and "missing-old" not in message.splitlines()[-1]


def test_compress_with_threads_writes_the_same_delta(files):
    for threads in ("1", "2", "0"):
        done = run("compress", files / "old", files / "new", "-o", files / f"d{threads}", "--threads", threads)
        assert done.returncode == 0, done.stderr
    assert (files / "d1").read_bytes() == (files / "d2").read_bytes() == (files / "d0").read_bytes()


def test_compress_help_shows_the_range_and_default():
    text = " ".join(run("compress", "--help").stdout.decode().split())
    assert f"from 1 (fastest) to {delta.MAX_LEVEL} (smallest deltas, slowest); default {delta.DEFAULT_LEVEL}" in text
    assert "-f, --force" in text


@pytest.mark.parametrize("text, value", [
    ("1536", 1536), ("1.5K", 1536), ("1.5k", 1536), ("1.5KiB", 1536), ("1.5KB", 1536), ("1.5 KiB", 1536),
    ("1536B", 1536), ("0.5M", 512 << 10), ("1.5M", 3 << 19), ("2MiB", 2 << 20), ("1G", 1 << 30), ("1T", 1 << 40),
    ("0", 0), (".5K", 512), ("18446744073709551615", 2 ** 64 - 1),
])
def test_max_size_takes_the_usual_suffixes(pair, text, value):
    folder, old, _ = pair
    for length, fits in ((min(value, 4096), True), (value + 1, False)):
        if length > 8 << 20:
            continue
        new = bytes(length)
        (folder / "q").write_bytes(delta.compress(old, new))
        done = run("decompress", folder / "old", folder / "q", "-o", "-", "--max-size", text)
        if fits:
            assert done.returncode == 0 and done.stdout == new, done.stderr
        else:
            one_line_error(done, f"{folder / 'q'}: compressed delta declares a new value of {length} bytes, "
                                 f"more than max_size ({value})")


@pytest.mark.parametrize("text", ["lots", "-1", "1.5X", "1e3", "K", "18446744073709551616", "1.5 M B", ""])
def test_max_size_refuses_what_is_not_a_size(pair, text):
    folder, _, _ = pair
    done = run("decompress", folder / "missing", folder / "missing", "-o", "-", "--max-size", text)
    assert done.returncode == 2 and "argument --max-size: not a size" in done.stderr.decode(), done.stderr


# --- progress and notes ----------------------------------------------------------------------------

def test_long_work_shows_percentages(tmp_path):
    data = os.urandom(3 << 20)
    (tmp_path / "old").write_bytes(data)
    (tmp_path / "new").write_bytes(data[: 1 << 20] + b"x" + data[1 << 20:])
    done = run("diff", "--blocks", "--progress", tmp_path / "old", tmp_path / "new", "-o", tmp_path / "d")
    lines = done.stderr.decode().splitlines()
    assert done.returncode == 0
    for name in ("old", "new"):
        shown = [line for line in lines if line.startswith(f"quorvane: reading {tmp_path / name} ")]
        assert shown[-1].endswith(" 100%") and len(shown) >= 3, lines
    assert lines[-1].startswith(f"quorvane: {tmp_path / 'new'} => {tmp_path / 'd'}: ")
    quiet = run("diff", "--blocks", "-q", tmp_path / "old", tmp_path / "new", "-o", tmp_path / "d", "-f")
    assert quiet.returncode == 0 and quiet.stderr == b""


def test_the_exact_diff_on_unrelated_files_says_which_command_fits(tmp_path):
    (tmp_path / "old").write_bytes(os.urandom(600_000))
    (tmp_path / "new").write_bytes(os.urandom(600_000))
    done = run("diff", tmp_path / "old", tmp_path / "new", "-o", tmp_path / "d")
    notes = [line for line in done.stderr.decode().splitlines() if line.startswith("quorvane: note: ")]
    assert done.returncode == 0 and len(notes) == 1 and "`quorvane compress`" in notes[0], done.stderr
    assert (tmp_path / "d").read_bytes() == bytes(delta.diff((tmp_path / "old").read_bytes(),
                                                              (tmp_path / "new").read_bytes()))
    assert run("diff", "-q", tmp_path / "old", tmp_path / "new", "-o", tmp_path / "d", "-f").stderr == b""


def test_the_exact_diff_on_moved_blocks_names_diff_blocks(tmp_path):
    rng = random.Random(11)
    blocks = [rng.getrandbits(8 * 150_000).to_bytes(150_000, "little") for _ in range(4)]
    (tmp_path / "old").write_bytes(b"".join(blocks))
    (tmp_path / "new").write_bytes(b"".join(reversed(blocks)))
    done = run("diff", tmp_path / "old", tmp_path / "new", "-o", tmp_path / "d")
    notes = [line for line in done.stderr.decode().splitlines() if line.startswith("quorvane: note: ")]
    assert done.returncode == 0 and len(notes) == 1 and "`quorvane diff --blocks` gives" in notes[0], done.stderr


def test_related_files_get_no_note(pair):
    folder, _, _ = pair
    big_old = os.urandom(1 << 20)
    (folder / "bo").write_bytes(big_old)
    (folder / "bn").write_bytes(big_old[:1000] + b"edit" + big_old[1000:])
    done = run("diff", folder / "bo", folder / "bn", "-o", folder / "d")
    assert done.returncode == 0 and done.stderr == b""


# --- --version --------------------------------------------------------------------------------------

def test_version_names_the_package_and_the_extension():
    import quorvane_core

    text = run("--version").stdout.decode()
    assert text == (f"quorvane {importlib.metadata.version('quorvane-core')}, "
                    f"quorvane_core {delta.__version__} ({quorvane_core.__file__})\n")
