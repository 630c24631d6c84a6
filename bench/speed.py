#!/usr/bin/env python3
"""Every speed ratio of the Python package in one run, with its peers where they are installed.

  strict     velvin.strict_loads(bytes) / orjson.loads, MB/s, on each valid bench file
  repair     velvin.repair_json / npm jsonrepair (timed inside node), documents/s, llm-* corpora
  reply      velvin.loads of a ~300-byte reply with two defects (the llm-small replies of 250-350
             bytes with exactly two defects), microseconds per call, median over the replies
  parse      velvin.parse(data).value / velvin.strict_loads, time, on each valid bench file
  large      velvin.parse_large / velvin.strict_loads on a 64 MB array of small records, with the
             default route and with 2 workers
  tape       the tape path (parse_py, mode "scale_pipeline", scale_output "tape") on the same
             64 MB, first call in a fresh process against its later calls
  split      velvin.parse_large(allow_parallel="true") of 200,000 small records / strict_loads
  batch      velvin.loads_many over llm-medium with jobs=2 against jobs=1, and against a loop of
             velvin.loads

Each figure is the best (or median) of repeated runs; the machine is shared, so the load average
is printed before and after. Sections can be chosen with --only.

Usage: python3 bench/speed.py [--data DIR] [--build DIR] [--package DIR] [--seconds S]
                              [--no-node] [--only strict,repair,...] [--tmp DIR]
"""
import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_common import cpu_model, ensure_jsonrepair, run_jsonrepair

ROOT = Path(__file__).resolve().parents[1]
SECTIONS = ("strict", "repair", "reply", "parse", "large", "tape", "split", "batch")
MB = 1 << 20


def load():
    return "/".join(f"{x:.2f}" for x in os.getloadavg())


def best_seconds(fn, budget, least=5):
    """Best time of repeated calls of fn() within about `budget` seconds (at least `least`)."""
    best = float("inf")
    deadline = time.perf_counter() + budget
    runs = 0
    while runs < least or time.perf_counter() < deadline:
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
        runs += 1
    return best


def alternating_best(fns, budget, rounds=3):
    """Best time of each of `fns` (name -> callable) over `rounds` alternating rounds of about
    budget / rounds seconds each, so that all of them meet the same load on a shared machine."""
    best = {name: float("inf") for name in fns}
    for _ in range(rounds):
        for name, fn in fns.items():
            best[name] = min(best[name], best_seconds(fn, budget / rounds))
    return best


def per_call_us(fn, arg, calls=200, rounds=5):
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn(arg)
        best = min(best, (time.perf_counter() - t0) / calls)
    return best * 1e6


def verdict(ok):
    return "meets" if ok else "MISSES"


class Bench:
    def __init__(self, args):
        self.args = args
        self.data = Path(args.data)
        sys.path[:0] = [str(Path(args.build) / "python"), args.package]
        import velvin
        import velvin_native

        self.velvin = velvin
        self.native = velvin_native
        try:
            import orjson
        except ImportError:
            orjson = None
        self.orjson = orjson
        self.summary = []

    def note(self, what, figure, target, ok):
        self.summary.append((what, figure, target, verdict(ok) if ok is not None else "-"))

    # ---- sections ----

    def strict(self):
        v = self.velvin
        print("\nstrict: velvin.strict_loads(bytes) against orjson.loads (MB/s, best of repeated calls in "
              "alternating rounds)")
        if self.orjson is None:
            print("  orjson is not importable here: velvin alone")
        print(f"  {'file':<22}{'velvin':>9}{'orjson':>9}{'ratio':>9}")
        for path in sorted(self.data.glob("*.json")):
            raw = path.read_bytes()
            parsers = {"velvin": lambda: v.strict_loads(raw)}
            if self.orjson is not None:
                parsers["orjson"] = lambda: self.orjson.loads(raw)
            best = alternating_best(parsers, self.args.seconds)
            mine = len(raw) / best["velvin"] / 1e6
            if self.orjson is None:
                print(f"  {path.name:<22}{mine:>9.0f}")
                continue
            peer = len(raw) / best["orjson"] / 1e6
            ratio = mine / peer
            print(f"  {path.name:<22}{mine:>9.0f}{peer:>9.0f}{ratio:>8.2f}x")
            self.note(f"strict_loads / orjson, {path.stem}", f"{ratio:.2f}x", ">= 1.0x", ratio >= 1.0)

    def repair(self):
        v = self.velvin
        prefix, why = (None, "disabled (--no-node)") if self.args.no_node else ensure_jsonrepair(self.args.build)
        print(f"\nrepair: velvin.repair_json against npm jsonrepair "
              f"{why if prefix is not None else '(' + why + ')'} (documents/s; each document's best "
              f"of {self.args.repeats} calls)")
        print(f"  {'corpus':<14}{'velvin':>10}{'jsonrepair':>12}{'ratio':>9}")
        for corpus in sorted(self.data.glob("llm-*.jsonl")):
            docs = [json.loads(line)["input"] for line in corpus.read_text(encoding="utf-8").splitlines() if line]
            latencies = []
            for text in docs:
                best = float("inf")
                for _ in range(self.args.repeats):
                    t0 = time.perf_counter_ns()
                    try:
                        v.repair_json(text)
                    except v.RepairError:
                        pass
                    best = min(best, time.perf_counter_ns() - t0)
                latencies.append(best)
            mine = len(docs) / (sum(latencies) / 1e9)
            if prefix is None:
                print(f"  {corpus.stem:<14}{mine:>10.0f}")
                continue
            peer_latencies, _ = run_jsonrepair(prefix, corpus, self.args.repeats)
            peer = len(peer_latencies) / (sum(peer_latencies) / 1e9)
            ratio = mine / peer
            print(f"  {corpus.stem:<14}{mine:>10.0f}{peer:>12.0f}{ratio:>8.2f}x")
            self.note(f"repair_json / jsonrepair, {corpus.stem}", f"{ratio:.2f}x", ">= 3.0x", ratio >= 3.0)

    def reply(self):
        v = self.velvin
        docs = [json.loads(line) for line in (self.data / "llm-small.jsonl").read_text(encoding="utf-8").splitlines() if line]
        replies = [d["input"] for d in docs
                   if len(d["defects"]) == 2 and 250 <= len(d["input"].encode()) <= 350]
        print(f"\nreply: one ~300-byte reply with two defects ({len(replies)} llm-small replies), "
              "microseconds per call, median over the replies")
        rows = [("velvin.loads", v.loads), ("velvin.repair_json", v.repair_json),
                ("velvin.parse", v.parse), ("velvin.parse(...).value", lambda t: v.parse(t).value)]
        for name, fn in rows:
            us = statistics.median(per_call_us(fn, t) for t in replies)
            print(f"  {name:<26}{us:>8.1f} us")
            if name == "velvin.loads":
                self.note("loads of a 300-byte reply, two defects", f"{us:.1f} us", "<= 10 us", us <= 10)

    def parse(self):
        v = self.velvin
        print("\nparse: velvin.parse(data).value against velvin.strict_loads(data) (time, best of repeated calls "
              "in alternating rounds)")
        print(f"  {'file':<22}{'strict ms':>10}{'parse ms':>10}{'ratio':>9}")
        worst = 0.0
        for path in sorted(self.data.glob("*.json")):
            raw = path.read_bytes()
            best = alternating_best({"strict": lambda: v.strict_loads(raw),
                                     "parse": lambda: v.parse(raw).value}, 2 * self.args.seconds)
            strict, parse = best["strict"], best["parse"]
            worst = max(worst, parse / strict)
            print(f"  {path.name:<22}{strict * 1e3:>10.2f}{parse * 1e3:>10.2f}{parse / strict:>8.2f}x")
        self.note("parse().value / strict_loads, valid files, worst", f"{worst:.2f}x", "<= 1.5x", worst <= 1.5)

    def records(self, name, size=None, count=None):
        """A generated root array of small records (cached in --tmp)."""
        sys.path.insert(0, str(ROOT / "bench"))
        import scale  # the record generator of bench/scale.py

        path = Path(self.args.tmp) / name
        if not path.exists():
            with open(path, "wb") as f:
                f.write(b"[\n")
                scale.write_records(f, size if size is not None else count * 205)
                f.write(b"\n]\n")
        return path

    def large(self):
        v = self.velvin
        raw = self.records("velvin-speed-records-64mb.json", size=64 * MB).read_bytes()
        print(f"\nlarge: velvin.parse_large against velvin.strict_loads, {len(raw) / MB:.0f} MB array of "
              "small records (MB/s, best of 3)")
        strict = best_seconds(lambda: v.strict_loads(raw), 0, least=3)
        rows = [("strict_loads", strict, None)]
        plans = {}
        for label, options in [("parse_large", {}), ("parse_large, 2 workers", {"parallel_workers": 2})]:
            plans[label] = v.parse_large(raw, **options).plan["mode"]
            rows.append((label, best_seconds(lambda: v.parse_large(raw, **options), 0, least=3), label))
        for label, seconds, key in rows:
            extra = f"  {strict / seconds:.2f}x strict_loads, plan {plans[key]}" if key else ""
            print(f"  {label:<24}{len(raw) / seconds / 1e6:>8.0f} MB/s{extra}")
        self.note("parse_large / strict_loads, 64 MB records", f"{strict / rows[1][1]:.2f}x", ">= 1.0x",
                  strict / rows[1][1] >= 1.0)
        self.note("parse_large 2 workers / strict_loads, 64 MB records", f"{strict / rows[2][1]:.2f}x",
                  ">= 1.5x where the document allows", strict / rows[2][1] >= 1.5)

    def tape(self):
        path = self.records("velvin-speed-records-64mb.json", size=64 * MB)
        child = (
            "import sys, time, json\n"
            "sys.path.insert(0, sys.argv[1])\n"
            "import velvin_native\n"
            "data = open(sys.argv[2], 'rb').read()\n"
            "options = {'mode': 'scale_pipeline', 'scale_output': 'tape',\n"
            "           'parallel_threshold_bytes': 1000000}\n"
            "seconds = []\n"
            "for _ in range(6):\n"
            "    t0 = time.perf_counter()\n"
            "    r = velvin_native.parse_py(data, options)\n"
            "    seconds.append(time.perf_counter() - t0)\n"
            "    assert r['status'] == 'strict_ok', r['errors']\n"
            "    del r\n"
            "print(json.dumps(seconds))\n")
        runs = []
        for _ in range(3):
            out = subprocess.run([sys.executable, "-c", child, str(Path(self.args.build) / "python"), str(path)],
                                 capture_output=True, text=True, check=True)
            runs.append(json.loads(out.stdout))
        size = path.stat().st_size / 1e6
        first = statistics.median(r[0] for r in runs)
        later = statistics.median(s for r in runs for s in r[1:])
        ratio = later / first
        print(f"\ntape: tape path on {size:.0f} MB in a fresh process (median of 3 processes)")
        print(f"  first call {size / first:6.0f} MB/s, later calls {size / later:6.0f} MB/s: first = {ratio:.2f}x later")
        self.note("tape path first call / later calls, 64 MB", f"{ratio:.2f}x", ">= 0.8x", ratio >= 0.8)

    def split(self):
        v = self.velvin
        raw = self.records("velvin-speed-records-200k.json", count=200_000).read_bytes()
        count = raw.count(b'{"id"')
        strict = best_seconds(lambda: v.strict_loads(raw), 0, least=3)
        forced = best_seconds(lambda: v.parse_large(raw, allow_parallel="true"), 0, least=3)
        plan = v.parse_large(raw, allow_parallel="true").plan
        ratio = forced / strict
        print(f"\nsplit: forced split of {count} small records ({len(raw) / MB:.0f} MB), "
              f"parse_large(allow_parallel=\"true\") against strict_loads (best of 3)")
        print(f"  strict_loads {strict * 1e3:.0f} ms, forced split {forced * 1e3:.0f} ms "
              f"({plan['chunk_count']} tasks): {ratio:.2f}x")
        self.note("forced split / strict_loads, 200,000 records", f"{ratio:.2f}x", "<= 2.0x", ratio <= 2.0)

    def batch(self):
        v = self.velvin
        texts = [json.loads(line)["input"] for line in
                 (self.data / "llm-medium.jsonl").read_text(encoding="utf-8").splitlines() if line]
        print(f"\nbatch: velvin.loads_many over llm-medium ({len(texts)} replies), documents/s, best of 3")
        if not hasattr(v, "loads_many"):
            print("  velvin.loads_many is not in this build")
            return

        def loop():
            for t in texts:
                try:
                    v.loads(t)
                except v.RepairError:
                    pass

        rows = [("loop of velvin.loads", loop),
                ("loads_many(jobs=1)", lambda: v.loads_many(texts, jobs=1)),
                ("loads_many(jobs=2)", lambda: v.loads_many(texts, jobs=2))]
        rate = {}
        for label, fn in rows:
            rate[label] = len(texts) / best_seconds(fn, 0, least=3)
            print(f"  {label:<24}{rate[label]:>8.0f} docs/s")
        ratio = rate["loads_many(jobs=2)"] / rate["loads_many(jobs=1)"]
        print(f"  jobs=2 / jobs=1: {ratio:.2f}x; jobs=2 / loop: "
              f"{rate['loads_many(jobs=2)'] / rate['loop of velvin.loads']:.2f}x")
        self.note("loads_many jobs=2 / jobs=1, llm-medium", f"{ratio:.2f}x", "(no target)", None)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", default=str(ROOT.parent / "shared" / "bench-data"))
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--package", default=str(ROOT / "python"), help="folder holding the velvin package")
    ap.add_argument("--seconds", type=float, default=1.0, help="time budget per measured call")
    ap.add_argument("--repeats", type=int, default=3, help="calls per document in the repair section")
    ap.add_argument("--no-node", action="store_true", help="skip jsonrepair")
    ap.add_argument("--only", default=",".join(SECTIONS), help="sections to run, comma-separated")
    ap.add_argument("--tmp", default=tempfile.gettempdir(), help="where generated documents are kept")
    args = ap.parse_args()
    chosen = [s for s in args.only.split(",") if s]
    unknown = [s for s in chosen if s not in SECTIONS]
    if unknown:
        sys.exit(f"unknown section {unknown[0]!r}; sections: {', '.join(SECTIONS)}")

    bench = Bench(args)
    print(f"CPU: {cpu_model()}; {os.cpu_count()} hardware threads; Python {platform.python_version()}; "
          f"load average {load()}")
    started = time.monotonic()
    for section in SECTIONS:
        if section in chosen:
            getattr(bench, section)()
    print(f"\nsummary ({time.monotonic() - started:.0f} s; load average now {load()})")
    width = max((len(s[0]) for s in bench.summary), default=10)
    for what, figure, target, ok in bench.summary:
        print(f"  {what:<{width}}  {figure:>9}  {target:<34} {ok}")


if __name__ == "__main__":
    main()
