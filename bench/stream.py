#!/usr/bin/env python3
"""velvin.StreamParser: the cost of feeding a document in chunks against one velvin.parse of it.

Documents: the llm-large reply closest to 100 KB (../shared/bench-data/llm-large.jsonl); a
100 KB reply holding one long string (every value carries the whole string so far, since a
Python str cannot grow in place); and a 100 KB root array of small records (every value is a
fresh copy of the open root, so each feed costs the root's width so far). Each is fed in 64-byte and 1 KB chunks; the
figure is the total feed time (close() excluded) and its ratio to one velvin.parse of the whole
text. Best of --repeats runs each.

Usage: python3 bench/stream.py [--data DIR] [--build DIR] [--repeats N]
"""
import argparse
import json
import os
import platform
import sys
from pathlib import Path

from bench_common import best_seconds
from pipeline import cpu_model  # this script's folder is first on sys.path

ROOT = Path(__file__).resolve().parents[1]


def documents(data_dir):
    replies = [json.loads(line)["input"] for line in (data_dir / "llm-large.jsonl").open(encoding="utf-8")]
    closest = min(replies, key=lambda r: abs(len(r.encode()) - 100_000))
    words = ("the model streams its answer one token at a time while the user watches ")
    long_string = json.dumps({"role": "assistant", "content": (words * (100_000 // len(words)))})
    wide_array = json.dumps([{"id": i, "name": f"item {i}"} for i in range(3300)])
    return [("llm-large reply", closest), ("one long string", long_string),
            ("root array of 3300 records", wide_array)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=ROOT.parent / "shared" / "bench-data")
    parser.add_argument("--build", type=Path, default=Path(os.environ.get("VELVIN_BUILD_DIR", ROOT / "build")))
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    sys.path[:0] = [str(args.build / "python"), str(ROOT / "python")]
    import velvin

    print(f"CPU: {cpu_model()}; Python {platform.python_version()}")
    for name, text in documents(args.data):
        size = len(text.encode())
        one_shot = best_seconds(lambda: velvin.parse(text), args.repeats)
        print(f"\n{name}: {size / 1000:.1f} KB; velvin.parse {one_shot * 1e3:.2f} ms")
        for chunk in (64, 1024):
            pieces = [text[i:i + chunk] for i in range(0, len(text), chunk)]

            def feed_all():
                stream = velvin.StreamParser()
                for piece in pieces:
                    stream.feed(piece)

            total = best_seconds(feed_all, args.repeats)
            print(f"  {chunk:>5}-char chunks: {len(pieces):>5} feeds, {total * 1e3:8.2f} ms total, "
                  f"{total / len(pieces) * 1e6:6.1f} us/feed, {total / one_shot:5.1f}x one parse")


if __name__ == "__main__":
    main()
