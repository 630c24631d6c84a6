"""parse_py: the result document, its outcomes and its Python shapes."""
import math

import pytest

import velvin_native as vn

TOP_KEYS = ["status", "best_index", "input_stats", "candidates", "partial", "errors", "metrics", "debug"]
CANDIDATE_KEYS = ["candidate_id", "value", "normalized_json", "ir", "confidence", "cost", "repairs",
                  "validations", "diagnostics", "dropped_spans"]
METRIC_KEYS = ["mode_used", "elapsed_ms", "beam_width", "max_repairs", "llm_calls", "llm_time_ms",
               "llm_trigger", "split_mode", "parallel_workers", "elements", "structural_density"]


def best_value(doc):
    return doc["candidates"][doc["best_index"]]["value"]


@pytest.mark.parametrize("text", ['{"a": 1}', "```json\n[1]\n```", "{'a': 1,}", "[1, 2 3 @", "", ":"])
def test_document_always_has_the_fixed_keys(text):
    doc = vn.parse_py(text)
    assert list(doc) == TOP_KEYS
    assert list(doc["metrics"]) == METRIC_KEYS
    assert list(doc["input_stats"]) == ["input_bytes", "extracted_span", "prefix_skipped_bytes",
                                        "suffix_skipped_bytes"]
    for c in doc["candidates"]:
        assert list(c) == CANDIDATE_KEYS
        assert list(c["validations"]) == ["strict_json_parse", "schema_match"]
        assert list(c["diagnostics"]) == ["garbage_skipped_bytes", "deleted_tokens", "inserted_tokens",
                                          "close_open_string_count", "beam_width", "max_repairs"]
        for r in c["repairs"]:
            assert list(r) == ["op", "span", "at", "token", "cost_delta", "note"]
            assert r["span"] is None or type(r["span"]) is list


def test_a_trailing_newline_is_no_repair():
    doc = vn.parse_py(b'{"a": 1}\n')
    assert doc["status"] == "strict_ok"
    assert doc["candidates"][0]["repairs"] == []
    assert doc["candidates"][0]["confidence"] == 1.0


def test_valid_json_is_strict_ok():
    doc = vn.parse_py('{"a": [1, 2]}')
    assert doc["status"] == "strict_ok"
    assert doc["best_index"] == 0
    assert doc["metrics"]["mode_used"] == "strict"
    (c,) = doc["candidates"]
    assert c["value"] == {"a": [1, 2]}
    assert c["normalized_json"] == '{"a":[1,2]}'
    assert c["confidence"] == 1.0
    assert c["cost"] == 0.0 and math.copysign(1.0, c["cost"]) == -1.0
    assert c["repairs"] == []
    assert doc["errors"] == [] and doc["partial"] is None and doc["debug"] is None


def test_fenced_json_costs_the_three_extraction_repairs():
    doc = vn.parse_py("Sure:\n```json\n{\"a\": 1}\n```\nDone.")
    assert doc["status"] == "repaired"
    c = doc["candidates"][0]
    assert [r["op"] for r in c["repairs"]] == ["strip_prefix_text", "strip_suffix_text", "strip_code_fence"]
    assert [r["cost_delta"] for r in c["repairs"]] == [0.3, 0.3, 0.2]
    assert c["cost"] == pytest.approx(0.8)
    assert c["confidence"] == pytest.approx(0.5712090638488149, rel=1e-12)
    assert type(c["repairs"][0]["span"]) is list  # spans are lists in the result document


def test_common_model_defects_are_repaired():
    doc = vn.parse_py("Here you go: {'ok': True, 'url': 'http://x.com/a', 'n': None, 'tags': ['a', 'b',]}")
    assert doc["status"] == "repaired"
    assert best_value(doc) == {"ok": True, "url": "http://x.com/a", "n": None, "tags": ["a", "b"]}


def test_truncated_output_is_partial_with_the_best_value():
    doc = vn.parse_py("[1, 2 3 @")  # cut short, with a stray byte only the beam search skips
    assert doc["status"] == "partial"
    assert doc["metrics"]["mode_used"] == "probabilistic"
    assert best_value(doc) == [1, 2, 3]
    assert doc["partial"]["extracted"] == [1, 2, 3]
    assert vn.parse_py("[1, 2 3 @", {"partial_ok": False})["partial"] is None


def test_truncated_nesting_is_closed_inside_out():
    doc = vn.parse_py('{"items": [{"id": 1, "tags": ["a", "b')
    assert doc["status"] == "repaired"
    assert best_value(doc) == {"items": [{"id": 1, "tags": ["a", "b"]}]}


def test_strict_only_failure_carries_the_parser_error():
    doc = vn.parse_py("[1,]", {"mode": "strict_only"})
    assert doc["status"] == "failed"
    assert doc["best_index"] is None and doc["candidates"] == []
    assert doc["errors"] == [{"kind": "JSONDecodeError", "at": 3, "message": "unexpected byte: 93"}]
    assert doc["metrics"]["mode_used"] == "strict_only"


def test_unrepairable_input_fails_with_beam_metrics():
    doc = vn.parse_py("[1 2 @", {"top_k": 0, "beam_width": 7})
    assert doc["status"] == "failed"
    assert doc["errors"][0]["kind"] == "UnrepairableJSON"
    assert doc["metrics"]["beam_width"] == 7


def test_invalid_utf8_bytes_do_not_raise():
    doc = vn.parse_py(b"\xff[1]")
    assert doc["input_stats"]["input_bytes"] == 4
    assert doc["input_stats"]["extracted_span"] == [3, 6]
    assert best_value(doc) == [1]


def test_debug_block():
    doc = vn.parse_py("x [1]", {"debug": True})
    assert doc["debug"] == {"extraction": {"method": "brace_scan", "span": [2, 5], "truncated": False,
                                           "repairs": [{"op": "strip_prefix_text", "span": [0, 2], "at": None,
                                                        "token": None, "cost_delta": 0.3, "note": None}]}}


def test_schema_scores_candidates():
    doc = vn.parse_py('{"a": 1}', {"schema": {"required_keys": ["a", "b"], "types": {"a": "int"}}})
    assert doc["candidates"][0]["validations"]["schema_match"] == 0.75


@pytest.mark.parametrize("value,expected", [
    ({"required_keys": ["a"]}, 1.0),
    ({"required_keys": [("a",)]}, 0.5),  # a tuple becomes the text "('a',)", a missing key
    ({"types": {"a": "int"}}, 1.0),
    ({"types": {"a": "float"}, "extra": {1.5, 2}}, 1.0),
    ([1, 2], 1.0),
])
def test_schema_values_convert_from_python(value, expected):
    doc = vn.parse_py('{"a": 1}', {"schema": value})
    assert doc["candidates"][0]["validations"]["schema_match"] == expected


def test_schema_conversion_errors_propagate():
    with pytest.raises(TypeError):
        vn.parse_py("[]", {"schema": {1: 2}})

    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(RuntimeError, match="no text"):
        vn.parse_py("[]", {"schema": {"x": Unprintable()}})


@pytest.mark.parametrize("arg", [bytearray(b"{}"), memoryview(b"{}"), 5, None, "\ud800"])
def test_input_must_be_str_or_bytes(arg):
    with pytest.raises(TypeError, match="^input must be str or bytes$"):
        vn.parse_py(arg)


def test_options_are_read_before_the_input_is_examined():
    with pytest.raises(TypeError, match="PyString"):
        vn.parse_py(5, {"mode": 5})


def test_options_must_be_a_dict():
    with pytest.raises(TypeError, match="^argument 'options': 'list' object cannot be converted to 'PyDict'$"):
        vn.parse_py("[]", [])
    assert vn.parse_py("[]", None)["status"] == "strict_ok"


def test_text_signature():
    assert vn.parse_py.__text_signature__ == "(input, options=None)"


# ---- the scale route ----

def test_forced_scale_route_on_a_tiny_document():
    doc = vn.parse_py(b"[1, 2, 3]", {"mode": "scale_pipeline", "parallel_workers": 2})
    assert doc["status"] == "strict_ok"
    assert doc["metrics"]["mode_used"] == "scale_pipeline"
    assert doc["metrics"]["split_mode"] == "NO_SPLIT" and doc["metrics"]["parallel_workers"] == 2
    c = doc["candidates"][0]
    assert c["value"] == [1, 2, 3] and c["normalized_json"] is None
    assert c["ir"] == {"split_mode": "NO_SPLIT", "chunks": 1, "elements": 3}


def test_forced_scale_route_failure():
    doc = vn.parse_py("[1,]", {"mode": "scale_pipeline"})
    assert doc["status"] == "failed"
    (error,) = doc["errors"]
    assert error["kind"] == "ScalePipelineError" and error["at"] is None
    assert error["message"].startswith("strict parse failed: ")


def test_scale_route_with_tape_output_and_a_split():
    options = {"mode": "scale_pipeline", "scale_output": "tape", "allow_parallel": "true",
               "parallel_workers": 2, "debug": True, "schema": {"required_keys": ["a"]}}
    doc = vn.parse_py('[{"a": 1}, {"a": 2}]', options)
    c = doc["candidates"][0]
    assert c["value"] is None
    assert list(c["ir"]) == ["split_mode", "chunks", "elements", "tape"]
    assert c["ir"]["split_mode"] == "ROOT_ARRAY_ELEMENTS" and c["ir"]["elements"] == 2
    tape = c["ir"]["tape"]
    assert tape["entry_count"] == 10 and len(tape["entries"]) == 10
    assert tape["entries_truncated"] is False
    assert tape["entries"][0]["t"] == "array_start" and tape["entries"][0]["payload"] == 9
    assert c["validations"]["schema_match"] is None
    assert doc["debug"] is None


def test_automatic_scale_route_and_its_fallback():
    options = {"parallel_threshold_bytes": 16}
    assert vn.parse_py("[1, 2, 3, 4, 5, 6]", options)["metrics"]["mode_used"] == "auto_scale"
    assert vn.parse_py("[1, 2]", options)["metrics"]["mode_used"] == "strict"
    off = dict(options, allow_parallel=" False ")
    assert vn.parse_py("[1, 2, 3, 4, 5, 6]", off)["metrics"]["mode_used"] == "strict"
    repaired = vn.parse_py("[1, 2, {'a': 3,}]", options)
    assert repaired["metrics"]["mode_used"] == "fast_repair" and repaired["errors"] == []


def common_lead(a, b):
    n = 0
    while n < min(len(a), len(b)) and a[n] == b[n]:
        n += 1
    return n


FLOOD = "[" + "1 " * 200 + "@ x]"


@pytest.mark.parametrize("call,text", [
    (lambda text: [c["repairs"] for c in vn.parse_py(text)["candidates"]], FLOOD),
    (lambda text: [c["repairs"] for c in vn.probabilistic_repair_py(
        text, None, [{"op": "x", "span": (0, 1), "cost_delta": 0.1}] * 200)], "[1, 2, x y"),
    (lambda text: [c.repairs for c in __import__("velvin").parse(text).candidates], FLOOD),
], ids=["parse_py", "probabilistic_repair_py", "velvin.parse"])
def test_candidates_share_the_repairs_they_have_in_common(call, text):
    """A flood of base repairs is made once in Python, however many candidates carry it."""
    first, second = call(text)[:2]
    lead = common_lead(first, second)
    assert lead >= 200
    assert all(a is b for a, b in zip(first[:lead], second[:lead]))
    assert not any(a is b for a, b in zip(first[lead:], second[lead:]))


# loads_py and repair_json_py convert only the best candidate: what they return is that
# candidate's value or compact text in parse_py's document, or the whole document when the
# input has no value; a tape result has no compact text.
@pytest.mark.parametrize("text,options", [
    ('{"a": 1}', {}), ("{'a': [1, 2,],}", {}), ("Sure: {a: True", {"top_k": 1}), ("[1,]", {"mode": "strict_only"}),
    ("", {}), ('{"t": "The "Pro" plan"}', {}), ('[{"a": 1}]', {"mode": "scale_pipeline", "scale_output": "tape"}),
])
def test_best_candidate_only_entry_points(text, options):
    doc = vn.parse_py(text, options)
    best = None if doc["best_index"] is None else doc["candidates"][doc["best_index"]]
    value, failed = vn.loads_py(text, options)
    compact, failed_too = vn.repair_json_py(text, options)
    if best is None:
        assert value is None and compact is None and failed == failed_too
        assert {k: v for k, v in failed.items() if k != "metrics"} == \
            {k: v for k, v in doc.items() if k != "metrics"}
        return
    assert failed is None and failed_too is None
    assert value == best["value"] and compact == best["normalized_json"]
