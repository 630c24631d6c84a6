"""The velvin command-line tool: output, flags, exit codes and messages."""
import json
import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("VELVIN_BUILD_DIR", ROOT / "build"))
TOOL = BUILD / "bin" / "velvin"

pytestmark = pytest.mark.skipif(not TOOL.exists(), reason=f"{TOOL} not built")


def velvin(*args, stdin=b""):
    return subprocess.run([str(TOOL), *map(str, args)], input=stdin, capture_output=True, timeout=60)


def test_repairs_standard_input_to_one_compact_line():
    r = velvin(stdin=b"Sure: ```json\n{'a': [1, 2,], 'b': None}\n```")
    assert r.returncode == 0
    assert r.stdout == b'{"a":[1,2],"b":null}\n'
    assert r.stderr == b""


def test_files_and_dash(tmp_path):
    a = tmp_path / "a.txt"
    a.write_text("[1, 2")
    r = velvin(a, "-", stdin=b'{"x": true}')
    assert r.returncode == 0
    assert r.stdout.decode().splitlines() == ["[1,2]", '{"x":true}']


def test_document_flag_prints_the_result_document():
    r = velvin("--document", stdin=b'{"a": 1}')
    doc = json.loads(r.stdout)
    assert list(doc) == ["status", "best_index", "input_stats", "candidates", "partial", "errors",
                         "metrics", "debug"]
    assert doc["status"] == "strict_ok"


def test_jsonl_keeps_lines_aligned_and_reports_failures(tmp_path):
    f = tmp_path / "in.jsonl"
    f.write_bytes(b'{"a": 1}\n[1,]\r\n:\n{"b": 2\n')
    r = velvin("--jsonl", "--mode", "fast_repair", f)
    assert r.returncode == 1
    assert r.stdout.decode().split("\n") == ['{"a":1}', "[1]", "", '{"b":2}', ""]
    err = r.stderr.decode()
    assert f"{f}:3: failed:" in err
    assert '"kind":"JSONDecodeError"' in err and '"at":0' in err
    assert err.count("\n") == 1


def test_failure_exit_code_and_message():
    r = velvin("--mode", "strict_only", stdin=b"\n\n[1 2]")
    assert r.returncode == 1
    assert r.stdout == b"\n"
    assert r.stderr.decode().startswith("velvin: <stdin>:3: failed: ")
    assert "expected ',' or ']'" in r.stderr.decode()


@pytest.mark.parametrize("args,message", [
    (["--top-k", "x"], "--top-k expects a non-negative integer, got 'x'"),
    (["--top-k"], "--top-k needs a value"),
    (["--frobnicate"], "unknown option --frobnicate"),
    (["--debug=maybe"], "--debug expects true or false, got 'maybe'"),
    (["--confidence-alpha", "abc"], "--confidence-alpha expects a number"),
    (["--schema", "/nonexistent/schema.json"], "--schema: /nonexistent/schema.json"),
])
def test_usage_errors_exit_2(args, message):
    r = velvin(*args, stdin=b"[]")
    assert r.returncode == 2
    assert message in r.stderr.decode()
    assert r.stdout == b""


def test_missing_file_is_an_io_error(tmp_path):
    r = velvin(tmp_path / "missing.txt")
    assert r.returncode == 2
    assert "missing.txt" in r.stderr.decode()


def test_help():
    r = velvin("--help")
    assert r.returncode == 0
    out = r.stdout.decode()
    for flag in ("--document", "--jsonl", "--top-k", "--allow-python-literals", "--schema",
                 "--scale-target-keys", "--parallel-workers"):
        assert flag in out


def test_boolean_flags_and_schema(tmp_path):
    schema = tmp_path / "schema.json"
    schema.write_text('{"required_keys": ["a"]}')
    r = velvin("--document", "--debug", "--schema", schema, stdin=b'{"a": 1}')
    doc = json.loads(r.stdout)
    assert doc["debug"] is not None
    assert doc["candidates"][0]["validations"]["schema_match"] == 1.0
    r = velvin("--no-allow-python-literals", "--no-allow-unquoted-values", "--mode", "fast_repair",
               stdin=b"[None]")
    assert r.returncode == 1


def test_every_option_key_has_a_flag():
    from velvin._options import OPTION_NAMES

    out = velvin("--help").stdout.decode()
    for name in OPTION_NAMES:
        assert "--" + name.replace("_", "-") in out, name


FAKE_LLM = ROOT / "tests" / "fake_llm"
PATCH_REPLY = ('{"mode":"patch_suggest","patches":[{"patch_id":"p1",'
               '"ops":[{"op":"insert","at":12,"text":": 2"}]}]}')


def test_llm_fallback_flags_reach_the_fallback():
    command = f"'{FAKE_LLM / 'answer.sh'}' '{PATCH_REPLY}'"
    plain = velvin("--max-repairs", "0", stdin=b'{"a": 1, "b"')
    assert plain.returncode == 1  # the repair stages alone find nothing
    r = velvin("--document", "--max-repairs", "0", "--llm-command", command, "--llm-max-calls", "1",
               stdin=b'{"a": 1, "b"')
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    assert doc["candidates"][0]["value"] == {"a": 1, "b": 2}
    assert doc["metrics"]["llm_calls"] == 1 and doc["metrics"]["llm_trigger"] == "no_candidates"
    assert any(rep["op"] == "llm_patch_suggest" for rep in doc["candidates"][0]["repairs"])


def test_llm_timeout_flag_bounds_a_hanging_command():
    import time
    start = time.monotonic()
    r = velvin("--document", "--llm-command", str(FAKE_LLM / "hang.sh"), "--llm-timeout-ms", "200",
               "--llm-max-calls", "2", "--llm-min-confidence", "1.0", stdin=b"[1, 2 3 @")
    assert time.monotonic() - start < 10
    doc = json.loads(r.stdout)
    assert doc["metrics"]["llm_calls"] == 2
    assert doc["metrics"]["llm_time_ms"] >= 400
    assert doc["metrics"]["llm_trigger"] == "low_confidence"
    assert doc["status"] == "partial"  # the beam result stands
