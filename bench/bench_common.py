"""Helpers the benchmark scripts share: the CPU model, best-of-N timing, strict JSON reading and
comparison, and the npm package jsonrepair as a peer (installed on first use into
<build>/npm-bench, run by jsonrepair_bench.js). Used by bench/pipeline.py, bench/quality.py,
bench/stream.py and bench/batch.py."""
import json
import os
import platform
import shutil
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def best_seconds(fn, repeats):
    """The shortest of `repeats` runs of fn(), in seconds."""
    best = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    return best


def _reject_constant(name):
    raise ValueError("not JSON: " + name)


def strict_json(text):
    """json.loads that refuses NaN and Infinity, which Python would otherwise accept."""
    return json.loads(text, parse_constant=_reject_constant)


def same_value(a, b):
    """Equality of parsed JSON that tells bool, int and float apart (Python has 1 == 1.0 == True)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_value(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    return a == b


def ensure_jsonrepair(build):
    """(install prefix, version), or (None, why not) when node, npm or the install is missing."""
    if shutil.which("node") is None or shutil.which("npm") is None:
        return None, "node or npm not on PATH"
    prefix = Path(build) / "npm-bench"
    if not (prefix / "node_modules" / "jsonrepair").is_dir():
        prefix.mkdir(parents=True, exist_ok=True)
        r = subprocess.run(["npm", "install", "--silent", "--prefix", str(prefix), "jsonrepair"],
                           capture_output=True, text=True, timeout=300)
        if r.returncode != 0:
            return None, "npm install jsonrepair failed: " + r.stderr.strip()[:200]
    version = json.loads((prefix / "node_modules" / "jsonrepair" / "package.json").read_text())["version"]
    return prefix, version


def run_jsonrepair(prefix, corpus, repeats):
    """jsonrepair on the "input" of every line of corpus: (latencies in ns, [(found, value)]).
    An output that is not strict JSON counts as not found."""
    env = dict(os.environ, NODE_PATH=str(prefix / "node_modules"))
    r = subprocess.run(["node", str(ROOT / "bench" / "jsonrepair_bench.js"), str(corpus), str(repeats)],
                       capture_output=True, text=True, env=env, timeout=1800)
    if r.returncode != 0:
        raise RuntimeError(r.stderr)
    out = json.loads(r.stdout)
    values = []
    for text in out["outputs"]:
        try:
            values.append((True, strict_json(text)) if text is not None else (False, None))
        except ValueError:
            values.append((False, None))
    return out["latencies"], values
