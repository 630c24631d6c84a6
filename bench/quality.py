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
  --show-misses  print input, expected and velvin's value for the first N misses of each kind shown
"""
import argparse
import json
import os
import platform
import sys
from pathlib import Path

from bench_common import cpu_model, ensure_jsonrepair, run_jsonrepair, same_value

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared" / "bench-data"


class Corpus:
    """The documents of one file that have a known meant value: (line index, input, meant, kinds)."""

    def __init__(self, path):
        self.path, self.name, self.docs = Path(path), Path(path).stem, []
        self.per_kind = "llm-" not in self.name  # our corpora name their kinds, the shared ones are mixes
        lines = self.path.read_text(encoding="utf-8").splitlines()
        for i, line in enumerate(filter(None, lines)):
            d = json.loads(line)
            if "expected" in d:
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


def excerpt(a, b, width=90):
    """The stretch of two texts around their first difference."""
    i = next((k for k, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))
    start = max(0, i - width // 2)
    cut = lambda s: ("…" if start else "") + s[start:start + width] + ("…" if len(s) > start + width else "")
    return cut(a), cut(b)


def show_misses(corpus, kind, velvin, velvin_hits, n):
    shown = 0
    for (found, value), hit, (i, text, meant, kinds) in zip(velvin, velvin_hits, corpus.docs):
        if hit or kind not in kinds or shown == n:
            continue
        shown += 1
        want = json.dumps(meant, ensure_ascii=False, separators=(",", ":"))
        got = json.dumps(value, ensure_ascii=False, separators=(",", ":")) if found else "(no value)"
        want, got = excerpt(want, got) if len(want) > 200 else (want, got)
        body = text if len(text) <= 600 else text[:600] + "… (%d bytes)" % len(text.encode())
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
        print("\nFirst %d velvin misses per kind, %s" % (args.show_misses, c.name))
        for k in c.kinds(wanted):
            show_misses(c, k, velvin[c.name], columns[c.name][0], args.show_misses)


if __name__ == "__main__":
    main()
