#!/usr/bin/env python3
"""parse_py over the broken model-output corpora and the valid benchmark files.

For each ../shared/bench-data/llm-*.jsonl corpus: documents per second, median and p99 latency
(each document's best of --repeats calls), and how often the best value equals the document's
"source" (documents not cut off by truncation) or any value was found (truncated ones). When
node is on PATH, the npm package jsonrepair is measured on the same corpora in the same run
(installed on first use into <build>/npm-bench).

For each valid *.json file: parse_py time against strict_loads_py on the same bytes.

Usage: python3 bench/pipeline.py [--data DIR] [--build DIR] [--repeats N] [--no-node]
"""
import argparse
import json
import os
import platform
import statistics
import sys
import time
from pathlib import Path

from bench_common import cpu_model, ensure_jsonrepair, run_jsonrepair, same_value

ROOT = Path(__file__).resolve().parents[1]


def best_ns(fn, arg, repeats):
    best = None
    for _ in range(repeats):
        t0 = time.perf_counter_ns()
        fn(arg)
        dt = time.perf_counter_ns() - t0
        best = dt if best is None else min(best, dt)
    return best


def latency_stats(latencies_ns):
    ordered = sorted(latencies_ns)
    p99 = ordered[min(len(ordered) - 1, int(round(0.99 * (len(ordered) - 1))))]
    return {
        "docs_per_s": len(ordered) / (sum(ordered) / 1e9),
        "median_ms": statistics.median(ordered) / 1e6,
        "p99_ms": p99 / 1e6,
    }


def quality(docs, values):
    """(exact matches among complete documents, complete count, values among truncated, truncated count)."""
    exact = complete = found_truncated = truncated = 0
    for doc, (found, value) in zip(docs, values):
        if "truncated" in doc["defects"]:
            truncated += 1
            found_truncated += found
        else:
            complete += 1
            exact += found and same_value(value, json.loads(doc["source"]))
    return exact, complete, found_truncated, truncated


def run_velvin(vn, docs, repeats):
    latencies, values = [], []
    for doc in docs:
        text = doc["input"]
        latencies.append(best_ns(vn.parse_py, text, repeats))
        result = vn.parse_py(text)
        if result["best_index"] is None:
            values.append((False, None))
        else:
            values.append((True, result["candidates"][result["best_index"]]["value"]))
    return latencies, values


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default=str(ROOT.parent / "shared" / "bench-data"))
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--no-node", action="store_true", help="skip the jsonrepair comparison")
    args = ap.parse_args()
    sys.path.insert(0, str(Path(args.build) / "python"))
    import velvin_native as vn

    print(f"CPU: {cpu_model()}; Python {platform.python_version()}; {os.cpu_count()} cores; "
          f"best of {args.repeats} calls per document")
    prefix, note = (None, "disabled") if args.no_node else ensure_jsonrepair(args.build)
    print(f"jsonrepair: {note if prefix is None else 'npm jsonrepair ' + note}")

    data = Path(args.data)
    corpora = sorted(data.glob("llm-*.jsonl"))
    print("\nBroken model output (parse_py; exact = best value equals the source, complete documents)")
    print(f"{'corpus':<18}{'engine':<12}{'docs/s':>10}{'median ms':>11}{'p99 ms':>9}{'exact':>12}{'truncated→value':>17}")
    for corpus in corpora:
        docs = [json.loads(line) for line in corpus.read_text(encoding="utf-8").splitlines() if line]
        rows = [("velvin",) + run_velvin(vn, docs, args.repeats)]
        if prefix is not None:
            rows.append(("jsonrepair",) + tuple(run_jsonrepair(prefix, corpus, args.repeats)))
        speeds = {}
        for name, latencies, values in rows:
            s = latency_stats(latencies)
            speeds[name] = s["docs_per_s"]
            exact, complete, found_t, trunc = quality(docs, values)
            print(f"{corpus.stem:<18}{name:<12}{s['docs_per_s']:>10.0f}{s['median_ms']:>11.3f}{s['p99_ms']:>9.3f}"
                  f"{exact:>7}/{complete:<4}{found_t:>12}/{trunc:<4}")
        if "jsonrepair" in speeds:
            print(f"{'':<18}{'ratio':<12}{speeds['velvin'] / speeds['jsonrepair']:>9.2f}x velvin/jsonrepair")

    print("\nValid documents (parse_py against strict_loads_py on the same bytes; target: within 2x)")
    print(f"{'file':<20}{'strict MB/s':>12}{'parse MB/s':>12}{'parse/strict time':>19}")
    worst = 0.0
    for path in sorted(data.glob("*.json")):
        raw = path.read_bytes()
        strict = best_ns(vn.strict_loads_py, raw, max(args.repeats, 5))
        parse = best_ns(vn.parse_py, raw, max(args.repeats, 5))
        worst = max(worst, parse / strict)
        print(f"{path.name:<20}{len(raw) / strict * 1e3:>12.0f}{len(raw) / parse * 1e3:>12.0f}{parse / strict:>18.2f}x")
    print(f"slowest: {worst:.2f}x ({'meets' if worst <= 2.0 else 'misses'} the 2x target)")
    small_calls(args.build)


def per_call_us(fn, arg, calls=20000):
    best = None
    for _ in range(3):
        t0 = time.perf_counter_ns()
        for _ in range(calls):
            fn(arg)
        dt = (time.perf_counter_ns() - t0) / calls / 1e3
        best = dt if best is None else min(best, dt)
    return best


def small_calls(build):
    """The package's entry points on one small reply, per call (valid JSON takes the strict path
    in velvin.loads; broken JSON runs the pipeline)."""
    sys.path[:0] = [str(Path(build) / "python"), str(ROOT / "python")]
    import velvin

    valid = '{"name": "Ada", "tags": ["math", "eng"], "n": 3}'
    broken = 'Here: {name: "Ada", tags: ["math", "eng",], n: 3}'
    print("\nOne small reply, microseconds per call (best of 3 × 20,000)")
    print(f"{'call':<26}{'valid':>10}{'broken':>10}")
    rows = [("json.loads", json.loads), ("velvin.loads", velvin.loads),
            ("velvin.repair_json", velvin.repair_json), ("velvin.parse", velvin.parse)]
    for name, fn in rows:
        cells = []
        for text in (valid, broken):
            try:
                cells.append(f"{per_call_us(fn, text):>10.2f}")
            except ValueError:
                cells.append(f"{'raises':>10}")
        print(f"{name:<26}{''.join(cells)}")


if __name__ == "__main__":
    main()
