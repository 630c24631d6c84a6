#!/usr/bin/env python3
"""strict_loads_py against json.loads (and orjson, ujson, rapidjson where importable).

Prints MB/s per parser and file and the ratio to json.loads measured in the same run. Every
parser gets the same input type it is normally fed: json.loads a str (its common use; decoding
bytes first would only slow it down), the others bytes.

Usage: python3 bench/strict_loads.py [--data DIR] [--build DIR] [--seconds S]
"""
import argparse
import importlib
import json
import os
import platform
import sys
import time
from pathlib import Path

from bench_common import cpu_model

ROOT = Path(__file__).resolve().parents[1]


def best_seconds(fn, arg, budget):
    """Best time of repeated calls within about `budget` seconds (at least 5 calls)."""
    best = float("inf")
    deadline = time.perf_counter() + budget
    runs = 0
    while runs < 5 or time.perf_counter() < deadline:
        t0 = time.perf_counter()
        fn(arg)
        best = min(best, time.perf_counter() - t0)
        runs += 1
    return best


def parsers(vn):
    found = [("velvin", vn.strict_loads_py, "bytes"), ("json", json.loads, "str")]
    for name in ("orjson", "ujson", "rapidjson"):
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        found.append((name, module.loads, "bytes"))
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default=str(ROOT.parent / "shared" / "bench-data"))
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--seconds", type=float, default=1.0, help="time budget per parser and file")
    args = ap.parse_args()

    sys.path.insert(0, str(Path(args.build) / "python"))
    import velvin_native as vn

    files = sorted(Path(args.data).glob("*.json"))
    if not files:
        sys.exit(f"no .json files in {args.data}")
    impls = parsers(vn)
    print(f"CPU: {cpu_model()}; Python {platform.python_version()}; {os.cpu_count()} cores")
    header = f"{'file':<20}" + "".join(f"{name:>12}" for name, _, _ in impls) + f"{'velvin/json':>13}"
    print("MB/s (best of repeated runs)")
    print(header)
    worst_ratio = float("inf")
    for path in files:
        data = path.read_bytes()
        text = data.decode("utf-8")
        expected = json.loads(text)
        if vn.strict_loads_py(data) != expected:
            sys.exit(f"{path.name}: velvin's value differs from json.loads")
        speeds = {}
        for name, fn, kind in impls:
            seconds = best_seconds(fn, text if kind == "str" else data, args.seconds)
            speeds[name] = len(data) / seconds / 1e6
        ratio = speeds["velvin"] / speeds["json"]
        worst_ratio = min(worst_ratio, ratio)
        print(f"{path.name:<20}" + "".join(f"{speeds[n]:>12.0f}" for n, _, _ in impls) + f"{ratio:>12.2f}x")
    print(f"slowest ratio to json.loads: {worst_ratio:.2f}x "
          f"({'meets' if worst_ratio >= 1.0 else 'misses'} the target of at least 1.0x)")


if __name__ == "__main__":
    main()
