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


@pytest.mark.parametrize("text", [
    # (no 1e400: Python gets inf, while JSON text can only say null)
    b"Sure: ```json\n{'a': [1, 2.50, -0, 1e300, 18446744073709551616], 'b': None}\n```",
    b'{"name": "Ada", "tags": ["x", "y"',
    b"[1 2 @ 'z' \xff true",
    b'"see [1]"',
    b"",
])
def test_document_equals_what_parse_py_returns(text):
    """The tool prints the core's rendering of the result; parse_py converts the same rendering
    into Python objects. Both must agree on every key and value (the elapsed time aside)."""
    import velvin_native as vn

    printed = json.loads(velvin("--document", "--debug", stdin=text).stdout)
    converted = vn.parse_py(text, {"debug": True})
    for doc in (printed, converted):
        doc["metrics"]["elapsed_ms"] = 0
    assert json.dumps(printed, sort_keys=False) == json.dumps(converted, sort_keys=False)


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


def test_missing_file_or_directory_is_an_io_error(tmp_path):
    r = velvin(tmp_path / "missing.txt")
    assert r.returncode == 2
    assert "missing.txt" in r.stderr.decode()
    r = velvin(tmp_path)
    assert r.returncode == 2
    assert r.stdout == b""
    assert "Is a directory" in r.stderr.decode()


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


def test_flags_for_every_option_mean_what_the_options_dict_means(check_every_option_flag):
    check_every_option_flag(velvin)


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


# ---- --explain ----

def test_explain_marks_each_repair_where_it_happened():
    r = velvin("--explain", stdin=b"Note: {'a': None, b: [1 2,]} bye")
    assert r.returncode == 0
    out = r.stdout.decode()
    for part in ("status      repaired", "confidence", "repairs", "value",
                 '{"a":null,"b":[1,2]}'):
        assert part in out, part
    # Each op appears in the table with its cost and the text it refers to.
    for op, cost in (("strip_prefix_text", "+0.30"), ("convert_single_quotes", "+0.30"),
                     ("map_python_literal", "+0.40"), ("insert_missing_comma", "+0.50"),
                     ("remove_trailing_comma", "+0.20")):
        line = next(l for l in out.split("repairs\n", 1)[1].splitlines() if op in l)
        assert cost in line, line
    # Markers stand where the repairs happened: the stripped prefix is wrapped in the input.
    assert "\u27e61 Note: \u27e7" in out
    assert "\u27e6" in out.split("heuristic pass", 1)[1]
    assert "\x1b[" not in out  # no colors when the output is not a terminal


def test_explain_failure_and_beam_candidates():
    r = velvin("--explain", "--mode", "strict_only", stdin=b"[1,]")
    assert r.returncode == 1
    assert "failed" in r.stdout.decode() and "JSONDecodeError" in r.stdout.decode()
    r = velvin("--explain", stdin=b"[1, 2 3 @")
    out = r.stdout.decode()
    assert "repaired text" in out and "skip_garbage" in out and "[1,2,3]" in out


def test_explain_of_valid_json():
    out = velvin("--explain", stdin=b'{"a": 1}').stdout.decode()
    assert "status      strict_ok" in out
    assert "(cost 0.00," in out  # the empty sum is -0.0, shown as people write it
    assert "repairs\n    none" in out


def test_explain_and_document_exclude_each_other():
    r = velvin("--explain", "--document", stdin=b"[]")
    assert r.returncode == 2


# ---- --jobs ----

def test_jobs_keeps_input_order_and_prints_a_summary(tmp_path):
    lines = [f'{{"n": {i}, "v": [{i}, ' for i in range(300)] + ["", ":", "[1]"]
    f = tmp_path / "in.jsonl"
    f.write_text("\n".join(lines) + "\n")
    serial = velvin("--jsonl", "--mode", "fast_repair", f)
    parallel = velvin("--jsonl", "--mode", "fast_repair", "--jobs", "3", f)
    assert parallel.stdout == serial.stdout
    assert parallel.returncode == serial.returncode == 1
    out = parallel.stdout.decode().split("\n")
    assert out[0] == '{"n":0,"v":[0]}' and out[299] == '{"n":299,"v":[299]}'
    assert out[300:] == ["", "", "[1]", ""]
    err = parallel.stderr.decode().splitlines()
    assert err[-1].startswith("velvin: 303 documents in ")
    assert err[-1].endswith(": 1 strict_ok, 300 repaired, 0 partial, 2 failed")
    assert sum(1 for l in err if ": failed: " in l) == 2
    assert "\r" not in parallel.stderr.decode()  # no progress bar when not a terminal


def test_jobs_needs_jsonl():
    r = velvin("--jobs", "2", stdin=b"[]")
    assert r.returncode == 2 and "--jobs needs --jsonl" in r.stderr.decode()


# ---- --all ----

ALL_TEXT = b'Here: {"a": 1} and ```json\n[1, 2,]\n```\nthen {b: 2}{"c": 3} bye'


@pytest.mark.parametrize("args,text,stdout,code", [
    ([], ALL_TEXT, '{"a":1}\n[1,2]\n{"b":2}\n{"c":3}\n', 0),
    ([], b'Sure: {"a": 1,}', '{"a":1}\n', 0),  # one value: what the tool prints without --all
    (["--jsonl"], b'{"a": 1}[2]\n{"x": 1}\n', '[{"a":1},[2]]\n[{"x":1}]\n', 0),
    # A piece with no value is reported; a document with none prints an empty line.
    (["--mode", "strict_only"], b'[1] [2,] {"c": 3}', '[1]\n{"c":3}\n', 1),
    (["--jsonl", "--mode", "strict_only"], b'[1,] [2,]\n[3]\n', '\n[[3]]\n', 1),
])
def test_all_prints_every_value(args, text, stdout, code):
    r = velvin("--all", *args, stdin=text)
    assert r.stdout.decode() == stdout
    assert r.returncode == code
    assert r.stderr.decode().count(": failed: ") == (2 if stdout.startswith("\n") else code)


def test_all_documents_and_explanations_are_one_per_value():
    import velvin as v

    docs = [json.loads(line) for line in velvin("--all", "--document", stdin=ALL_TEXT).stdout.splitlines()]
    expected = [r.to_dict() for r in v.parse_all(ALL_TEXT)]
    for doc in docs + expected:
        doc["metrics"]["elapsed_ms"] = 0
    assert docs == expected
    out = velvin("--all", "--explain", stdin=ALL_TEXT).stdout.decode()
    assert out.count("\u2501\u2501 <stdin> (value ") == 4 and "(value 4 of 4)" in out


# ---- --field ----

RECORDS = [
    # (line, printed, problem reported on standard error or None)
    ('{"id": 1, "out": "Sure: {\'a\': [1, 2,]}", "big": 123456789012345678901234567890, "x": 1.50}',
     '{"id": 1, "out": {"a":[1,2]}, "big": 123456789012345678901234567890, "x": 1.50,'
     '"_velvin":{"status":"repaired","confidence":0.5712090638488149,"repairs":3}}', None),
    ('{"out":"{\\"ok\\": true}"  }', '{"out":{"ok":true}  ,"_velvin":{"status":"strict_ok","confidence":1.0,"repairs":0}}', None),
    ('{"id": 2, "out": 5}', None, 'member "out" is not a string'),
    ("not json", None, "not JSON (invalid literal at byte 0)"),
    ("[1]", None, "not a JSON object"),
    ('{"id": 3}', None, 'no member "out"'),
    ('{"out": "x", "_velvin": 1}', None, 'it already has a member "_velvin"'),
    ('{"out": "a", "out": "b"}', None, 'member "out" appears 2 times'),
    ("", None, "not JSON"),
]


@pytest.mark.parametrize("jobs", [[], ["--jobs", "2"]])
def test_field_repairs_the_member_and_reports_other_lines(tmp_path, jobs):
    f = tmp_path / "records.jsonl"
    f.write_text("\n".join(line for line, _, _ in RECORDS) + "\n")
    r = velvin("--jsonl", "--field", "out", *jobs, f)
    assert r.returncode == 1
    printed = r.stdout.decode().split("\n")[:-1]
    err = r.stderr.decode()
    for number, ((line, repaired, problem), out) in enumerate(zip(RECORDS, printed), start=1):
        assert out == (repaired if repaired is not None else line)
        if problem is not None:
            assert f"{f}:{number}: not a record: {problem}" in err
    assert len(printed) == len(RECORDS)


def test_field_keeps_a_text_that_cannot_be_repaired():
    r = velvin("--jsonl", "--field", "out", "--mode", "strict_only", stdin=b'{"out": "[1,]"}\n')
    assert r.returncode == 1
    assert r.stdout == b'{"out": "[1,]","_velvin":{"status":"failed","confidence":0.0,"repairs":0}}\n'
    assert "<stdin>:1: failed: " in r.stderr.decode()


@pytest.mark.parametrize("args,message", [
    (["--field", "out"], "--field needs --jsonl"),
    (["--jsonl", "--field", "out", "--all"], "--field prints records"),
    (["--stream", "--jsonl"], "--stream prints values as they arrive"),
    (["--stream", "--explain"], "--stream prints values as they arrive"),
])
def test_combinations_that_exclude_each_other(args, message):
    r = velvin(*args, stdin=b"[]")
    assert r.returncode == 2 and message in r.stderr.decode()


# ---- --stream ----

def read_line(proc, timeout=20):
    """One line of the tool's output, failing (not hanging) when none comes."""
    import select
    ready, _, _ = select.select([proc.stdout], [], [], timeout)
    assert ready, "no line printed while the input was still open"
    return proc.stdout.readline().decode()


# (arguments, chunks, the line printed after each chunk or None, lines after the end, status)
STREAMS = {
    "a reply": ([], [b'Sure: {"name": "Ad', b'a", "tags": ["x", tr', b"ue]", b"}", b" bye"],
                ['{"name":"Ad"}', '{"name":"Ada","tags":["x"]}', '{"name":"Ada","tags":["x",true]}',
                 None, None], [], 0),  # "}" and the prose after change nothing shown
    # The whole text's value comes last when it differs from what the stream showed.
    "a member without its value": ([], [b'{"a": 1, "b"'], ['{"a":1}'], ['{"a":1,"b":null}'], 0),
    "a failed end": (["--mode", "strict_only"], [b"[1,"], ["[1]"], [], 1),
}


@pytest.mark.parametrize("name", STREAMS)
def test_stream_prints_a_line_per_change_as_the_input_arrives(name):
    args, chunks, after_chunk, at_end, code = STREAMS[name]
    proc = subprocess.Popen([str(TOOL), "--stream", *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        for chunk, line in zip(chunks, after_chunk):
            proc.stdin.write(chunk)
            proc.stdin.flush()
            if line is not None:
                assert read_line(proc) == line + "\n"
        proc.stdin.close()
        assert proc.stdout.read().decode().split("\n")[:-1] == at_end
        assert proc.wait(timeout=20) == code
        assert (b": failed: " in proc.stderr.read()) == (code == 1)
    finally:
        proc.kill()
        proc.wait()


# Input that is all there at once: the value of the whole text, once.
@pytest.mark.parametrize("args,text,lines,code", [
    ([], b"[1, 2", ["[1,2]"], 0),
    ([], b"{'a': True, 'b': [1, 2,]} bye", ['{"a":true,"b":[1,2]}'], 0),
    ([], b"no json", ['"no json"'], 0),
    # No value: an empty line, as a failed document prints, and the failure reported.
    (["--mode", "strict_only"], b"no json", [""], 1),
])
def test_stream_of_input_already_there(args, text, lines, code):
    r = velvin("--stream", *args, stdin=text)
    assert r.stdout.decode().split("\n")[:-1] == lines
    assert r.returncode == code
    assert (": failed: " in r.stderr.decode()) == (code == 1)
