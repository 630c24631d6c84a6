"""Readings of broken model output: what the model meant, by kind of slip, through velvin.loads
and the velvin tool, and the repair each reading records."""
import json
import os
import subprocess
from pathlib import Path

import pytest

import velvin

ROOT = Path(__file__).resolve().parents[2]
TOOL = Path(os.environ.get("VELVIN_BUILD_DIR", ROOT / "build")) / "bin" / "velvin"

# kind, input, meant value, an op word the best candidate must record
READINGS = [
    ("inner quote", '{"title": "The "Pro" plan", "n": 2}', {"title": 'The "Pro" plan', "n": 2}, "escape_inner_quotes"),
    ("inner quote", '{"html": "<a href="x">y</a>"}', {"html": '<a href="x">y</a>'}, "escape_inner_quotes"),
    ("inner quote", '{"k": "12" vinyl", "n": 1}', {"k": '12" vinyl', "n": 1}, "escape_inner_quotes"),
    ("inner quote in a key", '{"size (12")": 26, "n": 1}', {'size (12")': 26, "n": 1}, "escape_inner_quotes"),
    ("missing closing quote", '{"city": "Paris, "zip": "75001"}', {"city": "Paris", "zip": "75001"}, "insert_missing_quote"),
    ("missing closing quote", '{\n  "v": "1.2.3,\n  "n": 1\n}', {"v": "1.2.3", "n": 1}, "insert_missing_quote"),
    ("missing opening quote", '{"city": Paris", "zip": 1}', {"city": "Paris", "zip": 1}, "insert_missing_quote"),
    ("missing opening quote", '{name": "Ada", "n": 1}', {"name": "Ada", "n": 1}, "insert_missing_quote"),
    ("brace inside a misread string", '{"a": Paris", "b": "x}", "c": [1, 2], "d": "ok"}', {"a": "Paris", "b": "x}", "c": [1, 2], "d": "ok"}, "insert_missing_quote"),
    ("brace inside a misread string", '{"a": "He said "hi}" to me", "c": [1, 2]}', {"a": 'He said "hi}" to me', "c": [1, 2]}, "escape_inner_quotes"),
    ("brace inside a misread string", 'Sure: {"a": "x, "b": "}", "c": 3}', {"a": "x", "b": "}", "c": 3}, "insert_missing_quote"),
    ("bare words", "{greeting: hello world}", {"greeting": "hello world"}, "wrap_value_with_quotes"),
    ("bare words", "{first name: \"Ada\", n: 1}", {"first name": "Ada", "n": 1}, "wrap_key_with_quotes"),
    ("bare URL", '{"url": https://x.com/a?b=1}', {"url": "https://x.com/a?b=1"}, "wrap_value_with_quotes"),
    ("bare words", '{"stock": 2 items left, "city": Αθήνα}', {"stock": "2 items left", "city": "Αθήνα"}, "wrap_value_with_quotes"),
    ("malformed numbers", '{"n": .5, "m": 5., "k": +3}', {"n": 0.5, "m": 5.0, "k": 3}, "normalize_number"),
    ("malformed numbers", '{"big": 1_000_000, "d": -.3, "e": 2e}', {"big": 1000000, "d": -0.3, "e": 2.0}, "normalize_number"),
    ("number-like text", '{"v": 0.0.1, "t": 2024-10-18T18:35:22Z, "r": 10-20}',
     {"v": "0.0.1", "t": "2024-10-18T18:35:22Z", "r": "10-20"}, "wrap_value_with_quotes"),
    ("number-like text", '{"id": 123e4567-e89b-12d3-a456-426614174000, "ip": 10.0.0.1}',
     {"id": "123e4567-e89b-12d3-a456-426614174000", "ip": "10.0.0.1"}, "wrap_value_with_quotes"),
    ("NaN-like words", '{"a": NaN, "b": -Infinity, "c": 1}', {"a": "NaN", "b": "-Infinity", "c": 1}, "wrap_value_with_quotes"),
    ("tuple", '{"pt": (1, 2)}', {"pt": [1, 2]}, "convert_tuple_to_array"),
    ("tuple", '("a",)', ["a"], "convert_tuple_to_array"),
    ("tuple", '{"t": (True, None, "x")}', {"t": [True, None, "x"]}, "convert_tuple_to_array"),
    ("escaped JSON", '{\\"a\\": 1, \\"b\\": \\"x\\"}', {"a": 1, "b": "x"}, "decode_escaped_json"),
    ("escaped JSON", 'Result: "{\\"a\\": [1, 2]}" done', {"a": [1, 2]}, "decode_escaped_json"),
    ("wrapper", '{"_id": ObjectId("5f1"), "t": ISODate("2024-01-02")}', {"_id": "5f1", "t": "2024-01-02"}, "unwrap_call"),
    ("wrapper", '{"n": NumberLong("12"), "m": NumberInt(7)}', {"n": 12, "m": 7}, "unwrap_call"),
    ("placeholder", "[1, 2, ..., 9]", [1, 2, 9], "drop_placeholder"),
    ("placeholder", '{"a": 1, "b": [1, …, 3], ...}', {"a": 1, "b": [1, 3]}, "drop_placeholder"),
    ("wrong closer", '{"a": [1, 2}, "b": 3}', {"a": [1, 2], "b": 3}, "replace_mismatched_closer"),
    ("surplus closer", '[{"a": 1}}, {"b": 2}]', [{"a": 1}, {"b": 2}], "drop_surplus_closer"),
    ("extra comma", "[,1,2]", [1, 2], "drop_extra_comma"),
    ("extra comma", '{"a": [1,, 2], , "b": 3}', {"a": [1, 2], "b": 3}, "drop_extra_comma"),
    ("cut off at the final line break", '{"s": "cut off here\n', {"s": "cut off here"}, "close_open_string"),
    ("comment beside a URL", '{"a": https://x.y/z, // the link\n "b": 1}', {"a": "https://x.y/z", "b": 1}, "strip_line_comment"),
]

# Texts that lost nothing to the token-level repair keep its answer.
UNCHANGED = [
    ("[1 2]", [1, 2]),
    ("{a: 1, b: None}", {"a": 1, "b": None}),
    ("{'a': 'it\\'s'}", {"a": "it's"}),
    ('{"a": "x" "b": 2}', {"a": "x", "b": 2}),
]


def best(text):
    result = velvin.parse(text)
    assert result.status in ("repaired", "partial"), result.errors
    return result


@pytest.mark.parametrize("kind, text, meant, op", READINGS, ids=[f"{r[0]}: {r[1][:30]}" for r in READINGS])
def test_reading_gives_what_was_meant(kind, text, meant, op):
    assert velvin.loads(text) == meant
    result = best(text)
    assert result.status == "repaired"
    assert op in [r.op for r in result.repairs]


@pytest.mark.parametrize("text, value", UNCHANGED)
def test_lossless_repairs_stay(text, value):
    assert velvin.loads(text) == value


@pytest.mark.skipif(not TOOL.exists(), reason=f"{TOOL} not built")
def test_the_tool_reads_them_too():
    lines = "".join(json.dumps(text) + "\n" for _, text, _, _ in READINGS)
    texts = [json.loads(line) for line in lines.splitlines()]
    r = subprocess.run([str(TOOL), "--jsonl"], input="\n".join(t.replace("\n", " ") for t in texts).encode(),
                       capture_output=True, timeout=60)
    got = [json.loads(line) for line in r.stdout.decode().splitlines()]
    want = [velvin.loads(t.replace("\n", " ")) for t in texts]
    assert got == want


def long_reply(sites):
    """A 5 KB reply of 40 records, with the given slips written into its first records."""
    records = [{"note": f"n{i}", "id": i, "name": f"item {i}", "price": i + 0.5, "tags": ["a", "b"]}
               for i in range(40)]
    text = json.dumps(records, indent=2)
    meant = json.loads(text)
    for i, (slip, fix) in enumerate(sites):
        text = text.replace(json.dumps(f"n{i}") + ",", slip + ",", 1)
        meant[i]["note"] = fix
    return text, meant


SLIPS = [
    ('"The "Pro" plan"', 'The "Pro" plan'),
    ("hello world", "hello world"),
    ('"Paris', "Paris"),
    ("https://x.com/a?b=1", "https://x.com/a?b=1"),
    ('Paris"', "Paris"),
    ("2024-10-18T18:35:22Z", "2024-10-18T18:35:22Z"),
]


@pytest.mark.parametrize("count", [6, 12, 24])
def test_long_replies_repair_every_site(count):
    text, meant = long_reply([SLIPS[i % len(SLIPS)] for i in range(count)])
    assert len(text) > 5000
    assert velvin.loads(text) == meant


# Each reading answers to its switch: with the switch off, its op never appears.
SWITCHES = [
    ("allow_inner_quotes", '{"title": "The "Pro" plan", "n": 2}', "escape_inner_quotes"),
    ("allow_missing_quotes", '{"city": "Paris, "zip": "75001"}', "insert_missing_quote"),
    ("allow_missing_quotes", '{"city": Paris", "zip": 1}', "insert_missing_quote"),
    ("allow_loose_numbers", '{"n": .5, "k": 1}', "normalize_number"),
    ("allow_wrappers", '{"_id": ObjectId("5f1"), "n": 1}', "unwrap_call"),
    ("allow_placeholders", "[1, 2, ..., 9]", "drop_placeholder"),
    ("allow_escaped_json", '{\\"a\\": 1, \\"b\\": \\"x\\"}', "decode_escaped_json"),
    ("allow_unquoted_values", "{greeting: hello world}", "wrap_value_with_quotes"),
    ("allow_python_literals", '{"pt": (1, 2)}', "convert_tuple_to_array"),
    ("allow_comments", '{"a": https://x.y/z, // the link\n "b": 1}', "strip_line_comment"),
]


@pytest.mark.parametrize("switch, text, op", SWITCHES)
def test_each_reading_obeys_its_switch(switch, text, op):
    assert op in [r.op for r in velvin.parse(text).repairs]
    off = velvin.parse(text, **{switch: False})
    assert op not in [r.op for c in off.candidates for r in c.repairs]
