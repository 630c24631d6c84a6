"""preprocess_py: extraction and heuristic repair seen from Python."""
import json
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velvin_native as vn

pre = vn.preprocess_py

RESULT_KEYS = ["extracted_span", "extracted_text", "repaired_text", "truncated", "method",
               "error_pos", "base_repairs"]
REPAIR_KEYS = ["op", "span", "at", "token", "cost_delta", "note"]


def ops(result):
    return [r["op"] for r in result["base_repairs"]]


def test_result_shape_and_python_types():
    r = pre('Here it is: {a: 1, "b": [True,]} thanks')
    assert list(r) == RESULT_KEYS
    assert r["extracted_span"] == (12, 32) and type(r["extracted_span"]) is tuple
    assert r["extracted_text"] == '{a: 1, "b": [True,]}'
    assert r["repaired_text"] == '{"a": 1, "b": [true]}'
    assert r["truncated"] is False
    assert r["method"] == "brace_scan"
    assert r["error_pos"] is None
    assert ops(r) == ["strip_prefix_text", "strip_suffix_text", "wrap_unquoted_key",
                      "remove_trailing_comma"]
    for repair in r["base_repairs"]:
        assert list(repair) == REPAIR_KEYS
        assert type(repair["cost_delta"]) is float
        assert repair["token"] is None
        assert repair["span"] is None or type(repair["span"]) is tuple
    prefix, suffix, key, comma = r["base_repairs"]
    assert prefix["span"] == (0, 12) and prefix["cost_delta"] == 0.3
    assert suffix["span"] == (32, 39)
    assert key == {"op": "wrap_unquoted_key", "span": (1, 2), "at": None, "token": None,
                   "cost_delta": 0.3, "note": 'a -> "a"'}
    assert comma["at"] == 19 and comma["span"] is None


def test_code_fence():
    r = pre("```JSON\n[1,2]\n```")
    assert (r["method"], r["extracted_span"], r["extracted_text"]) == ("code_fence", (8, 14), "[1,2]")
    assert [(x["op"], x["span"], x["cost_delta"]) for x in r["base_repairs"]] == [
        ("strip_prefix_text", (0, 8), 0.3),
        ("strip_suffix_text", (14, 17), 0.3),
        ("strip_code_fence", (0, 17), 0.2),
    ]


@pytest.mark.parametrize("text", ["", "???", "```\n...\n```"])
def test_no_json_found(text):
    r = pre(text)
    assert r["method"] == "no_json_found"
    assert r["extracted_text"] == text and r["extracted_span"] == (0, len(text.encode()))
    assert r["truncated"] is True
    assert r["base_repairs"] == []
    assert isinstance(r["error_pos"], int)


def test_no_json_found_still_goes_through_the_passes():
    r = pre("no json here")
    assert r["method"] == "no_json_found" and r["extracted_text"] == "no json here"
    assert r["repaired_text"] == "no, json, here"
    assert ops(r) == ["insert_missing_comma", "insert_missing_comma"]
    assert r["error_pos"] == 0


def test_valid_document_needs_nothing():
    doc = '{"a": [1, 2.5e-3, true, null], "b": {"c": "d // not a comment"}}'
    r = pre(doc)
    assert r["repaired_text"] == doc and r["error_pos"] is None and r["base_repairs"] == []


def test_unrepairable_reports_error_position():
    r = pre("[1, 2 3 @")
    assert r["repaired_text"] == "[1, 2, 3 @]"
    assert r["error_pos"] == 9
    assert r["truncated"] is True
    assert r["base_repairs"][-1]["note"] == "brace=0, bracket=1"


def test_closers_follow_the_nesting():
    r = pre('[{"a": 1')
    assert r["repaired_text"] == '[{"a": 1}]'
    assert r["error_pos"] is None
    assert r["base_repairs"][-1] == {"op": "close_containers", "span": None, "at": 8, "token": None,
                                     "cost_delta": 1.0, "note": "brace=1, bracket=1"}


def test_truncated_string_and_containers():
    r = pre('{"a": "abc')
    assert r["repaired_text"] == '{"a": "abc"}'
    assert [(x["op"], x["at"], x["cost_delta"]) for x in r["base_repairs"]] == [
        ("close_open_string", 10, 3.0), ("close_containers", 10, 0.5)]


# The three rules that differ from a naive reading of the passes: each input must come back as
# the value a reader of the text would expect.
@pytest.mark.parametrize("text, value, expected_ops", [
    ("{'url': 'http://x.com/a'}", {"url": "http://x.com/a"},
     ["convert_single_quotes", "convert_single_quotes"]),
    ("{'a': 'x /* y */ z', // done\n 'b': 1}", {"a": "x /* y */ z", "b": 1},
     ["strip_line_comment", "convert_single_quotes", "convert_single_quotes",
      "convert_single_quotes"]),
    ('["he said \u201chi\u201d", 1,]', ["he said \u201chi\u201d", 1], ["remove_trailing_comma"]),
    ('["it\u2019s", 1,]', ["it\u2019s", 1], ["remove_trailing_comma"]),
    ('{\u201ca\u201d: \u201cb\u201d}', {"a": "b"}, ["fix_smart_quotes"]),
    ('{"a": None, "b": [None]}', {"a": None, "b": [None]},
     ["map_python_literal", "map_python_literal"]),
    ("[undefined, None, True]", [None, None, True],
     ["map_python_literal", "map_python_literal"]),
])
def test_model_habits_give_the_intended_value(text, value, expected_ops):
    r = pre(text)
    assert r["error_pos"] is None, r
    assert json.loads(r["repaired_text"]) == value
    assert [op for op in ops(r) if op not in ("strip_prefix_text", "strip_suffix_text")] == expected_ops


def test_python_none_in_list_without_python_literals_is_text():
    r = pre("[None]", {"allow_python_literals": False})
    assert r["repaired_text"] == '["None"]'
    assert ops(r) == ["wrap_unquoted_value"]


def test_bytes_are_decoded_leniently():
    r = pre(b"\xff{}")
    assert r["extracted_span"] == (3, 5)
    assert r["base_repairs"][0]["span"] == (0, 3)
    r = pre(b'{"a": "\xe9t\xe9"}')
    assert r["repaired_text"] == '{"a": "\ufffdt\ufffd"}'
    assert r["error_pos"] is None


def test_str_and_bytes_agree():
    text = "Voil\u00e0: {cl\u00e9: 'v\u00e9', n: 1,}"
    assert pre(text) == pre(text.encode())


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


def test_subclasses_accepted():
    assert pre(StrSub("[1,]"))["repaired_text"] == "[1]"
    assert pre(BytesSub(b"[1,]"))["repaired_text"] == "[1]"


@pytest.mark.parametrize("bad", [bytearray(b"[]"), memoryview(b"[]"), 5, None, ["[]"],
                                 "\ud800[1]"])
def test_input_type_errors(bad):
    with pytest.raises(TypeError) as info:
        pre(bad)
    assert str(info.value) == "input must be str or bytes"


def test_argument_binding():
    assert pre(input="[1,]", options={"debug": True})["repaired_text"] == "[1]"
    assert pre("[1,]", None)["repaired_text"] == "[1]"
    with pytest.raises(TypeError):
        pre()
    with pytest.raises(TypeError):
        pre("[]", {}, 1)
    with pytest.raises(TypeError):
        pre("[]", option={})
    with pytest.raises(TypeError, match=r"^argument 'options': 'list' object cannot be converted to 'PyDict'$"):
        pre("[]", [])


def test_options_are_read_before_input():
    with pytest.raises(OverflowError):
        pre(bytearray(b"[]"), {"top_k": -1})


def test_signature():
    assert pre.__text_signature__ == "(input, options=None)"
    assert {"preprocess_py", "strict_loads_py"} <= set(dir(vn))


@pytest.mark.parametrize("make", [
    lambda n: b"[" * n,
    lambda n: b"'" * n,
    lambda n: b'"' * n,
    lambda n: b"`" * n,
    lambda n: b"\\" * n,
    lambda n: b"[\"" + b"\\" * n,
    lambda n: b"\x00" * n,
    lambda n: b"{" + b"\x00[" * (n // 2),
    lambda n: b"\xff" * n,
    lambda n: b"/*" * (n // 2),
], ids=["brackets", "single_quotes", "double_quotes", "backticks", "backslashes",
        "escapes_in_string", "nul", "nul_brackets", "invalid_utf8", "comment_openers"])
def test_floods_of_one_pattern_finish(make):
    data = make(1 << 20)
    r = pre(data, {"max_total_repairs": 2**64 - 1})  # every repair, past the default limit
    assert isinstance(r["repaired_text"], str)
    start, end = r["extracted_span"]
    assert 0 <= start <= end


def test_flood_results():
    n = 1 << 16
    r = pre(b"[" * n)
    assert r["repaired_text"] == "[" * n + "]" * n
    assert r["base_repairs"][-1]["note"] == f"brace=0, bracket={n}"
    r = pre(b"[" + b"'" * n)
    # every '' becomes "" and every "" after the first needs a comma before it
    assert ops(r).count("convert_single_quotes") == n // 2
    assert ops(r).count("insert_missing_comma") == n // 2 - 1


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=400))
def test_any_bytes(data):
    r = pre(data)
    text = r["extracted_text"].encode()
    start, end = r["extracted_span"]
    assert end - start == len(text) or r["method"] == "code_fence"
    assert r["error_pos"] is None or 0 <= r["error_pos"] <= len(r["repaired_text"].encode())


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(list("{}[]\"':,/*\\ \nab1e-") + ["None", "True", "\u201c", "\u2019"]),
                max_size=120).map("".join))
def test_any_text(text):
    r = pre(text)
    assert list(r) == RESULT_KEYS
    for repair in r["base_repairs"]:
        assert repair["cost_delta"] > 0


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_no_leak():
    text = "Sure! ```json\n{a: 'b', c: [None, True,], // x\n d: \u201ce\u201d}\n```" * 20
    for _ in range(200):
        pre(text)
    before = rss_bytes()
    for _ in range(3000):
        pre(text)
        pre(text.encode(), {"schema": {"type": "object"}})
    assert rss_bytes() - before < 8 << 20
