"""strict_loads_py against json.loads on generated documents: the same values (float bits
included) and the same accept/reject decisions where the two grammars agree."""
import json
import math
import struct

import pytest

import velvin_native as vn

hypothesis = pytest.importorskip("hypothesis", reason="hypothesis is not installed (apt: python3-hypothesis)")
from hypothesis import example, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

INT_MIN, UINT_MAX = -(2**63), 2**64 - 1


def same(ours, theirs):
    """Does our value equal json.loads's, variant for variant and float bit for bit?"""
    if isinstance(theirs, bool) or theirs is None:
        return ours is theirs
    if isinstance(theirs, int):
        if INT_MIN <= theirs <= UINT_MAX:
            return type(ours) is int and ours == theirs
        # Beyond both 64-bit ranges the integer is read as the nearest double.
        try:
            expected = float(theirs)
        except OverflowError:
            expected = math.copysign(math.inf, theirs)
        return type(ours) is float and struct.pack("<d", ours) == struct.pack("<d", expected)
    if isinstance(theirs, float):
        return type(ours) is float and struct.pack("<d", ours) == struct.pack("<d", theirs)
    if isinstance(theirs, str):
        return ours == theirs
    if isinstance(theirs, list):
        return type(ours) is list and len(ours) == len(theirs) and all(map(same, ours, theirs))
    if isinstance(theirs, dict):
        return (type(ours) is dict and list(ours) == list(theirs)
                and all(same(ours[k], theirs[k]) for k in theirs))
    return False


def has_lone_surrogate(value):
    if isinstance(value, str):
        return any(0xD800 <= ord(c) <= 0xDFFF for c in value)
    if isinstance(value, list):
        return any(map(has_lone_surrogate, value))
    if isinstance(value, dict):
        return any(has_lone_surrogate(k) or has_lone_surrogate(v) for k, v in value.items())
    return False


scalars = (st.none() | st.booleans()
           | st.integers(min_value=-(2**70), max_value=2**70)
           | st.floats(allow_nan=False, allow_infinity=False)
           | st.text())
documents = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5)
                         | st.dictionaries(st.text(max_size=8), inner, max_size=5), max_leaves=30)


@settings(max_examples=400, deadline=None)
@given(documents, st.booleans(), st.sampled_from([None, 0, 2]))
def test_generated_documents_parse_to_the_same_values(value, ascii_only, indent):
    text = json.dumps(value, ensure_ascii=ascii_only, indent=indent)
    assert same(vn.strict_loads_py(text), json.loads(text))
    assert same(vn.strict_loads_py(text.encode("utf-8")), json.loads(text))


@settings(max_examples=300, deadline=None)
@given(documents, st.sampled_from([None, 2]), st.sampled_from(["", " ", "\n"]))
@example("see [1]", None, "")
@example('{"a": [1]}', None, " ")
@example(["]", {"[": "{"}], 2, "\n")
@example({"code": "```json [1] ``` and ```[2]```"}, None, "")
def test_valid_documents_come_out_of_the_pipeline_unchanged(value, indent, around):
    """A valid document is strict_ok with its own value, whatever brackets its strings mention."""
    hypothesis.assume(not has_lone_surrogate(value))
    text = around + json.dumps(value, ensure_ascii=False, indent=indent) + around
    doc = vn.parse_py(text)
    assert doc["status"] == "strict_ok"
    (c,) = doc["candidates"]
    assert same(c["value"], json.loads(text))
    assert c["repairs"] == []


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False), st.sampled_from(["{!r}", "{:e}", "{:.17g}", "{:.3f}"]))
def test_float_spellings_round_the_same_way(number, form):
    text = form.format(number)
    if text in ("inf", "-inf") or not text.lstrip("-")[:1].isdigit():
        return
    try:
        expected = json.loads(text)
    except ValueError:
        with pytest.raises(ValueError):
            vn.strict_loads_py(text)
        return
    assert same(vn.strict_loads_py(text), expected)


# Text built from the bytes that matter to the grammar, so that most samples are near-JSON.
near_json = st.text(alphabet=list('{}[]:," \\\t\n0123456789.eE+-truefalsnbcdu/') + ["é", "😀", "\x01"],
                    max_size=40)


@settings(max_examples=1500, deadline=None)
@given(near_json)
def test_accept_and_reject_agree(text):
    try:
        theirs = json.loads(text)
    except (ValueError, RecursionError):
        with pytest.raises(ValueError):
            vn.strict_loads_py(text)
        return
    ours = vn.strict_loads_py(text)
    if not has_lone_surrogate(theirs):  # a lone surrogate escape is U+FFFD here
        assert same(ours, theirs)


def test_where_the_grammars_differ():
    # json.loads extends JSON with these words; strict JSON has no such values.
    for text in ("NaN", "Infinity", "-Infinity", "[NaN]"):
        json.loads(text)
        with pytest.raises(ValueError):
            vn.strict_loads_py(text)
    # A lone surrogate escape stands for an unknown character, U+FFFD, never an unencodable str.
    assert vn.strict_loads_py(r'"\ud800"') == "\ufffd"
