"""strict_loads_py: input rules, error tuples, and the JSON -> Python conversion."""
import json
import math
import struct
from pathlib import Path

import pytest

import velvin_native as vn

BENCH_DATA = Path(__file__).resolve().parents[2].parent / "shared" / "bench-data"


def raises_positioned(arg):
    with pytest.raises(ValueError) as info:
        vn.strict_loads_py(arg)
    return info.value.args


# ---- accepted inputs ----

@pytest.mark.parametrize("arg", ['{"a": 1}', b'{"a": 1}', bytearray(b'{"a": 1}')])
def test_str_bytes_and_bytearray_are_accepted(arg):
    assert vn.strict_loads_py(arg) == {"a": 1}


def test_subclasses_of_str_and_bytes_are_accepted():
    class S(str):
        pass

    class B(bytes):
        pass

    assert vn.strict_loads_py(S("[1]")) == [1]
    assert vn.strict_loads_py(B(b"[2]")) == [2]


def test_keyword_argument():
    assert vn.strict_loads_py(input="true") is True


# ---- rejected inputs ----

@pytest.mark.parametrize("arg", [memoryview(b"1"), 5, None, 1.5, ["[]"]])
def test_other_types_are_rejected(arg):
    assert raises_positioned(arg) == ("input must be bytes, bytearray, memoryview, or str", 0)


def test_lone_surrogate_str_counts_as_not_a_str():
    assert raises_positioned("[\ud800]") == ("input must be bytes, bytearray, memoryview, or str", 0)


@pytest.mark.parametrize("arg", [
    b"\xff", b'["\xed\xa0\x80"]', b'"abc\xe2\x82"', bytearray(b"[\xc0\x80]"),
    b'{"k\xff": 1}', b'{"ok": "\xe2\x82\\n"}', b'["short\xff", "x"]',
    b'[1 2, "\xff"]',          # a syntax fault before the bad byte: the bytes are judged first
    b'["\xc3\\u00a9"]',       # a cut character, then an escape: not a character
])
def test_invalid_utf8_bytes_are_rejected_at_position_zero(arg):
    assert raises_positioned(arg) == ("str is not valid UTF-8: surrogates not allowed", 0)


def test_kept_keys_and_values_are_equal_to_fresh_ones():
    # Keys and short values are shared across calls; a bad key is never kept.
    for _ in range(2):
        assert raises_positioned(b'{"k\xff": 1}') == ("str is not valid UTF-8: surrogates not allowed", 0)
        assert vn.strict_loads_py(b'{"k": "v", "\xc3\xa9": ["v", "k"]}') == {"k": "v", "\xe9": ["v", "k"]}
    long_key = "x" * 100
    assert vn.strict_loads_py(json.dumps({long_key: long_key})) == {long_key: long_key}


def test_argument_binding_errors_are_type_errors():
    with pytest.raises(TypeError):
        vn.strict_loads_py()
    with pytest.raises(TypeError):
        vn.strict_loads_py("1", "2")
    with pytest.raises(TypeError):
        vn.strict_loads_py(text="1")


def test_text_signature():
    assert vn.strict_loads_py.__text_signature__ == "(input)"


# ---- parser errors become ValueError(message, position) ----

ERRORS = [
    ("", "unexpected EOF", 0),
    ("  ", "unexpected EOF", 2),
    ('{"a" 1}', "expected ':'", 5),
    ("[1 2]", "expected ',' or ']'", 3),
    ("tru", "unexpected EOF", 0),
    ("trux", "invalid literal", 0),
    ('"abc', "unterminated string", 0),
    ("[1,]", "unexpected byte: 93", 3),
    ('{"a":1,}', "expected object key string", 7),
    ('{"a":1 "b":2}', "expected ',' or '}'", 7),
    ("01", "trailing characters", 1),
    ("1.", "invalid number", 0),
    ("-", "invalid number", 0),
    ("1e", "invalid number", 0),
    (".5", "unexpected byte: 46", 0),
    ("+1", "unexpected byte: 43", 0),
    ("\ufeff{}", "unexpected byte: 239", 0),
    ("é", "unexpected byte: 195", 0),
    ('"a\tb"', "control character in string", 2),
    ('"\\x"', "invalid escape", 2),
    ('"\\', "unexpected EOF in escape", 2),
    ('"\\u12"', "unexpected EOF in \\u escape", 3),
    ('"\\u12G4"', "invalid \\u escape", 7),
    ('[] x', "trailing characters", 3),
    ('["é", x]', "unexpected byte: 120", 7),  # positions count bytes, not characters
]


@pytest.mark.parametrize("text,message,position", ERRORS)
def test_error_message_and_byte_position(text, message, position):
    assert raises_positioned(text) == (message, position)
    assert raises_positioned(text.encode()) == (message, position)


# ---- values ----

def test_numbers_keep_their_exact_values():
    assert vn.strict_loads_py("18446744073709551615") == 2**64 - 1
    assert vn.strict_loads_py("-9223372036854775808") == -(2**63)
    assert vn.strict_loads_py("18446744073709551616") == 18446744073709551616.0
    assert type(vn.strict_loads_py("18446744073709551616")) is float
    assert vn.strict_loads_py("1e400") == math.inf
    assert type(vn.strict_loads_py("-0")) is int
    neg_zero = vn.strict_loads_py("-0.0")
    assert struct.pack("<d", neg_zero) == struct.pack("<d", -0.0)
    assert vn.strict_loads_py("1E2") == 100.0


def test_strings_decode_escapes_and_surrogates():
    assert vn.strict_loads_py(r'"\ud83d\ude00"') == "😀"
    assert vn.strict_loads_py(r'"\ud83dx"') == "\ufffdx"
    assert vn.strict_loads_py(r'"\u0000"') == "\x00"
    assert vn.strict_loads_py('"日本"') == "日本"


def test_repeated_keys_keep_first_position_and_last_value():
    assert vn.strict_loads_py('{"a":1,"a":2}') == {"a": 2}
    assert list(vn.strict_loads_py('{"a":1,"b":2,"a":3}').items()) == [("a", 3), ("b", 2)]


def test_keys_are_shared_between_objects():
    docs = vn.strict_loads_py('[{"name": 1}, {"name": 2}]')
    assert [list(d)[0] for d in docs] == ["name", "name"]
    assert list(docs[0])[0] is list(docs[1])[0]


# Keys that repeat object after object are recognised from their raw text; a raw text that only
# looks like the key that usually comes next (a longer key, an escape, a bad byte) is decoded.
@pytest.mark.parametrize("second", [
    '"id":2', '"id_str":2', '"i\\u0064":2', '"id\\"":2', '"\\\\id":2', '"x":2', '"id":2,"n":3',
    '"id', '"id\n":2', '"id\xff":2', '"\\b":1', '"\b":1',
])
def test_keys_read_in_their_usual_order_decode_as_json_does(second):
    text = '[{"a\\\\b":0,"id":1},{"a\\\\b":0,"id":1},{"a\\\\b":0,' + second + '}]'
    try:
        expected = json.loads(text)
    except ValueError:
        with pytest.raises(ValueError):
            vn.strict_loads_py(text.encode("utf-8", "surrogateescape"))
        return
    assert vn.strict_loads_py(text.encode("utf-8", "surrogateescape")) == expected


def test_nesting_up_to_the_bound_parses_and_deeper_is_an_error():
    depth = 1024
    value = vn.strict_loads_py("[" * depth + "]" * depth)
    for _ in range(depth - 1):
        value = value[0]
    assert value == []
    assert raises_positioned("[" * (depth + 1) + "]" * (depth + 1)) == ("nesting too deep", depth)


@pytest.mark.parametrize("opener,width", [("[", 1), ('{"a":', 5)])
def test_a_million_openers_fail_with_a_positioned_error(opener, width):
    assert raises_positioned(opener * 1_000_000) == ("nesting too deep", 1024 * width)


def test_error_inside_large_document_releases_partial_objects():
    text = "[" + ",".join('{"k": "%d"}' % i for i in range(5000)) + ",]"
    message, position = raises_positioned(text)
    assert message == "unexpected byte: 93"
    assert position == len(text) - 1


@pytest.mark.skipif(not BENCH_DATA.is_dir(), reason="shared bench-data not present")
@pytest.mark.parametrize("name", ["twitter.json", "citm_catalog.json", "canada.json",
                                  "github_events.json", "gsoc-2018.json"])
def test_benchmark_files_match_json_loads(name):
    data = (BENCH_DATA / name).read_bytes()
    assert vn.strict_loads_py(data) == json.loads(data)
