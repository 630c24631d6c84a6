"""velvin.parse_all and loads_all (every value of a text) and ParseResult.explain()."""
import json
import os
import re
import subprocess
from pathlib import Path

import pytest

import velvin
import velvin_native

FENCE = "```"


def comparable(result):
    doc = result.to_dict()
    doc["metrics"]["elapsed_ms"] = 0
    return doc


# (text, the best value of each piece, the status of each piece)
MIXED = {
    "two fences": (f"A:\n{FENCE}json\n{{'a': 1}}\n{FENCE}\nB:\n{FENCE}\n[2, 3,]\n{FENCE}\n",
                   [{"a": 1}, [2, 3]], ["repaired", "repaired"]),
    "prose with two objects": ('First {"a": 1}, and then {"b": [1, 2]} as well.',
                               [{"a": 1}, {"b": [1, 2]}], ["strict_ok", "strict_ok"]),
    "json lines": ('{"n": 1}\n{"n": 2}\r\n\n{n: 3}\n', [{"n": 1}, {"n": 2}, {"n": 3}],
                   ["strict_ok", "strict_ok", "repaired"]),
    "side by side": ('{"a":1}{"b":2}[1] [2]', [{"a": 1}, {"b": 2}, [1], [2]], ["strict_ok"] * 4),
    "fence then prose": (f'{FENCE}json\n[1]\n{FENCE} and also {{"x": "y"',
                         [[1], {"x": "y"}], ["repaired", "repaired"]),
    "a closer that skips an opener": ('{"a": [1, 2}\n{"b": 2}', [{"a": [1, 2]}, {"b": 2}],
                                      ["partial", "strict_ok"]),  # as parse reads the piece alone
}


@pytest.mark.parametrize("name", MIXED)
def test_parse_all_finds_every_value_in_order(name):
    text, values, statuses = MIXED[name]
    results = velvin.parse_all(text)
    assert [r.value for r in results] == values
    assert [r.status for r in results] == statuses
    assert velvin.loads_all(text) == values
    assert velvin.loads_all(text.encode()) == values
    data = text.encode()
    for r in results:
        # Offsets count in the whole text: the extracted span holds the value's text.
        start, end = r.input_stats.extracted_span
        assert r.input_stats.input_bytes == len(data)
        assert r.input_stats.prefix_skipped_bytes == start
        assert r.input_stats.suffix_skipped_bytes == len(data) - end
        if r.status == "strict_ok":
            assert json.loads(data[start:end]) == r.value


@pytest.mark.parametrize("text", [
    "Sure! {'a': [1, 2,]} Hope that helps.",
    f"{FENCE}json\n{{\"a\": 1}}\n{FENCE}",
    '"see [1] and [2]"',  # one JSON string: one value, though it mentions two arrays
    '{"code": "```json [1] ``` and ```[2]```"}',  # one document; its string holds fences
    "no json here",
    "",
    b'{"a": "\xff"}',
])
def test_a_text_with_one_value_is_exactly_parse(text):
    results = velvin.parse_all(text)
    assert [comparable(r) for r in results] == [comparable(velvin.parse(text))]


@pytest.mark.parametrize("text,options,expected", [
    # Pieces that give no value are left out...
    ("[1] [2,] [3]", {"mode": "strict_only"}, [[1], [3]]),
    # ...and when none gives one, loads_all raises as loads does.
    ("[1,] [2,]", {"mode": "strict_only"}, velvin.RepairError),
    ("[1,]", {"mode": "strict_only"}, velvin.RepairError),
    ("{a: 1}", {}, [{"a": 1}]),
])
def test_loads_all_skips_pieces_without_a_value(text, options, expected):
    if isinstance(expected, list):
        assert velvin.loads_all(text, **options) == expected
        return
    with pytest.raises(expected) as info:
        velvin.loads_all(text, **options)
    assert info.value.result.status == "failed"
    assert [r.status for r in velvin.parse_all(text, **options)].count("failed") >= 1


def test_parse_all_rejects_what_parse_rejects():
    with pytest.raises(TypeError, match=r"^parse_all\(\) takes str or bytes"):
        velvin.parse_all(1)
    with pytest.raises(TypeError, match="unexpected option 'topk'"):
        velvin.loads_all("[1]", topk=1)
    with pytest.raises(TypeError, match="input must be str or bytes"):
        velvin_native.parse_all_py(bytearray(b"[1]"))


# ---- explain() ----

ROOT = Path(__file__).resolve().parents[2]
TOOL = Path(os.environ.get("VELVIN_BUILD_DIR", ROOT / "build")) / "bin" / "velvin"


def tool_text(data, *args):
    if not TOOL.exists():
        pytest.skip(f"{TOOL} not built")
    return subprocess.run([str(TOOL), "--explain", *args], input=data, capture_output=True,
                          timeout=60).stdout.decode()


def same_but_time(text):
    """The explanation with its one elapsed time (in the method line) left out."""
    return re.sub(r", \d+ ms\)", ", _ ms)", text)


@pytest.mark.parametrize("text,options,args", [
    ("Note: {'a': None, b: [1 2,]} bye", {}, []),
    (b"[1, 2 3 @ \xff", {}, []),
    ('{"a": 1}', {}, []),
    ("[1,]", {"mode": "strict_only"}, ["--mode", "strict_only"]),
    ("{'k': 1", {"confidence_alpha": 0.5, "top_k": 1}, ["--confidence-alpha", "0.5", "--top-k", "1"]),
])
def test_explain_is_the_tools_text(text, options, args):
    data = text if isinstance(text, bytes) else text.encode()
    expected = tool_text(data, *args)
    assert same_but_time(velvin.parse(text, **options).explain("<stdin>") + "\n") == same_but_time(expected)


def test_explain_of_every_value_and_of_a_stream():
    text = MIXED["two fences"][0]
    expected = tool_text(text.encode(), "--all")
    explained = "".join(r.explain(f"<stdin> (value {i} of 2)") + "\n"
                        for i, r in enumerate(velvin.parse_all(text), start=1))
    assert same_but_time(explained) == same_but_time(expected)
    stream = velvin.StreamParser()
    for chunk in (b"{'a': ", b"[1, 2"):
        stream.feed(chunk)
    assert same_but_time(stream.close().explain()) == same_but_time(velvin.parse(b"{'a': [1, 2").explain())


def test_explain_needs_the_input_and_checks_its_arguments():
    with pytest.raises(ValueError, match="needs the input"):
        velvin.ParseResult.from_dict(velvin_native.parse_py("[1]")).explain()
    with pytest.raises(velvin.RepairError) as info:
        velvin.loads("[1,]", mode="strict_only")
    assert "JSONDecodeError" in info.value.result.explain()
    assert velvin_native.explain_py("[1]").startswith("\u2501\u2501 <input> \u2501\u2501\n")
    for kwargs, error in (({"name": 1}, TypeError), ({"piece": [0, 1]}, TypeError),
                          ({"piece": (0, 1, 2)}, ValueError), ({"piece": (-1, 2)}, OverflowError)):
        with pytest.raises(error):
            velvin_native.explain_py("[1] [2]", None, **kwargs)
    # A piece out of range is cut to the text.
    assert "value\n    [2]" in velvin_native.explain_py("[1] [2]", None, "x", (4, 99))
