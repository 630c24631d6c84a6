"""Scale pipeline throughput and peak memory on generated documents.

Generates documents of the requested sizes in a temporary directory (deleted afterwards), in two
shapes: a root array of records, and a root object holding the records under "items". For each
document it measures, each in a fresh process so that peak memory is that run's own:

  tape   the tape path (parse_root_array_scale_tape) with 1 and 2 workers  [build/bench/bench_scale]
  value  the value path with its conversion to Python objects
         (velvin_native.parse_root_array_scale_py) with 1 and 2 workers
  json   json.loads on the same bytes, the peer

MB/s is the median over the repeated runs (the first run of a process pays for fresh memory;
it is printed separately), peak is the process's maximum resident memory minus its resident
memory before the document was read. Runs that would not fit in the available memory are
skipped with the reason printed.

Usage: python3 bench/scale.py [--build build] [--sizes 64,256,1024] [--tmp /tmp] [--keep]
"""

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from bench_common import cpu_model

MB = 1 << 20

# Resident memory a run needs, in multiples of the document size (measured on these documents,
# rounded up): the document plus a 25-byte entry per ~7.8 input bytes for the tape; the value
# tree plus the Python objects for the value path; the decoded text plus the objects for json.
NEED = {"tape": 5.0, "value": 12.0, "json": 8.0}

CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import velvin_native

def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (__import__("os").sysconf("SC_PAGESIZE") // 1024)

path, impl, repeat, options = sys.argv[2], sys.argv[3], int(sys.argv[4]), json.loads(sys.argv[5])
before = resident_kib()
with open(path, "rb") as f:
    data = f.read()
loaded = resident_kib()
seconds, plan = [], None
for _ in range(repeat):
    start = time.perf_counter()
    if impl == "value":
        result = velvin_native.parse_root_array_scale_py(data, options)
    else:
        result = json.loads(data)
    seconds.append(time.perf_counter() - start)
    if impl == "value":
        plan = result["plan"]["mode"]
    del result
import resource
print(json.dumps({"seconds": seconds, "bytes": len(data), "plan": plan, "rss_before_kib": before,
                  "rss_loaded_kib": loaded,
                  "peak_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))
"""


def available_bytes():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


RECORD = (
    '{"id": %d, "name": "user_%d", "email": "user%d@example.com", "active": %s, '
    '"score": %.2f, "tags": ["%s", "%s"], "address": {"city": "%s", "zip": "%05d"}, '
    '"note": %s}'
)
WORDS = ["alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "zeta"]
CITIES = ["Springfield", "Shelbyville", "Ogdenville", "North Haverbrook", "Capital City"]


def write_records(f, size):
    """Writes records separated by ",\n" until about `size` bytes; returns the count."""
    written, i, batch = 0, 0, []
    while written < size:
        record = RECORD % (
            i, i, i, "true" if i % 3 else "false", (i * 7919 % 10000) / 100.0,
            WORDS[i % 8], WORDS[i * 7 % 8], CITIES[i % 5], i % 100000,
            "null" if i % 4 else '"vip \\"gold\\" member"',
        )
        batch.append(record)
        written += len(record) + 2
        i += 1
        if len(batch) == 20000:
            f.write(",\n".join(batch).encode())
            f.write(b",\n")
            batch = []
    f.write(",\n".join(batch).encode())
    return i


def generate(directory, size_mb):
    paths = {}
    records = os.path.join(directory, f"records_{size_mb}mb.json")
    with open(records, "wb") as f:
        f.write(b"[\n")
        write_records(f, size_mb * MB)
        f.write(b"\n]\n")
    paths["records"] = records
    items = os.path.join(directory, f"items_{size_mb}mb.json")
    with open(items, "wb") as f:
        f.write(b'{"meta": {"source": "bench", "shape": "items"},\n "items": [\n')
        write_records(f, size_mb * MB)
        f.write(b"\n]}\n")
    paths["items"] = items
    return paths


def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{command[0]} failed: {done.stderr.strip()}")
    return json.loads(done.stdout)


def measure(kind, path, workers, repeat, args, shape):
    size = os.path.getsize(path)
    need = NEED[kind] * size
    if available_bytes() < need * 1.25:
        return {"skipped": f"needs about {need / MB:.0f} MB, {available_bytes() / MB:.0f} MB available"}
    threshold = str(1_000_000)
    if kind == "tape":
        command = [os.path.join(args.build, "bench", "bench_scale"), path, "tape", str(workers),
                   str(repeat), threshold]
    else:
        options = {"parallel_threshold_bytes": 1_000_000, "parallel_workers": workers}
        if shape == "items":
            options["scale_target_keys"] = ["items"]
        command = [sys.executable, "-c", CHILD, os.path.join(args.build, "python"), path,
                   "value" if kind == "value" else "json", str(repeat), json.dumps(options)]
    result = run(command)
    seconds = result["seconds"]
    steady = seconds[1:] if len(seconds) > 1 else seconds
    result["mbps"] = size / MB / statistics.median(steady)
    result["first_mbps"] = size / MB / seconds[0]
    result["peak_mb"] = (result["peak_kib"] - result["rss_before_kib"]) / 1024
    return result


def fmt(result, key="mbps"):
    if "skipped" in result:
        return "skipped"
    return f"{result[key]:.0f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--sizes", default="64,256,1024", help="document sizes in MB")
    parser.add_argument("--tmp", default=tempfile.gettempdir())
    parser.add_argument("--keep", action="store_true", help="keep the generated documents")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    if not os.path.exists(os.path.join(args.build, "bench", "bench_scale")):
        sys.exit(f"build first: cmake --build {args.build} (bench/bench_scale not found)")

    print(f"CPU: {cpu_model()}, {os.cpu_count()} hardware threads; load average "
          f"{'/'.join(f'{x:.2f}' for x in os.getloadavg())}; "
          f"{available_bytes() / MB / 1024:.1f} GiB available; Python {platform.python_version()}")
    directory = tempfile.mkdtemp(prefix="velvin-scale-", dir=args.tmp)
    rows = []
    started = time.monotonic()
    try:
        for size_mb in sizes:
            free = shutil.disk_usage(directory).free
            if free < 2.5 * size_mb * MB:
                print(f"{size_mb} MB: skipped, {free / MB:.0f} MB of disk free")
                continue
            paths = generate(directory, size_mb)
            repeat = 5 if size_mb <= 64 else 3 if size_mb <= 256 else 2
            for shape, path in paths.items():
                row = {"size_mb": size_mb, "shape": shape}
                for workers in (1, 2):
                    row[f"tape{workers}"] = measure("tape", path, workers, repeat, args, shape)
                for workers in (1, 2):
                    row[f"value{workers}"] = measure("value", path, workers, 2, args, shape)
                row["json"] = measure("json", path, 1, 2, args, shape)
                rows.append(row)
                report_row(row)
                os.remove(path)
    finally:
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)
    print(f"\n({time.monotonic() - started:.0f} s)")
    summary(rows)


def report_row(row):
    t1, t2 = row["tape1"], row["tape2"]
    print(f"\n{row['size_mb']} MB {row['shape']}:")
    for key in ("tape1", "tape2", "value1", "value2", "json"):
        r = row[key]
        if "skipped" in r:
            print(f"  {key:7} skipped: {r['skipped']}")
            continue
        extra = ""
        if key.startswith("tape"):
            footprint = r["tape_bytes"] / MB + r["bytes"] / MB
            extra = (f" tape {r['tape_bytes'] / MB:.0f} MB ({r['entries']} entries of "
                     f"{r['entry_size']} bytes), peak/(tape+doc) {r['peak_mb'] / footprint:.2f}")
        print(f"  {key:7} {r['mbps']:6.0f} MB/s (first run {r['first_mbps']:4.0f}), "
              f"peak {r['peak_mb']:6.0f} MB, plan {r.get('plan')}{extra}")
    if "skipped" not in t1 and "skipped" not in t2:
        print(f"  tape speed-up with 2 workers: {t2['mbps'] / t1['mbps']:.2f}x")
    j = row["json"]
    for key in ("value1", "value2"):
        if "skipped" not in row[key] and "skipped" not in j:
            print(f"  {key} / json.loads: {row[key]['mbps'] / j['mbps']:.2f}x")


def summary(rows):
    print("\n| size | shape | tape 1w MB/s | tape 2w MB/s | 2w/1w | tape peak/(tape+doc) "
          "| value 1w MB/s | value 2w MB/s | json.loads MB/s | value 2w/json |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for row in rows:
        t1, t2, v1, v2, j = (row[k] for k in ("tape1", "tape2", "value1", "value2", "json"))
        speedup = f"{t2['mbps'] / t1['mbps']:.2f}x" if "skipped" not in t1 and "skipped" not in t2 else "-"
        peaks = [r["peak_mb"] / ((r["tape_bytes"] + r["bytes"]) / MB) for r in (t1, t2) if "skipped" not in r]
        ratio = f"{v2['mbps'] / j['mbps']:.2f}x" if "skipped" not in v2 and "skipped" not in j else "-"
        print(f"| {row['size_mb']} MB | {row['shape']} | {fmt(t1)} | {fmt(t2)} | {speedup} | "
              f"{max(peaks):.2f} | {fmt(v1)} | {fmt(v2)} | {fmt(j)} | {ratio} |" if peaks else
              f"| {row['size_mb']} MB | {row['shape']} | skipped |")


if __name__ == "__main__":
    main()
