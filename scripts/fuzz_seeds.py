#!/usr/bin/env python3
"""Writes seed corpora for the fuzz targets: the broken model outputs of the llm-*.jsonl corpora,
pieces of the benchmark JSON files, and examples/, each behind the option bytes its target reads.

Usage: fuzz_seeds.py DATA_DIR EXAMPLES_DIR OUT_DIR
"""
import hashlib
import json
import sys
from pathlib import Path

# Option bytes each target reads before its text (a neutral choice; the fuzzer varies them).
PREFIX = {
    "fuzz_strict": b"",
    "fuzz_pipeline": bytes([0x3F, 5, 32, 20, 3, 1]),
    "fuzz_front": bytes([0x1F]),
    "fuzz_patch": bytes([0]),
    "fuzz_comma_scan": bytes([0, 7, 2]),
    "fuzz_stream": bytes([0x1F]),
    "fuzz_scan": bytes([0, 5]),
}
PIECE = 2048


def texts(data_dir, examples_dir):
    for path in sorted(Path(data_dir).glob("llm-*.jsonl")):
        for line in path.read_text(encoding="utf-8").splitlines()[:150]:
            doc = json.loads(line)
            yield doc["input"].encode()[:8192]
            yield doc["source"].encode()[:PIECE]
    for path in sorted(Path(data_dir).glob("*.json")):
        raw = path.read_bytes()
        for start in range(0, min(len(raw), 16 * PIECE), PIECE):
            yield raw[start:start + PIECE]
        yield raw[:PIECE]  # a document cut short
    for path in sorted(Path(examples_dir).iterdir()):
        yield path.read_bytes()


def main():
    data_dir, examples_dir, out_dir = sys.argv[1:4]
    seeds = list(texts(data_dir, examples_dir))
    for target, prefix in PREFIX.items():
        folder = Path(out_dir) / target
        folder.mkdir(parents=True, exist_ok=True)
        for seed in seeds:
            body = prefix + seed
            (folder / hashlib.sha1(body).hexdigest()).write_bytes(body)
    print(f"{len(seeds)} seeds for each of {len(PREFIX)} targets in {out_dir}")


if __name__ == "__main__":
    main()
