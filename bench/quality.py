#!/usr/bin/env python3
"""Exact-match quality of repairs on broken model replies: velvin against the npm package jsonrepair.

For every corpus, the share of documents whose best value equals the value the reply meant:
  bench/data/defects-*.jsonl           "expected" (made by bench/make_defect_corpus.py), every document
  ../shared/bench-data/llm-*.jsonl     "source", documents whose "defects" do not hold "truncated"
velvin's answer is the best candidate of velvin_native.parse_py; jsonrepair's is its output text
read as strict JSON (an output that is not JSON is a miss). Values are compared strictly: 1, 1.0
and True differ, object member order does not matter. For bench/data corpora, the same rate per
defect kind (a document counts for every kind it holds). jsonrepair runs when node and npm are on
PATH (installed on first use into <build>/npm-bench).

Usage: python3 bench/quality.py [--build DIR] [--data FILE ...] [--kinds K,K] [--show-misses N] [--no-node]
  --kinds        per-kind tables and misses for these kinds only
  --show-misses  print input, expected and velvin's value for the N shortest misses of each kind shown
"""
import argparse
import json
import os
import platform
import re
import sys
from pathlib import Path

from bench_common import cpu_model, ensure_jsonrepair, run_jsonrepair, same_value

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "bench-data"


class Corpus:
    """The documents of one file that have a known meant value: (line index, input, meant, kinds)."""

    def __init__(self, path):
        self.path, self.name, self.docs = Path(path), Path(path).stem, []
        self.per_kind = False  # the defect corpora name each document's kinds; the shared ones are mixes
        lines = self.path.read_text(encoding="utf-8").splitlines()
        for i, line in enumerate(filter(None, lines)):  # numbered as jsonrepair_bench.js numbers them
            d = json.loads(line)
            if "expected" in d:
                self.per_kind = True
                self.docs.append((i, d["input"], json.loads(d["expected"]), d["kinds"]))
            elif "truncated" not in d["defects"]:
                self.docs.append((i, d["input"], json.loads(d["source"]), d["defects"]))

    def kinds(self, wanted=None):
        return sorted({k for _, _, _, kinds in self.docs for k in kinds if wanted is None or k in wanted})


def velvin_values(vn, corpus):
    values = []
    for _, text, _, _ in corpus.docs:
        result = vn.parse_py(text)
        best = result["best_index"]
        values.append((False, None) if best is None else (True, result["candidates"][best]["value"]))
    return values


def hits(corpus, values):
    return [found and same_value(value, meant) for (found, value), (_, _, meant, _) in zip(values, corpus.docs)]


def rate(flags):
    return "%6.1f%%" % (100.0 * sum(flags) / len(flags)) if flags else "      -"


def print_table(title, rows, engines):
    print("\n" + title)
    print("%-32s%6s" % ("", "docs") + "".join("%12s" % e for e in engines))
    for name, columns in rows:
        print("%-32s%6d" % (name, len(columns[0])) + "".join("%12s" % rate(c) for c in columns))


def first_difference(a, b):
    return next((k for k, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def excerpt(text, at, width):
    start = max(0, at - width // 2)
    return ("…" if start else "") + text[start:start + width] + ("…" if len(text) > start + width else "")


def input_near(text, want, at, width=500):
    """The stretch of a long input where the meant value starts to differ: found by the last two
    strings before that point, else by the same fraction of the text."""
    last = re.findall(r'"((?:[^"\\]|\\.)*)"', want[:at])[-2:]
    pos, spot = 0, None
    for s in last:
        pos = text.find(s, pos)
        if pos < 0:
            break
        spot = pos = pos + len(s)
    if spot is None or pos < 0:
        spot = len(text) * at // max(len(want), 1)
    return excerpt(text, spot + width // 4, width)


def show_misses(corpus, kind, velvin, velvin_hits, n):
    """The n shortest misses of a kind: short inputs show the fault best."""
    misses = [(len(doc[1]), doc, got) for got, hit, doc in zip(velvin, velvin_hits, corpus.docs)
              if not hit and kind in doc[3]]
    for _, (i, text, meant, kinds), (found, value) in sorted(misses, key=lambda m: m[:2])[:n]:
        want = json.dumps(meant, ensure_ascii=False, separators=(",", ":"))
        got = json.dumps(value, ensure_ascii=False, separators=(",", ":")) if found else "(no value)"
        at = first_difference(want, got)
        body = text if len(text) <= 600 else "(%d bytes) %s" % (len(text.encode()), input_near(text, want, at))
        if len(want) > 200:
            want, got = excerpt(want, at, 100), excerpt(got, at, 100)
        print("--- %s line %d, kinds %s\ninput:    %s\nexpected: %s\nvelvin:   %s"
              % (corpus.name, i + 1, ",".join(kinds), body, want, got))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=os.environ.get("VELVIN_BUILD_DIR", str(ROOT / "build")))
    ap.add_argument("--data", nargs="+", help="corpus files (default: bench/data/defects-*.jsonl and "
                                              "../shared/bench-data/llm-*.jsonl)")
    ap.add_argument("--kinds", help="comma-separated kinds for the per-kind tables and the misses")
    ap.add_argument("--show-misses", type=int, default=0, metavar="N")
    ap.add_argument("--no-node", action="store_true", help="skip jsonrepair")
    args = ap.parse_args()
    sys.path.insert(0, str(Path(args.build) / "python"))
    import velvin_native as vn

    paths = args.data or sorted((ROOT / "bench" / "data").glob("defects-*.jsonl")) + sorted(SHARED.glob("llm-*.jsonl"))
    wanted = args.kinds.split(",") if args.kinds else None
    prefix, note = (None, "disabled") if args.no_node else ensure_jsonrepair(args.build)
    engines = ["velvin"] + (["jsonrepair"] if prefix else [])
    print("CPU: %s; Python %s; velvin from %s/python; jsonrepair: %s"
          % (cpu_model(), platform.python_version(), args.build, note if prefix is None else "npm " + note))

    corpora, velvin, columns = [Corpus(p) for p in paths], {}, {}
    for c in corpora:
        velvin[c.name] = velvin_values(vn, c)
        columns[c.name] = [hits(c, velvin[c.name])]
        if prefix:
            _, values = run_jsonrepair(prefix, c.path, 1)
            columns[c.name].append(hits(c, [values[i] for i, _, _, _ in c.docs]))
    print_table("Exact match: the best value equals the meant value", [(c.name, columns[c.name]) for c in corpora], engines)

    by_kind = [c for c in corpora if c.per_kind]
    for c in by_kind:
        rows = [(k, [[h for h, d in zip(col, c.docs) if k in d[3]] for col in columns[c.name]]) for k in c.kinds(wanted)]
        print_table("Per kind, %s (a document counts for every kind it holds)" % c.name, rows, engines)
    for c in by_kind if args.show_misses else []:
        print("\nThe %d shortest velvin misses per kind, %s" % (args.show_misses, c.name))
        for k in c.kinds(wanted):
            show_misses(c, k, velvin[c.name], columns[c.name][0], args.show_misses)


if __name__ == "__main__":
    main()
