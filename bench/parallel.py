"""Many values at once: the same deltas one after another, on a thread pool and on a process
pool, each mapping the module's functions directly.

    python bench/parallel.py [--workers 2] [--rounds 3]

Two workloads: diff_blocks on 8 pairs of 8 MiB values with sparse edits and a moved block,
and diff on 8 pairs of 1 MiB values with 3,000 scattered edits (its exact search dominates).
Prints the median wall time of each way over the rounds and its speed-up over one thread,
with the load average, since a shared machine's other jobs take cores from the pools.
"""
import argparse
import concurrent.futures
import os
import random
import statistics
import time

from quorvane_core import delta


def edited(rng, value, edits):
    value = bytearray(value)
    for _ in range(edits):
        at = rng.randrange(len(value))
        value[at:at + rng.randrange(1, 32)] = rng.getrandbits(64).to_bytes(8, "little")
    start, length = rng.randrange(len(value) // 2), 50000
    block = value[start:start + length]
    del value[start:start + length]
    value[rng.randrange(len(value)):0] = block
    return bytes(value)


def pairs(count, size, edits, seed):
    rng = random.Random(seed)
    olds = [rng.getrandbits(8 * size).to_bytes(size, "little") for _ in range(count)]
    return olds, [edited(rng, old, edits) for old in olds]


def timed(run, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    workloads = [("diff_blocks, 8 x 8 MiB, sparse edits", delta.diff_blocks, pairs(8, 8 * 2**20, 20, 1)),
                 ("diff, 8 x 1 MiB, 3,000 edits", delta.diff, pairs(8, 2**20, 3000, 2))]
    print(f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f} at the start")
    with concurrent.futures.ThreadPoolExecutor(args.workers) as threads, \
            concurrent.futures.ProcessPoolExecutor(args.workers) as processes:
        list(processes.map(len, [b""] * args.workers))          # the workers are up
        for label, function, (olds, news) in workloads:
            expected = [bytes(function(o, n)) for o, n in zip(olds, news)]
            assert list(threads.map(function, olds, news)) == expected
            assert list(processes.map(function, olds, news)) == expected
            one = timed(lambda: [function(o, n) for o, n in zip(olds, news)], args.rounds)
            pooled = timed(lambda: list(threads.map(function, olds, news)), args.rounds)
            forked = timed(lambda: list(processes.map(function, olds, news)), args.rounds)
            print(f"{label}: one thread {one:.2f} s; {args.workers} threads {pooled:.2f} s ({one / pooled:.2f}x); "
                  f"{args.workers} processes {forked:.2f} s ({one / forked:.2f}x)")
    print(f"load average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
