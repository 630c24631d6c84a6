#!/usr/bin/env python3
"""Replies per second through velvin.dask.parse_bag on a local cluster of 2 worker processes
against 1, with the same partitions.

The replies cycle through the "input" texts of ../shared/bench-data/llm-small.jsonl (relative to
the project root). They are written once as JSON lines, one file per partition, which the
workers read themselves, as they would read stored model outputs; what comes back to this
process is the count of each status, so the figures are of reading and repairing, not of
shipping every value home. Each worker is a process with one thread on 127.0.0.1. Also printed:
the workers' per-partition work done in this process on a sample, the rate without Dask, and
the machine's load average before and after (the workers compete with anything else running).

Usage: /usr/bin/python3 bench/dask_bench.py [--replies N] [--partitions N] [--repeats N]
                                            [--sample N] [--build DIR] [--data FILE]
"""
import argparse
import json
import os
import sys
import tempfile
import time
from collections import Counter
from pathlib import Path

from bench_common import cpu_model

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "bench-data" / "llm-small.jsonl"


def write_partitions(texts, count, replies, directory):
    """`replies` texts cycled from `texts`, as JSON string lines spread over `count` files."""
    paths, per = [], -(-replies // count)
    for p in range(count):
        path = Path(directory) / f"part-{p:03}.jsonl"
        start, stop = p * per, min(replies, (p + 1) * per)
        path.write_text("".join(json.dumps(texts[i % len(texts)]) + "\n" for i in range(start, stop)),
                        encoding="utf-8")
        paths.append(str(path))
    return paths


def timed_run(paths, workers, repeats):
    """(best seconds over `repeats`, status counts) for parse_bag over the files on `workers`
    single-threaded worker processes."""
    import dask.bag as db
    from distributed import Client, LocalCluster

    import velvin.dask

    def job():
        texts = db.read_text(paths).map(json.loads)
        return velvin.dask.parse_bag(texts).pluck("status").frequencies()

    with LocalCluster(n_workers=workers, processes=True, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(workers)
        velvin.dask.parse_bag(db.from_sequence(["[1]"] * workers, npartitions=workers)).compute()  # imports
        best, counts = None, None
        for _ in range(repeats):
            t0 = time.perf_counter()
            counts = dict(job().compute())
            elapsed = time.perf_counter() - t0
            best = elapsed if best is None else min(best, elapsed)
    return best, counts


def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--replies", type=int, default=200_000)
    ap.add_argument("--partitions", type=int, default=16)
    ap.add_argument("--repeats", type=int, default=1)
    ap.add_argument("--sample", type=int, default=20_000, help="replies for the in-process rate")
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--data", default=str(CORPUS))
    args = ap.parse_args()
    # Worker processes are spawned with this sys.path, so they import the same velvin.
    sys.path[:0] = [str(Path(args.build) / "python"), str(ROOT / "python")]
    import velvin.dask

    texts = [json.loads(line)["input"] for line in Path(args.data).read_text(encoding="utf-8").splitlines() if line]
    print(f"CPU: {cpu_model()}, {os.cpu_count()} hardware threads; {load()}")
    print(f"{args.replies} replies cycled from {len(texts)} of {Path(args.data).name}, "
          f"{args.partitions} partitions, best of {args.repeats}")

    sample = [texts[i % len(texts)] for i in range(args.sample)]
    t0 = time.perf_counter()
    velvin.dask._records(sample, {})
    print(f"the same records in this process, without Dask: {args.sample / (time.perf_counter() - t0):,.0f} replies/s")

    rates = {}
    with tempfile.TemporaryDirectory(prefix="velvin-dask-bench-") as directory:
        paths = write_partitions(texts, args.partitions, args.replies, directory)
        for workers in (1, 2):
            seconds, counts = timed_run(paths, workers, args.repeats)
            if sum(counts.values()) != args.replies:
                raise SystemExit(f"expected {args.replies} records, got {sum(counts.values())}")
            rates[workers] = args.replies / seconds
            print(f"parse_bag, {workers} worker process{'es' if workers > 1 else ''}: "
                  f"{rates[workers]:,.0f} replies/s ({seconds:.1f} s); then {load()}")
    print(f"statuses: {dict(sorted(counts.items()))}")
    print(f"speed-up of 2 workers over 1: {rates[2] / rates[1]:.2f}x")


if __name__ == "__main__":
    main()
