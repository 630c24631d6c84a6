import json
import resource
import types

import pytest
from hypothesis import given, settings, strategies as st

import velvin_native

scale = velvin_native.parse_root_array_scale_py

SPLIT = {"allow_parallel": "true", "parallel_workers": 2}


def test_small_array_is_parsed_whole_with_its_plan():
    result = scale(b"[1,2,3]")
    assert list(result) == ["value", "plan"]
    assert result["value"] == [1, 2, 3]
    assert result["plan"] == {
        "mode": "NO_SPLIT",
        "elements": 3,
        "structural_density": pytest.approx(4 / 7),
        "chunk_count": 1,
    }
    assert list(result["plan"]) == ["mode", "elements", "structural_density", "chunk_count"]


def test_root_object_reports_its_member_count():
    result = scale(b'{"a": 1, "b": [true, null]}')
    assert result["value"] == {"a": 1, "b": [True, None]}
    assert result["plan"]["elements"] == 2
    split = scale(b'{"a": 1, "b": [true, null]}', SPLIT)
    assert split["value"] == result["value"]
    assert split["plan"]["mode"] == "ROOT_OBJECT_PAIRS"


def test_scalar_root_ignores_byte_order_mark_and_white_space():
    assert scale(b"\xef\xbb\xbf  42\n") == {
        "value": 42,
        "plan": {"mode": "NO_SPLIT", "elements": 0, "structural_density": 0.0, "chunk_count": 1},
    }


def test_split_plan_with_parallelism_forced_on():
    result = scale(b"[1,2,3]", SPLIT)
    assert result["value"] == [1, 2, 3]
    assert result["plan"]["mode"] == "ROOT_ARRAY_ELEMENTS"
    assert result["plan"]["chunk_count"] == 1


@pytest.mark.parametrize(
    "data, message",
    [
        (b"[1,]", "strict parse failed: unexpected byte: 93 at 3"),
        (b"   ", "strict parse failed: unexpected EOF at 0"),
        (b"[1, \xff]", "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 4"),
        (b"[" * 2000 + b"]" * 2000, "strict parse failed: nesting too deep at 1024"),
    ],
)
def test_failures_are_value_errors_with_the_text_only(data, message):
    with pytest.raises(ValueError) as info:
        scale(data)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"[1, [2 3]]", "strict parse failed in task payload: expected ',' or ']' at 6"),
        # Empty elements are not dropped: the document is invalid, as the whole parse says.
        (b"[1,,2]", "strict parse failed: unexpected byte: 44 at 3"),
        (b"[1,2,]", "strict parse failed: unexpected byte: 93 at 5"),
    ],
)
def test_failures_of_a_split_document(data, message):
    with pytest.raises(ValueError) as info:
        scale(data, SPLIT)
    assert info.value.args == (message,)


@pytest.mark.parametrize("data", ["[1]", bytearray(b"[1]"), memoryview(b"[1]"), 5, None])
def test_data_must_be_bytes(data):
    with pytest.raises(TypeError, match="argument 'data'.*PyBytes"):
        scale(data)


@pytest.mark.parametrize(
    "options, error",
    [
        ([("allow_parallel", "true")], TypeError),
        ("x", TypeError),
        ({"parallel_workers": -1}, OverflowError),
        ({"allow_parallel": 1}, TypeError),
        ({"parallel_chunk_bytes": 1.0}, TypeError),
        ({"scale_target_keys": "items"}, TypeError),
    ],
)
def test_bad_options(options, error):
    with pytest.raises(error):
        scale(b"[1]", options)


def test_arguments_bind_like_python_functions():
    assert scale(data=b"[1]", options=None)["value"] == [1]
    with pytest.raises(TypeError):
        scale()
    with pytest.raises(TypeError):
        scale(b"[1]", None, None)
    with pytest.raises(TypeError):
        scale(b"[1]", option={})


def test_module_entry_point():
    assert scale.__text_signature__ == "(data, options=None)"
    functions = [name for name, value in vars(velvin_native).items()
                 if isinstance(value, types.BuiltinFunctionType)]
    assert functions[-1] == "parse_root_array_scale_py"


def test_nested_key_split():
    data = b'{"meta": {"n": 2}, "items": [{"id": 1}, {"id": 2}], "tail": "x"}'
    result = scale(data, {**SPLIT, "scale_target_keys": ["items"]})
    assert result["value"] == json.loads(data)
    assert result["plan"]["mode"] == "NESTED_KEY(items).ROOT_ARRAY_ELEMENTS"
    assert result["plan"]["elements"] == 2
    ordinary = scale(data, {**SPLIT, "scale_target_keys": ["meta_"]})
    assert ordinary["plan"]["mode"] == "ROOT_OBJECT_PAIRS"


def test_repeated_keys_keep_the_last_value_at_the_first_position():
    result = scale(b'{"a": 1, "b": 2, "a": 3}', SPLIT)
    assert list(result["value"].items()) == [("a", 3), ("b", 2)]


def records(n):
    return [
        {
            "id": i,
            "name": f"user_{i}",
            "tags": ["x", "y\"z"] if i % 3 else [],
            "score": i / 7,
            "active": i % 2 == 0,
            "note": None if i % 4 else "caf\u00e9 \u2603",
        }
        for i in range(n)
    ]


@pytest.mark.parametrize("workers", [1, 2, 3, 8])
def test_large_document_splits_into_several_tasks(workers):
    data = json.dumps(records(30000)).encode()
    assert len(data) > 3_000_000
    options = {
        "parallel_threshold_bytes": 1_000_000,
        "parallel_workers": workers,
        "parallel_chunk_bytes": 500_000,
    }
    result = scale(data, options)
    assert result["plan"]["mode"] == "ROOT_ARRAY_ELEMENTS"
    assert result["plan"]["elements"] == 30000
    assert result["plan"]["chunk_count"] >= 3
    assert result["value"] == json.loads(data)


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=5), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=150, deadline=None)
@given(
    items=st.lists(json_values, max_size=8),
    workers=st.integers(min_value=1, max_value=8),
    chunk=st.integers(min_value=1, max_value=64),
    pretty=st.booleans(),
)
def test_any_split_equals_json_loads(items, workers, chunk, pretty):
    data = json.dumps(items, indent=1 if pretty else None, ensure_ascii=False).encode()
    options = {"allow_parallel": "true", "parallel_workers": workers, "parallel_chunk_bytes": chunk}
    assert scale(data, options)["value"] == json.loads(data)
    as_object = json.dumps({str(i): item for i, item in enumerate(items)}).encode()
    assert scale(as_object, options)["value"] == json.loads(as_object)


def test_repeated_calls_do_not_leak():
    data = json.dumps(records(3000)).encode()
    options = {"allow_parallel": "true", "parallel_workers": 2}
    for _ in range(20):
        scale(data, options)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(200):
        scale(data, options)
        with pytest.raises(ValueError):
            scale(data[:-2] + b",]", options)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 20_000
