"""The velvin package: its Python API over velvin_native."""
import dataclasses
import gc
import json
import pickle
import re
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional

import pytest

import velvin
import velvin_native


# ---- loads / parse / repair_json ----

def test_loads_returns_the_best_value():
    assert velvin.loads("Sure! ```json\n{'ok': True, 'items': [1, 2,]}\n```") == {"ok": True, "items": [1, 2]}
    assert velvin.loads(b'{"a": 1}') == {"a": 1}


@pytest.mark.parametrize("text", ['{"a": [1, 2.5, null], "a": true}', ' "see [1]" ', b"\xef\xbb\xbf[1]",
                                  '"\\ud800"', "18446744073709551616", "-0", "[1e400]", "[]",
                                  '{"k": "\\u00e9\\ud83d\\ude00"}'])
def test_loads_of_valid_json_is_the_pipeline_value(text):
    """loads answers valid JSON with the strict parser alone; that must be the pipeline's value."""
    expected = velvin.parse(text).value
    got = velvin.loads(text)
    assert json.dumps(got) == json.dumps(expected) and type(got) is type(expected)


def test_loads_with_options_always_runs_the_pipeline():
    with pytest.raises(TypeError):
        velvin.loads("[1]", top_k="three")
    assert velvin.loads('{"a": 1}', mode="scale_pipeline") == {"a": 1}


def test_loads_raises_repair_error_with_the_records():
    with pytest.raises(velvin.RepairError) as info:
        velvin.loads("[1,]", mode="strict_only")
    err = info.value
    assert isinstance(err, ValueError)
    assert err.errors == (velvin.ErrorRecord("JSONDecodeError", 3, "unexpected byte: 93"),)
    assert err.result.status == "failed"
    assert "unexpected byte: 93" in str(err)


def test_parse_gives_a_typed_read_only_view():
    r = velvin.parse("Here: {'a': [1, 2")
    assert r.status in ("repaired", "partial")
    assert r.ok and r.value == {"a": [1, 2]}
    assert 0 < r.confidence < 1
    assert r.best is r.candidates[0]
    assert all(isinstance(rep, velvin.Repair) for rep in r.repairs)
    assert r.repairs[0].op == "strip_prefix_text" and r.repairs[0].span == (0, 6)
    assert r.repairs[0].position == 0
    assert isinstance(r.metrics, velvin.Metrics) and r.metrics.mode_used
    assert r.input_stats.extracted_span == (6, len("Here: {'a': [1, 2"))
    with pytest.raises(dataclasses.FrozenInstanceError):
        r.status = "x"
    doc = r.to_dict()
    assert doc == velvin_native.parse_py("Here: {'a': [1, 2")  | {"metrics": doc["metrics"]}
    doc["status"] = "changed"  # to_dict is a copy
    assert r.status != "changed"


def test_view_records_are_complete_dataclasses():
    """Every record of the view holds exactly its declared fields and behaves as one built by
    its constructor (equality, hashing, repr)."""
    def records(obj):
        if dataclasses.is_dataclass(obj):
            yield obj
            for f in dataclasses.fields(obj):
                yield from records(getattr(obj, f.name))
        elif isinstance(obj, tuple):
            for item in obj:
                yield from records(item)

    for text, options in [("Here: {'a': [1, 2", {}), ("[1 2 @", {"top_k": 0}), ('{"a": "x', {"debug": True}),
                          ('{"a": [1, {"b": null}]}', {})]:
        seen = set()
        for rec in records(velvin.parse(text, **options)):
            names = [f.name for f in dataclasses.fields(rec)]
            assert list(vars(rec)) == names
            seen.add(type(rec).__name__)
            if type(rec) is not velvin.ParseResult:
                twin = type(rec)(**{n: getattr(rec, n) for n in names})
                assert twin == rec and repr(twin) == repr(rec)
                if type(rec) is not velvin.Candidate:  # a candidate's value may be a dict
                    assert hash(twin) == hash(rec)
        assert {"ParseResult", "InputStats", "Metrics"} <= seen


# Inputs whose value velvin.parse builds in the same pass as the strict parse, and neighbours
# that take other routes: each must give exactly the view of parse_py's document.
ONE_PASS_INPUTS = [
    b'{"a": 1}', ' [1, "é", "\\ud83d\\ude00"] \n',
    b"[18446744073709551615, -9223372036854775809, 1e400]", b'{"a": 1, "a": 2}',
    b'{"c": "```sh ls ```"}', b'{"c": "``` [1] ```"}', b"```json\n[1]\n```",
    b'Here: {"a": 1} ok', b'{"a": 1} {"b": 2}', b"[1,]", b'{"x": "\xff"}', b"\xef\xbb\xbf[1]",
    b'"text"', b"12", b"", json.dumps([{"k": i, "s": "x" * i} for i in range(200)]).encode(),
]


@pytest.mark.parametrize("text", ONE_PASS_INPUTS, ids=range(len(ONE_PASS_INPUTS)))
def test_parse_reading_in_one_pass_gives_the_document_view(text):
    want = velvin.ParseResult.from_dict(velvin_native.parse_py(text))
    got = velvin.parse(text)
    value, ok = got.value, got.ok  # read before any record is made
    copied = pickle.loads(pickle.dumps(got))  # before normalized_json was ever read
    assert got == want and copied == want  # equality reads every field, normalized_json too
    assert ok == want.ok and (got.best.value is value if ok else value is None)
    assert dataclasses.asdict(got.best) == dataclasses.asdict(want.best) if want.ok else True
    doc = got.to_dict()
    assert doc == want.to_dict() | {"metrics": doc["metrics"]}


def test_failed_parse_view():
    r = velvin.parse("[1 2 @", top_k=0)
    assert not r.ok and r.value is None and r.confidence == 0.0 and r.repairs == ()
    assert r.errors[0].kind == "UnrepairableJSON"


def test_partial_view():
    r = velvin.parse("[1, 2 3 @")
    assert r.status == "partial"
    assert r.partial.extracted == [1, 2, 3]


def test_repair_json_returns_compact_text():
    assert velvin.repair_json("{a: 'b', c: None}") == '{"a":"b","c":null}'
    with pytest.raises(velvin.RepairError):
        velvin.repair_json(":", mode="fast_repair")


# ---- options ----

def test_options_are_keyword_arguments():
    assert velvin.parse('{"a": 1', top_k=1, debug=True).debug is not None
    assert velvin.loads("[None]", allow_python_literals=False, allow_unquoted_values=True) == ["None"]


@pytest.mark.parametrize("name,hint", [("topk", "top_k"), ("beamwidth", "beam_width"), ("zzz", None)])
def test_unknown_option_names_the_valid_ones(name, hint):
    with pytest.raises(TypeError) as info:
        velvin.loads("[]", **{name: 1})
    message = str(info.value)
    assert repr(name) in message and "valid options: mode, top_k" in message
    assert (f"did you mean {hint!r}" in message) == (hint is not None)
    assert message.startswith("loads() got an unexpected option")


def test_the_option_error_names_the_function_called():
    for function in (velvin.parse, velvin.repair_json, velvin.preprocess, velvin.parse_large):
        with pytest.raises(TypeError, match=rf"^{function.__name__}\(\) got an unexpected option"):
            function("[]", zzz=1)


def test_native_option_errors_pass_through():
    with pytest.raises(OverflowError):
        velvin.loads("[]", top_k=-1)
    with pytest.raises(TypeError):
        velvin.loads("[]", debug=1)


def test_option_names_match_the_native_reader():
    # Every listed option changes something the native layer reads: spot-check via the type error
    # each one raises for a value of the wrong kind.
    for name in velvin.OPTION_NAMES:
        if name == "schema":
            continue
        with pytest.raises((TypeError, OverflowError)):
            velvin_native.parse_py("[]", {name: object()})


def readme_default(cell):
    """A default as the README writes it; prose ("none", "all cores") means unset."""
    cell = cell.strip("`")
    if cell in ("True", "False"):
        return cell == "True"
    try:
        return json.loads(cell)
    except ValueError:
        return None


def test_readme_options_table_matches_the_module():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Options\n", 1)[1].split("\n## ", 1)[0]
    documented = {}
    for line in section.splitlines():
        cells = [c.strip() for c in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
        if len(cells) < 2 or cells[0] == "option" or set(cells[0]) <= set("-:"):
            continue
        for name in re.findall(r"`(\w+)`", cells[0]):
            assert name not in documented, name
            documented[name] = readme_default(cells[1])
    assert documented == {name: default for name, _, default, _ in velvin_native.option_table_py()}


# ---- the other entry points ----

def test_strict_loads_raises_strict_json_error():
    assert velvin.strict_loads('{"a": 1}') == {"a": 1}
    with pytest.raises(velvin.StrictJSONError) as info:
        velvin.strict_loads("[1,]")
    assert info.value.args == ("unexpected byte: 93", 3)
    assert (info.value.message, info.value.position) == ("unexpected byte: 93", 3)
    assert str(info.value) == "unexpected byte: 93 at byte 3"


def test_preprocess_and_probabilistic_repair():
    pre = velvin.preprocess("x {'a': 1")
    assert pre["method"] == "brace_scan"
    cands = velvin.probabilistic_repair(pre["repaired_text"], base_repairs=pre["base_repairs"], top_k=2)
    assert cands and isinstance(cands[0], velvin.Candidate)
    assert cands[0].value == {"a": 1}
    assert cands[0].repairs[0].op == "strip_prefix_text"
    # Repair views go back in as base repairs too.
    again = velvin.probabilistic_repair("[1", base_repairs=cands[0].repairs)
    assert again[0].repairs[: len(cands[0].repairs)] == cands[0].repairs


def test_parse_large():
    out = velvin.parse_large(b"[1, 2, 3]")
    assert out.value == [1, 2, 3]
    assert out.plan["mode"] == "NO_SPLIT"
    with pytest.raises(ValueError):
        velvin.parse_large(b"[1,]")


# Large inputs are parsed with the collector paused; whatever the call's outcome, the caller's
# setting of the collector is what it was.
@pytest.mark.parametrize("call", [
    lambda big: velvin.parse(big), lambda big: velvin.parse(big[:-1]),
    lambda big: velvin.parse_large(big), lambda big: velvin.parse_large(big[:-1]),
])
@pytest.mark.parametrize("enabled", [True, False])
def test_large_inputs_leave_the_collector_as_it_was(call, enabled):
    big = json.dumps([{"k": [i]} for i in range(2000)]).encode()
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            call(big)
        except ValueError:
            pass
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


# A document below the size threshold is read whole without a scan: its value, plan and errors
# are those of the scanned route (a threshold of 1 byte with too few elements to split).
@pytest.mark.parametrize("data", [
    b"[]", b"{}", b"[1,2,3]", b' [ {"a" : "x,]"} , [ ] , 2.5e3 ] ', b'{"a":1,"b":[1,{"c":null}]}',
    b'{"a":1,"a":2}', b"[[[]]]", b'"s"', b"12", b"[1,]", b"[1 2]", b'{"a":}', b"[\xff]", b'["\xff"]', b"",
])
def test_parse_large_whole_document_route(data):
    def run(**options):
        try:
            return velvin.parse_large(data, **options)
        except ValueError as e:
            return str(e)
    assert run() == run(parallel_threshold_bytes=1, min_elements_for_parallel=10**9)


# ---- schema_from ----

def test_schema_from_json_schema():
    schema = {"type": "object", "required": ["name"],
              "properties": {"name": {"type": "string"}, "age": {"type": "integer"},
                             "tags": {"type": "array"}, "x": {"type": ["string", "null"]}}}
    assert velvin.schema_from(schema) == {"required_keys": ["name"],
                                          "types": {"name": "str", "age": "int", "tags": "array"}}


def test_schema_from_dataclass_and_passthrough():
    @dataclasses.dataclass
    class Person:
        name: str
        age: int
        scores: List[float]
        meta: Dict[str, str] = dataclasses.field(default_factory=dict)
        nick: Optional[str] = None
        active: bool = True

    schema = velvin.schema_from(Person)
    assert schema == {"required_keys": ["name", "age", "scores"],
                      "types": {"name": "str", "age": "int", "scores": "array", "meta": "object",
                                "active": "bool"}}
    assert velvin.schema_from(Person("a", 1, [])) == schema
    assert velvin.schema_from({"required_keys": ["a"]}) == {"required_keys": ["a"], "types": {}}
    full = velvin.parse('{"name": "Ada", "age": 36, "scores": [], "meta": {}, "active": true}', schema=schema)
    assert full.best.validations.schema_match == 1.0
    # Omitted optional members count as type mismatches: complete values rank first.
    short = velvin.parse('{"name": "Ada", "age": 36, "scores": []}', schema=schema)
    assert short.best.validations.schema_match == 0.5 + 0.5 * 3 / 5


def test_schema_from_pydantic():
    pydantic = pytest.importorskip("pydantic")

    class Item(pydantic.BaseModel):
        sku: str
        qty: int
        note: str = ""

    assert velvin.schema_from(Item) == {"required_keys": ["sku", "qty"],
                                        "types": {"sku": "str", "qty": "int", "note": "str"}}


def test_schema_from_rejects_other_objects():
    with pytest.raises(TypeError):
        velvin.schema_from(42)


# ---- python -m velvin ----

def run_module(*args, stdin=b""):
    import os
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-m", "velvin", *args], input=stdin, capture_output=True,
                          env=env, timeout=60)


def test_module_basic_mode():
    r = run_module(stdin=b"Sure: {'a': 1,}")
    assert r.returncode == 0 and r.stdout == b'{"a":1}\n'


def test_module_jsonl_and_failures(tmp_path):
    f = tmp_path / "in.jsonl"
    f.write_bytes(b"[1,\n:\n")
    r = run_module("--jsonl", "--mode", "fast_repair", str(f))
    assert r.returncode == 1
    assert r.stdout == b"[1]\n\n"
    assert f"{f}:2: failed:".encode() in r.stderr


def test_module_without_the_tool_says_so(monkeypatch, tmp_path, capsys):
    from velvin import __main__ as launcher

    monkeypatch.setattr(launcher, "tool_places", lambda: [tmp_path / "bin" / "velvin"])
    assert launcher.main(["--help"]) == 2
    assert "the velvin tool is missing from this installation" in capsys.readouterr().err


def test_module_usage_error():
    r = run_module("--top-k", "x")
    assert r.returncode == 2


def test_module_flags_for_every_option_mean_what_the_options_dict_means(check_every_option_flag):
    check_every_option_flag(run_module)


def test_module_document_mode():
    r = run_module("--document", "--no-partial-ok", stdin=b"[1, 2 3 @")
    doc = json.loads(r.stdout)
    assert doc["status"] == "partial" and doc["partial"] is None


def test_package_is_typed():
    root = Path(velvin.__file__).parent
    assert (root / "py.typed").exists()
    stubs = (root.parent / "velvin_native-stubs" / "__init__.pyi").read_text(encoding="utf-8")
    typed = set(re.findall(r"^def (\w+)\(", stubs, re.M)) | set(re.findall(r"^class (\w+)", stubs, re.M))
    public = {name for name in dir(velvin_native) if not name.startswith("_")}
    assert public <= typed


def test_module_docstring_examples():
    import doctest
    assert doctest.testmod(velvin).failed == 0


def test_every_function_takes_str_and_bytes_like_input():
    for text in ('[1, 2]', b'[1, 2]', bytearray(b'[1, 2]'), memoryview(b'[1, 2]')):
        assert velvin.loads(text) == [1, 2]
        assert velvin.repair_json(text) == "[1,2]"
        assert velvin.strict_loads(text) == [1, 2]
        assert velvin.preprocess(text)["extracted_text"] == "[1, 2]"
        assert velvin.parse_large(text).value == [1, 2]
        assert velvin.probabilistic_repair(text)[0].value == [1, 2]
    assert velvin.probabilistic_repair(b'["\xff"]')[0].value == ["\ufffd"]


def test_other_input_types_are_type_errors_naming_the_function():
    for function in (velvin.loads, velvin.parse, velvin.repair_json, velvin.strict_loads,
                     velvin.preprocess, velvin.parse_large, velvin.probabilistic_repair):
        with pytest.raises(TypeError, match=rf"^{function.__name__}\(\) takes str or bytes, not int"):
            function(123)
