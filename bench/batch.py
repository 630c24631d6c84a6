#!/usr/bin/env python3
"""velvin.loads_many against a Python loop of velvin.loads on the model-output corpora.

For llm-small and llm-medium (../shared/bench-data/llm-*.jsonl, the "input" of every line, the
corpus repeated to at least --min-docs texts): documents per second of the loop, of loads_many
with jobs=1 and jobs=2 (best of --repeats runs each), and their ratios to the loop. The batch
holds the interpreter lock throughout; its threads are native ones inside the call. The machine's
load average is printed first, since other work on the cores changes what jobs=2 can gain.

Usage: python3 bench/batch.py [--data DIR] [--build DIR] [--repeats N] [--min-docs N]
"""
import argparse
import json
import os
import platform
import sys
from pathlib import Path

from bench_common import best_seconds, cpu_model

ROOT = Path(__file__).resolve().parents[1]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default=str(ROOT.parent / "shared" / "bench-data"))
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--min-docs", type=int, default=2000)
    args = ap.parse_args()
    sys.path[:0] = [str(Path(args.build) / "python"), str(ROOT / "python")]
    import velvin

    def loop(texts):
        out = []
        for t in texts:
            try:
                out.append(velvin.loads(t))
            except velvin.RepairError as e:
                out.append(e)
        return out

    print(f"CPU: {cpu_model()}; Python {platform.python_version()}; {os.cpu_count()} cores; "
          f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}; best of {args.repeats} runs")
    print(f"{'corpus':<14}{'docs':>6}{'loads loop/s':>14}{'jobs=1/s':>11}{'jobs=2/s':>11}"
          f"{'jobs=1/loop':>13}{'jobs=2/loop':>13}")
    for name in ("llm-small", "llm-medium"):
        path = Path(args.data) / f"{name}.jsonl"
        texts = [json.loads(line)["input"] for line in path.read_text(encoding="utf-8").splitlines() if line]
        texts = texts * -(-args.min_docs // len(texts))
        rates = [len(texts) / best_seconds(run, args.repeats)
                 for run in (lambda: loop(texts),
                             lambda: velvin.loads_many(texts, jobs=1),
                             lambda: velvin.loads_many(texts, jobs=2))]
        print(f"{name:<14}{len(texts):>6}{rates[0]:>14.0f}{rates[1]:>11.0f}{rates[2]:>11.0f}"
              f"{rates[1] / rates[0]:>12.2f}x{rates[2] / rates[0]:>12.2f}x")
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
