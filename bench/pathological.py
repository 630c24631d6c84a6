#!/usr/bin/env python3
"""Pathological inputs: time and peak memory of each entry point on hostile input, against the
bounds every input up to 64 MB must hold:

    seconds <= 0.5 per MB of input + ALLOW_SECONDS
    peak    <= 50 bytes per input byte + ALLOW_MB

The fixed allowances are what a result at the repair limit costs whatever the input's size: a
document may carry up to max_total_repairs (100000) repairs, each a Python dict in the result
(made once and shared by the candidates that carry it) and, through the package, a Repair view
besides; 100000 of them take up to ~75 MB and ~0.6 s to build (the "at the limit" cases below
measure it). Below that size a result's cost follows its input.

Each case runs in a fresh child process, so its peak resident memory (minus the memory the
process held before the call, its input already built) is its own; the tool's peak is the whole
process's. Cases: the five floods of repairs (10 MB each), deep nesting, long strings, millions
of tiny tokens, 100 MB of seeded random bytes, documents at the repair limit, and every option
at 0 and at its maximum. Base repairs given to the search count as input by their JSON text.
The bounds are checked for the default options; the rows that set options (a count at its
maximum asks for that much work) show their figures without a verdict.

Usage: python3 bench/pathological.py [--build DIR] [--scale F] [--only SUBSTRING] [--entries LIST]
(--scale 0.1 divides every input size by ten, for a quick look; --entries parse,tool,... limits
the five floods to those entry points.) The exit status is 1 when any case fails a bound.
"""
import argparse
import json
import os
import platform
import random
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_common import cpu_model  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
MB = 1 << 20
U64_MAX = 2**64 - 1
SECONDS_PER_MB = 0.5
BYTES_PER_BYTE = 50
ALLOW_SECONDS = 1.0
ALLOW_MB = 96

# Runs one entry point on standard input; prints seconds, peak memory above what the process
# held before the call (its input included), and an outcome word.
CHILD = r"""
import json, os, subprocess, sys, time, resource
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
import velvin_native as vn
import velvin

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE")

def peak():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024

entry, options, tool = sys.argv[3], json.loads(sys.argv[4]), sys.argv[5]
data = sys.stdin.buffer.read()
text = data.decode("utf-8", "replace") if entry == "beam" else data
base = None
if options.pop("_base_repairs", 0):
    base = [{"op": "x", "span": (0, 1), "cost_delta": 0.1} for _ in range(options.pop("_count"))]
if entry == "tool":
    args = [tool]
    for k, v in options.items():
        args += ["--" + k.replace("_", "-"), str(v)]
    start = time.perf_counter()
    r = subprocess.run(args, input=data, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    words = r.stderr.decode(errors="replace").split(": ")
    outcome = f"exit {r.returncode} " + (words[3] if len(words) > 3 else "")
    used = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "peak": used, "outcome": outcome}))
    sys.exit(0)
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
        out = vn.probabilistic_repair_py(text, options, base)
        outcome = f"{len(out)} candidates"
    elif entry == "scale":
        out = vn.parse_root_array_scale_py(data, options)
        outcome = out["plan"]["mode"]
    elif entry == "velvin.parse":
        r = velvin.parse(data, **options)
        outcome = r.status + (" " + r.errors[0].kind if r.errors else "")
    elif entry == "velvin.loads":
        velvin.loads(data, **options)
        outcome = "value"
except ValueError as e:
    outcome = type(e).__name__ + " " + str(e.args[0])[:40]
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "peak": peak() - before, "outcome": outcome}))
"""

ENTRIES = ["parse", "preprocess", "beam", "strict", "velvin.parse", "velvin.loads", "tool"]


def deep(n, opener, closer=""):
    return opener * n + closer * n


def cases(scale, entries):
    def size(n):
        return max(1, int(n * scale))

    # The five floods of repairs, through every entry point.
    floods = [
        ("[1 1 1 ...]", b"[" + b"1 " * size(5 * MB) + b"]"),
        ("''''...", b"'" * size(10 * MB)),
        ("[ab ab ab ...]", b"[" + b"ab " * size(10 * MB // 3) + b"]"),
        ("{k: v, k: v, ...", b"{" + b"k: v, " * size(10 * MB // 6)),
        ('["x" "x" ...', b"[" + b'"x" ' * size(10 * MB // 4)),
    ]
    for name, data in floods:
        for entry in entries:
            yield f"{name} ({entry})", entry, {}, data

    # The largest input the bounds speak of.
    yield "64 MB of [1 1 1 ...] (velvin.parse)", "velvin.parse", {}, b"[" + b"1 " * size(32 * MB) + b"]"
    yield "64 MB of {k: v, ... (tool)", "tool", {}, b"{" + b"k: v, " * size(64 * MB // 6)

    # At the repair limit: few bytes, the most repairs a document may carry.
    at_limit = b"[" + b"1 " * 99990 + b"@ x]"
    for entry in ("parse", "velvin.parse", "preprocess", "tool"):
        yield f"99990 repairs in 195 KB ({entry})", entry, {}, at_limit
    yield "99990 repairs in 98 KB of ' (velvin.parse)", "velvin.parse", {}, b"[" + b"'" * 99990 + b"]"
    yield "99990 base repairs given (beam)", "beam", {"_base_repairs": 1, "_count": 99990}, b"[1, 2, x y"
    yield "100001 repairs: one past (parse)", "parse", {}, b"[" + b"1 " * 100002 + b"]"

    rnd = random.Random(17).randbytes(size(100 * MB))
    long_string = b'["' + b"x" * size(10 * MB) + b'"]'
    yield "1M nested [ (strict)", "strict", {}, b"[" * size(MB)
    yield "1M nested [ (parse)", "parse", {}, b"[" * size(MB)
    yield "1M nested {\"a\": (parse)", "parse", {}, b'{"a":' * size(MB)
    yield "1024-deep closed arrays (parse)", "parse", {}, deep(1024, b"[", b"]")
    yield "1M [ then 1M ] (parse)", "parse", {}, deep(size(MB), b"[", b"]")
    yield "10 MB of [ then { then ] (parse)", "parse", {}, (b"[" * size(3 * MB) + b"{" * size(3 * MB)
                                                            + b"]" * size(3 * MB))
    yield "10 MB string (strict)", "strict", {}, long_string
    yield "10 MB string (parse)", "parse", {}, long_string
    yield "10 MB unterminated string (parse)", "parse", {}, long_string[:-2]
    yield "10 MB of 1,1,1 (parse)", "parse", {}, b"[" + b"1," * size(5 * MB) + b"1]"
    yield "10 MB of \" (parse)", "parse", {}, b'"' * size(10 * MB)
    yield "10 MB of ``` (parse)", "parse", {}, b"`" * size(10 * MB)
    yield "10 MB of {[ (parse)", "parse", {}, b"{[" * size(5 * MB)
    yield "100 MB random bytes (parse)", "parse", {}, rnd
    yield "100 MB random bytes (strict)", "strict", {}, rnd
    yield "100 MB random bytes (beam)", "beam", {}, rnd
    yield "100 MB random bytes (preprocess)", "preprocess", {}, rnd
    yield "100 MB of @ # (parse)", "parse", {}, b"@ #" * size(33 * MB)
    yield "100 MB of ]]] (parse)", "parse", {}, b"]" * size(100 * MB)

    broken = (b'{"items": [' + b",".join(b'{"id": %d, name: \'n%d\', "ok": True, "v": [1 2 @]}' % (i, i)
                                           for i in range(size(2000))) + b"], 'tail': \"cut")
    counts = ("top_k", "beam_width", "max_repairs", "max_deleted_tokens", "max_close_open_string",
              "max_garbage_skip_bytes", "max_total_repairs")
    for name in counts:
        for value in (0, U64_MAX):
            yield f"{name}={'max' if value else 0} ({len(broken) // 1024} KB broken)", "parse", {name: value}, broken
    for value in (0.0, 1e308):
        yield f"confidence_alpha={value:g}", "parse", {"confidence_alpha": value}, broken
    # The repair limit stays: it is what bounds a result when every other count is unlimited.
    yield "every count option at max but the limit", "parse", {name: U64_MAX for name in counts
                                                               if name != "max_total_repairs"}, broken
    yield "deterministic_seed=max", "parse", {"deterministic_seed": U64_MAX}, broken
    big_array = b"[" + b",".join(b'{"k": %d}' % i for i in range(size(200000))) + b"]"
    yield "scale: chunk 1 byte, 8 workers", "scale", {"allow_parallel": "true", "parallel_chunk_bytes": 1,
                                                      "parallel_workers": 8}, big_array
    yield "scale: chunk max, threshold 0", "scale", {"allow_parallel": "auto", "parallel_chunk_bytes": U64_MAX,
                                                     "parallel_threshold_bytes": 0,
                                                     "min_elements_for_parallel": 0}, big_array
    yield "scale route forced, tape, debug", "parse", {"mode": "scale_pipeline", "scale_output": "tape",
                                                       "debug": True, "allow_parallel": "true"}, big_array


def input_bytes(data, options):
    """The input's size: the text, and base repairs given to the search as their JSON text (they
    are input to that entry point as much as the text is)."""
    if not options.get("_base_repairs"):
        return len(data)
    one = json.dumps({"op": "x", "span": [0, 1], "cost_delta": 0.1})
    return len(data) + (len(one) + 2) * options["_count"]


def verdict(ok):
    return "PASS" if ok else "FAIL"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--only", default="")
    ap.add_argument("--entries", default=",".join(ENTRIES))
    ap.add_argument("--timeout", type=float, default=900)
    args = ap.parse_args()
    build = Path(args.build)
    print(f"Python {platform.python_version()}; {cpu_model()}; {os.cpu_count()} cores; each case in a fresh process")
    print(f"bounds: seconds <= {SECONDS_PER_MB} x MB + {ALLOW_SECONDS}; "
          f"peak <= {BYTES_PER_BYTE} x input bytes + {ALLOW_MB} MB")
    print(f"{'case':<46}{'input':>8}{'seconds':>9}{'s/MB':>7}{'peak MB':>9}{'B/byte':>8}  time mem  outcome")
    failed = 0
    for name, entry, options, data in cases(args.scale, args.entries.split(",")):
        if args.only not in name:
            continue
        size = input_bytes(data, options)
        mb = size / MB
        try:
            r = subprocess.run([sys.executable, "-c", CHILD, str(build / "python"), str(ROOT / "python"), entry,
                                json.dumps(options), str(build / "bin" / "velvin")],
                               input=data, capture_output=True, timeout=args.timeout)
        except subprocess.TimeoutExpired:
            print(f"{name:<46}{mb:>7.1f}M{'timeout':>9}", flush=True)
            failed += 1
            continue
        if r.returncode != 0:
            print(f"{name:<46}{mb:>7.1f}M  crashed ({r.returncode}): {r.stderr.decode()[-200:]}", flush=True)
            failed += 1
            continue
        out = json.loads(r.stdout)
        seconds, peak = out["seconds"], out["peak"]
        time_ok = seconds <= SECONDS_PER_MB * mb + ALLOW_SECONDS
        mem_ok = peak <= BYTES_PER_BYTE * size + ALLOW_MB * MB
        # The bounds hold for the default options; a case that raises a count asks for the work.
        bounded = not any(not key.startswith("_") for key in options)
        failed += bounded and not (time_ok and mem_ok)
        verdicts = f"{verdict(time_ok)} {verdict(mem_ok)}" if bounded else "  -    - "
        print(f"{name:<46}{mb:>7.1f}M{seconds:>9.2f}{seconds / max(mb, 1e-9):>7.2f}{peak / MB:>9.0f}"
              f"{peak / max(size, 1):>8.1f}  {verdicts}  {out['outcome']}", flush=True)
    print(f"{failed} case(s) out of bounds" if failed else "every case within bounds")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
