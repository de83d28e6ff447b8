"""Deltas for a directory of file versions, computed and applied on a dask cluster.

    python examples/many_values.py DIRECTORY [--workers 2] [--exact] [--out DELTAS]
    python examples/many_values.py DIRECTORY --make-sample 8    # write 8 sample versions first

DIRECTORY holds successive versions of a value, one file each, in name order (report.001,
report.002, ...). The example starts a dask.distributed.LocalCluster with worker processes,
has the workers read the versions, maps delta.diff_blocks (or delta.diff with --exact) over
each pair of neighbours and delta.patch over the results, and checks that every patched
value equals the version it was made from. The module's functions go to the workers as they
are (they pickle by reference), and the results come back as bytes. It prints what the
deltas save and the time against the same work in this process alone; --out keeps the
deltas, one file per version after the first.

Needs dask[distributed]: pip install "dask[distributed]".
"""
import argparse
import importlib
import operator
import pathlib
import random
import sys
import time

from quorvane_core import delta


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def make_sample(directory, count, size=4 * 2**20, edits=20, seed=1):
    """`count` versions of a `size`-byte value, each `edits` small edits and a moved block
    away from the one before."""
    rng = random.Random(seed)
    value = bytearray(rng.getrandbits(8 * size).to_bytes(size, "little"))
    directory.mkdir(parents=True, exist_ok=True)
    for number in range(1, count + 1):
        (directory / f"value.{number:03d}").write_bytes(value)
        for _ in range(edits):
            at = rng.randrange(len(value))
            value[at:at + rng.randrange(1, 64)] = rng.getrandbits(64).to_bytes(8, "little")
        start, length = rng.randrange(len(value) // 2), rng.randrange(4096, 65536)
        block = value[start:start + length]
        del value[start:start + length]
        value[rng.randrange(len(value)):0] = block


def in_this_process(paths, function):
    """The same work in one process, one value after another: the time to beat."""
    start = time.perf_counter()
    values = [read_bytes(p) for p in paths]
    deltas = [bytes(function(old, new)) for old, new in zip(values, values[1:])]
    assert all(delta.patch(old, d) == new for old, d, new in zip(values, deltas, values[1:]))
    return time.perf_counter() - start


def on_the_cluster(client, paths, function):
    start = time.perf_counter()
    values = client.map(read_bytes, [str(p) for p in paths])          # read where they are used
    olds, news = values[:-1], values[1:]
    deltas = client.map(bytes, client.map(function, olds, news))      # PythonOutBuf -> bytes
    patched = client.map(delta.patch, olds, deltas)
    checks = client.map(operator.eq, patched, news)                   # a PythonOutBuf == bytes
    sizes = client.map(len, deltas)
    ok, sizes, lengths = client.gather([checks, sizes, client.map(len, news)])
    took = time.perf_counter() - start
    if not all(ok):
        raise SystemExit("a patched value differs from its version")
    return took, sizes, lengths, deltas


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", type=pathlib.Path)
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--exact", action="store_true", help="delta.diff instead of delta.diff_blocks")
    parser.add_argument("--out", type=pathlib.Path, help="write the deltas into this directory")
    parser.add_argument("--make-sample", type=int, metavar="N", help="first write N sample versions")
    parser.add_argument("--sample-size", type=int, default=4 * 2**20, help="bytes of a sample version")
    parser.add_argument("--sample-edits", type=int, default=20, help="edits between sample versions")
    args = parser.parse_args(argv)
    if args.make_sample:
        make_sample(args.directory, args.make_sample, args.sample_size, args.sample_edits)
    if not args.directory.is_dir():
        parser.exit(2, f"many_values: {args.directory}: not a directory\n")
    paths = sorted(p for p in args.directory.iterdir() if p.is_file())
    if len(paths) < 2:
        parser.exit(2, f"many_values: {args.directory}: needs two versions or more\n")
    try:
        from dask.distributed import Client, LocalCluster
    except ImportError:
        parser.exit(2, 'many_values: needs dask.distributed: pip install "dask[distributed]"\n')
    function = delta.diff if args.exact else delta.diff_blocks

    alone = in_this_process(paths, function)
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(importlib.import_module, "quorvane_core")            # the workers are ready
        took, sizes, lengths, deltas = on_the_cluster(client, paths, function)
        if args.out:
            args.out.mkdir(parents=True, exist_ok=True)
            for path, data in zip(paths[1:], client.gather(deltas)):
                (args.out / (path.name + ".delta")).write_bytes(data)

    print(f"{len(paths)} versions, {sum(lengths):,} bytes after the first; "
          f"{len(sizes)} deltas by {function.__name__}: {sum(sizes):,} bytes "
          f"({100 * sum(sizes) / max(sum(lengths), 1):.2f}%), every one patched back and checked")
    print(f"{args.workers} worker processes: {took:.2f} s; this process alone: {alone:.2f} s "
          f"(speed-up {alone / took:.2f}x)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
