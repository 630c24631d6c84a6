"""The options dictionary, read through preprocess_py: conversions, errors and reading order."""
import re

import pytest

import velvin_native as vn

pre = vn.preprocess_py

# Every key in reading order, with its kind.
KEYS = [
    ("mode", "text"), ("top_k", "uint"), ("beam_width", "uint"), ("max_repairs", "uint"),
    ("max_deleted_tokens", "uint"), ("max_close_open_string", "uint"),
    ("max_garbage_skip_bytes", "uint"), ("confidence_alpha", "float"), ("partial_ok", "bool"),
    ("allow_single_quotes", "bool"), ("allow_unquoted_keys", "bool"),
    ("allow_unquoted_values", "bool"), ("allow_comments", "bool"),
    ("allow_python_literals", "bool"), ("allow_parallel", "text"),
    ("parallel_threshold_bytes", "uint"), ("min_elements_for_parallel", "uint"),
    ("density_threshold", "float"), ("parallel_chunk_bytes", "uint"),
    ("deterministic_seed", "uint"), ("debug", "bool"), ("parallel_workers", "uint"),
    ("parallel_backend", "text"), ("scale_output", "text"), ("scale_target_keys", "texts"),
    ("schema", "any"),
]

GOOD = {
    "text": ["", "auto", "anything at all", type("S", (str,), {})("sub")],
    "uint": [0, 1, True, 2**64 - 1, type("Idx", (), {"__index__": lambda self: 7})()],
    "float": [0.5, 1, -3, float("nan"), float("inf"), True,
              type("F", (), {"__float__": lambda self: 2.5})()],
    "bool": [True, False],
    "texts": [[], ["a", "b"], ("a",), type("L", (list,), {})(["x"])],
    "any": [{"type": "object"}, [1, "x"], 3, "text", (1, 2), {1, 2}, object()],
}

BAD = {
    "text": [(5, TypeError, "'int' object cannot be converted to 'PyString'"),
             (b"auto", TypeError, "'bytes' object cannot be converted to 'PyString'"),
             ("\ud800", UnicodeEncodeError, None)],
    "uint": [(3.0, TypeError, None), ("3", TypeError, None), (-1, OverflowError, None),
             (2**64, OverflowError, None)],
    "float": [("0.5", TypeError, None), ([1.0], TypeError, None)],
    "bool": [(1, TypeError, "'int' object cannot be converted to 'PyBool'"),
             (0, TypeError, None), ("true", TypeError, None), (1.0, TypeError, None)],
    "texts": [("ab", TypeError, "Can't extract `str` to `Vec`"),
              (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
              ({"a": 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
              (["a", 1], TypeError, "'int' object cannot be converted to 'PyString'"),
              (["\ud800"], UnicodeEncodeError, None)],
    "any": [({1: 2}, TypeError, "'int' object cannot be converted to 'PyString'"),
            ({"a": [{2: 3}]}, TypeError, None)],
}


def cases(table):
    for key, kind in KEYS:
        for entry in table[kind]:
            yield pytest.param(key, entry, id=f"{key}-{entry!r}"[:60])


@pytest.mark.parametrize("key, value", cases(GOOD))
def test_accepted(key, value):
    pre("[1]", {key: value})


@pytest.mark.parametrize("key, bad", cases(BAD))
def test_rejected(key, bad):
    value, error, message = bad
    with pytest.raises(error) as info:
        pre("[1]", {key: value})
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("key", [key for key, _ in KEYS])
def test_none_keeps_the_default(key):
    assert pre("{a: 1}", {key: None}) == pre("{a: 1}")


def test_empty_none_unknown_and_miscased_keys_give_defaults():
    text = "{a: 'b', // c\n d: [None, x,],}"
    expected = pre(text)
    assert expected["repaired_text"] == '{"a": "b", \n "d": [null, "x"]}'
    for options in ({}, None, {"unknown": 1}, {"Allow_Comments": False, "ALLOW_SINGLE_QUOTES": 5},
                    type("D", (dict,), {})()):
        assert pre(text, options) == expected


class Raiser:
    def __str__(self):
        raise KeyError("from __str__")


def test_schema_conversion_error_is_raised_unchanged():
    with pytest.raises(KeyError, match="from __str__"):
        pre("[]", {"schema": Raiser()})


def bad_value(key, kind):
    """A value of a class named after `key`, which the conversion for `kind` rejects with a
    message naming the class (and so the key)."""
    if kind == "any":
        return type(key, (), {"__str__": lambda self: (_ for _ in ()).throw(ValueError(key))})()
    return type(key, (), {})()


def test_first_failing_key_in_reading_order_wins():
    options = {key: bad_value(key, kind) for key, kind in reversed(KEYS)}
    for key, _ in KEYS:
        with pytest.raises((TypeError, ValueError)) as info:
            pre("[]", options)
        assert re.search(rf"(?<![a-z_]){key}(?![a-z_])", str(info.value)), (key, str(info.value))
        del options[key]
    pre("[]", options)  # nothing left


def test_mode_is_read_before_top_k():
    with pytest.raises(TypeError, match="PyString"):
        pre("[]", {"top_k": -1, "mode": 5})


def test_dictionary_is_not_modified():
    options = {"top_k": True, "parallel_workers": 0, "scale_target_keys": ("a",), "x": 1}
    before = dict(options)
    pre("[]", options)
    assert options == before


def fake_numpy_bool(value, with_bool=True):
    members = {"__module__": "numpy"}
    if with_bool:
        members["__bool__"] = lambda self: value
    return type("bool_", (), members)()


def test_numpy_booleans_count_as_booleans():
    text = "[1, /**/ 2]"
    assert pre(text, {"allow_comments": fake_numpy_bool(False)})["repaired_text"] == text
    assert pre(text, {"allow_comments": fake_numpy_bool(True)})["repaired_text"] == "[1,  2]"
    with pytest.raises(TypeError, match="does not define a '__bool__' conversion"):
        pre(text, {"allow_comments": fake_numpy_bool(False, with_bool=False)})


# Each switch of the heuristic pass turned off leaves its habit in place.
@pytest.mark.parametrize("key, text, on, off", [
    ("allow_comments", "[1, /**/ 2]", "[1,  2]", "[1, /**/ 2]"),
    ("allow_unquoted_keys", "{a: 1}", '{"a": 1}', "{a: 1}"),
    ("allow_single_quotes", "{\"a\": 'b'}", '{"a": "b"}', "{\"a\": 'b'}"),
    ("allow_unquoted_values", "[foo]", '["foo"]', "[foo]"),
    ("allow_python_literals", '{"a": True}', '{"a": true}', '{"a": True}'),
])
def test_switches(key, text, on, off):
    assert pre(text, {key: True})["repaired_text"] == on
    assert pre(text, {key: False})["repaired_text"] == off


def test_other_switches_do_not_touch_the_heuristic_pass():
    text = "{a: 'b', c: [None, foo], /* x */}"
    expected = pre(text)
    options = {"partial_ok": False, "debug": True, "top_k": 0, "mode": "strict_only",
               "scale_output": "tape", "parallel_workers": 3, "confidence_alpha": -1.0}
    assert pre(text, options) == expected
