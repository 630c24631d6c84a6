#!/usr/bin/env python3
"""Pathological inputs: time and peak memory of each entry point on hostile input.

Each case runs in a fresh child process, so its peak resident memory (minus the memory the
process held before the call, input included) is its own. Cases: deep nesting, very long
strings, millions of tiny tokens, 100 MB of garbage, and every option at 0 and at its maximum.

Usage: python3 bench/pathological.py [--build DIR] [--scale F] [--only SUBSTRING]
(--scale 0.1 divides every input size by ten, for a quick look.)
"""
import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MB = 1 << 20
U64_MAX = 2**64 - 1

CHILD = r"""
import json, os, sys, time
sys.path.insert(0, sys.argv[1])
import velvin_native as vn

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE")

def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

entry, options = sys.argv[2], json.loads(sys.argv[3])
data = sys.stdin.buffer.read()
before = resident()
start = time.perf_counter()
outcome = ""
try:
    if entry == "strict":
        vn.strict_loads_py(data)
        outcome = "ok"
    elif entry == "parse":
        doc = vn.parse_py(data, options)
        outcome = doc["status"] + " " + doc["metrics"]["mode_used"]
    elif entry == "preprocess":
        out = vn.preprocess_py(data, options)
        outcome = f"{len(out['base_repairs'])} repairs"
    elif entry == "beam":
        out = vn.probabilistic_repair_py(data.decode("utf-8", "replace"), options)
        outcome = f"{len(out)} candidates"
    elif entry == "scale":
        out = vn.parse_root_array_scale_py(data, options)
        outcome = out["plan"]["mode"]
except ValueError as e:
    outcome = "ValueError " + str(e.args[0])[:40]
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "peak": peak() - before, "outcome": outcome}))
"""


def deep(n, opener, closer=""):
    return opener * n + closer * n


def cases(scale):
    def size(n):
        return max(1, int(n * scale))

    rnd = os.urandom(size(100 * MB))
    long_string = b'["' + b"x" * size(10 * MB) + b'"]'
    yield "1M nested [ (strict)", "strict", {}, b"[" * size(MB)
    yield "1M nested [ (parse)", "parse", {}, b"[" * size(MB)
    yield "1M nested {\"a\": (parse)", "parse", {}, b'{"a":' * size(MB)
    yield "1024-deep closed arrays (parse)", "parse", {}, deep(1024, b"[", b"]")
    yield "1M [ then 1M ] (parse)", "parse", {}, deep(size(MB), b"[", b"]")
    yield "10 MB string (strict)", "strict", {}, long_string
    yield "10 MB string (parse)", "parse", {}, long_string
    yield "10 MB unterminated string (parse)", "parse", {}, long_string[:-2]
    yield "10 MB of 1,1,1 (parse)", "parse", {}, b"[" + b"1," * size(5 * MB) + b"1]"
    yield "10 MB of 1 1 1 (parse)", "parse", {}, b"[" + b"1 " * size(5 * MB) + b"]"
    yield "10 MB of bare words (parse)", "parse", {}, b"[" + b"ab " * size(3 * MB) + b"]"
    yield "10 MB of ' (preprocess)", "preprocess", {}, b"'" * size(10 * MB)
    yield "10 MB of ' (parse)", "parse", {}, b"'" * size(10 * MB)
    yield "10 MB of \" (parse)", "parse", {}, b'"' * size(10 * MB)
    yield "10 MB of ``` (parse)", "parse", {}, b"`" * size(10 * MB)
    yield "10 MB of {[ (parse)", "parse", {}, b"{[" * size(5 * MB)
    yield "100 MB random bytes (parse)", "parse", {}, rnd
    yield "100 MB random bytes (strict)", "strict", {}, rnd
    yield "100 MB random bytes (beam)", "beam", {}, rnd
    yield "100 MB of @ # (parse)", "parse", {}, b"@ #" * size(33 * MB)
    yield "100 MB of ]]] (parse)", "parse", {}, b"]" * size(100 * MB)

    broken = (b'{"items": [' + b",".join(b'{"id": %d, name: \'n%d\', "ok": True, "v": [1 2 @]}' % (i, i)
                                           for i in range(size(2000))) + b"], 'tail': \"cut")
    counts = ("top_k", "beam_width", "max_repairs", "max_deleted_tokens", "max_close_open_string",
              "max_garbage_skip_bytes")
    for name in counts:
        for value in (0, U64_MAX):
            yield f"{name}={'max' if value else 0} ({len(broken) // 1024} KB broken)", "parse", {name: value}, broken
    for value in (0.0, 1e308):
        yield f"confidence_alpha={value:g}", "parse", {"confidence_alpha": value}, broken
    yield "every count option at max", "parse", {name: U64_MAX for name in counts}, broken
    yield "deterministic_seed=max", "parse", {"deterministic_seed": U64_MAX}, broken
    big_array = b"[" + b",".join(b'{"k": %d}' % i for i in range(size(200000))) + b"]"
    yield "scale: chunk 1 byte, 8 workers", "scale", {"allow_parallel": "true", "parallel_chunk_bytes": 1,
                                                      "parallel_workers": 8}, big_array
    yield "scale: chunk max, threshold 0", "scale", {"allow_parallel": "auto", "parallel_chunk_bytes": U64_MAX,
                                                     "parallel_threshold_bytes": 0,
                                                     "min_elements_for_parallel": 0}, big_array
    yield "scale route forced, tape, debug", "parse", {"mode": "scale_pipeline", "scale_output": "tape",
                                                       "debug": True, "allow_parallel": "true"}, big_array


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--only", default="")
    ap.add_argument("--timeout", type=float, default=900)
    args = ap.parse_args()
    print(f"Python {platform.python_version()}; {os.cpu_count()} cores; each case in a fresh process")
    print(f"{'case':<44}{'input':>10}{'seconds':>10}{'peak MB':>10}  outcome")
    for name, entry, options, data in cases(args.scale):
        if args.only not in name:
            continue
        start = time.perf_counter()
        try:
            r = subprocess.run([sys.executable, "-c", CHILD, str(Path(args.build) / "python"), entry,
                                json.dumps(options)], input=data, capture_output=True, timeout=args.timeout)
        except subprocess.TimeoutExpired:
            print(f"{name:<44}{len(data) / MB:>9.1f}M{'timeout':>10}")
            continue
        if r.returncode != 0:
            print(f"{name:<44}{len(data) / MB:>9.1f}M  crashed ({r.returncode}): {r.stderr.decode()[-200:]}")
            continue
        out = json.loads(r.stdout)
        print(f"{name:<44}{len(data) / MB:>9.1f}M{out['seconds']:>10.2f}{out['peak'] / MB:>10.0f}  "
              f"{out['outcome']}", flush=True)
        del start


if __name__ == "__main__":
    main()
