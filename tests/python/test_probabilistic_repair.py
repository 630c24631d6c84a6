import math

import pytest

import velvin_native as v

repair = v.probabilistic_repair_py

CANDIDATE_KEYS = [
    "candidate_id", "value", "normalized_json", "ir", "confidence", "cost", "repairs",
    "validations", "diagnostics", "dropped_spans",
]
REPAIR_KEYS = ["op", "span", "at", "token", "cost_delta", "note"]
DIAGNOSTIC_KEYS = [
    "garbage_skipped_bytes", "deleted_tokens", "inserted_tokens", "close_open_string_count",
    "beam_width", "max_repairs",
]


def ops(candidate):
    return [r["op"] for r in candidate["repairs"]]


def test_signature():
    assert repair.__text_signature__ == "(extracted_text, options=None, base_repairs=None)"


@pytest.mark.parametrize(
    "text, options, value, ops_expected, cost",
    [
        ("", None, None, ["synthesize_missing_value"], 2.5),
        ("{a: 1}", {"allow_unquoted_keys": False}, {}, ["delete_unexpected_token"] * 3, 7.5),
        ("[None, True]", None, [None, True], ["map_python_literal"], 0.4),
        ('{"a" 1}', None, {"a": 1}, ["insert_missing_colon"], 1.0),
        (
            '{"a": "b',
            {"max_close_open_string": 0},
            {"a": None},
            ["delete_unexpected_token", "synthesize_missing_value", "insert_missing_closer"],
            5.5,
        ),
        ('{"a": 1} thanks!', None, {"a": 1}, ["skip_suffix", "skip_suffix"], None),
    ],
)
def test_best_candidate(text, options, value, ops_expected, cost):
    candidates = repair(text, options)
    assert candidates, text
    best = candidates[0]
    assert best["value"] == value
    assert ops(best) == ops_expected
    if cost is not None:
        assert best["cost"] == pytest.approx(cost)
    assert best["confidence"] == pytest.approx(math.exp(-0.7 * best["cost"]))


def test_candidate_shape():
    candidates = repair("[1, 2,")
    assert [c["normalized_json"] for c in candidates[:2]] == ["[1,2]", "[1,2,null]"]
    for i, c in enumerate(candidates):
        assert list(c) == CANDIDATE_KEYS
        assert c["candidate_id"] == i
        assert c["ir"] is None
        assert type(c["confidence"]) is float and type(c["cost"]) is float
        assert c["validations"] == {"strict_json_parse": True, "schema_match": None}
        assert list(c["validations"]) == ["strict_json_parse", "schema_match"]
        assert list(c["diagnostics"]) == DIAGNOSTIC_KEYS
        assert c["diagnostics"]["beam_width"] == 32
        assert c["diagnostics"]["max_repairs"] == 20
        for r in c["repairs"]:
            assert list(r) == REPAIR_KEYS
    closer = candidates[0]["repairs"][1]
    assert closer == {"op": "insert_missing_closer", "span": None, "at": 6, "token": "]",
                      "cost_delta": 0.5, "note": None}
    assert candidates[1]["diagnostics"]["inserted_tokens"] == 2


def test_spans_are_tuples():
    text = "[1, 2 and more"
    candidates = repair(text, {"top_k": 20})
    truncated = [c for c in candidates if c["dropped_spans"]]
    assert truncated
    c = truncated[0]
    assert c["dropped_spans"] == [(6, len(text))]
    assert all(type(s) is tuple for s in c["dropped_spans"])
    spans = [r["span"] for r in c["repairs"] if r["span"] is not None]
    assert spans and all(type(s) is tuple for s in spans)


def test_options_are_read():
    assert repair("[1, 2", {"top_k": 1}) and len(repair("[1, 2", {"top_k": 1})) == 1
    assert repair("[1, 2", {"top_k": 0}) == []
    assert repair("[1, 2", {"beam_width": 0}) == []
    best = repair("[1, 2", {"confidence_alpha": 2.0, "beam_width": 7, "max_repairs": 9})[0]
    assert best["confidence"] == pytest.approx(math.exp(-2.0 * 0.5))
    assert best["diagnostics"]["beam_width"] == 7
    assert best["diagnostics"]["max_repairs"] == 9
    assert repair("[1, 2", {"max_repairs": 0}) == []
    with pytest.raises(TypeError):
        repair("[1]", {"top_k": 3.0})
    with pytest.raises(OverflowError):
        repair("[1]", {"beam_width": -1})


def test_keywords_and_none_arguments():
    a = repair(extracted_text="[1", options=None, base_repairs=None)
    b = repair("[1")
    assert a == b


def test_same_input_same_output():
    text = '{"results": [{"id": 1, name: "x" "y"}, {"id": 2, "tags": [a b c'
    assert repair(text, {"top_k": 10}) == repair(text, {"top_k": 10})


def test_unicode_text_offsets_are_bytes():
    text = '["\u00e9\u00e9", x'
    candidates = repair(text, {"top_k": 10})
    truncated = [c for c in candidates if c["dropped_spans"]]
    # "x" starts at byte 9: the two characters take two bytes each.
    assert truncated[0]["dropped_spans"] == [(9, 10)]


# ---- base repairs ----


def test_empty_base_repair():
    candidates = repair("[1, 2", None, [{}])
    assert candidates
    for c in candidates:
        assert c["repairs"][0] == {"op": "", "span": None, "at": None, "token": None,
                                   "cost_delta": 0.0, "note": None}
    assert candidates[0]["cost"] == pytest.approx(0.5)


def test_base_repairs_lead_and_cost():
    base = [
        {"op": "strip_prefix_text", "span": (0, 12), "cost_delta": 0.3},
        {"op": "close_containers", "at": 40, "cost_delta": 1, "note": "brace=1, bracket=0",
         "token": "}", "ignored": object()},
    ]
    candidates = repair("[1, 2", None, base)
    best = candidates[0]
    assert best["repairs"][:2] == [
        {"op": "strip_prefix_text", "span": (0, 12), "at": None, "token": None,
         "cost_delta": 0.3, "note": None},
        {"op": "close_containers", "span": None, "at": 40, "token": "}", "cost_delta": 1.0,
         "note": "brace=1, bracket=0"},
    ]
    assert best["cost"] == pytest.approx(1.8)
    assert best["confidence"] == pytest.approx(math.exp(-0.7 * 1.8))


@pytest.mark.parametrize("given", [
    # Words, tokens and notes outside the usual ones come back exactly as given.
    {"op": "my_own_fix", "span": (3, 1), "at": 2**64 - 1, "token": "\u00e9\U0001F600",
     "cost_delta": -0.0, "note": ""},
    {"op": "wrap_unquoted_key", "span": (0, 0), "at": 0, "token": "", "cost_delta": 1e300,
     "note": "a -> \"b\""},
])
def test_base_repairs_come_back_unchanged(given):
    best = repair("[1, 2", None, [given])[0]
    assert best["repairs"][0] == given
    assert list(best["repairs"][0]) == REPAIR_KEYS


class Floaty:
    def __float__(self):
        return 0.25


class BadFloat:
    def __float__(self):
        raise RuntimeError("no float")


@pytest.mark.parametrize(
    "item, op, cost",
    [
        ({"op": 5, "cost_delta": "abc"}, "", 0.0),
        ({"op": None, "cost_delta": None}, "", 0.0),
        ({"op": "x\ud800", "cost_delta": BadFloat()}, "", 0.0),
        ({"op": "ok", "cost_delta": Floaty()}, "ok", 0.25),
        ({"op": "big", "cost_delta": 10**400}, "big", 0.0),
        ({"op": "int", "cost_delta": 2}, "int", 2.0),
    ],
)
def test_lenient_op_and_cost(item, op, cost):
    first = repair("[1]", None, [item])[0]["repairs"][0]
    assert first["op"] == op
    assert first["cost_delta"] == cost


class BadIndex:
    def __index__(self):
        raise ValueError("bad index")


@pytest.mark.parametrize(
    "base, error, message",
    [
        ((), TypeError, "base_repairs"),
        ({"op": "x"}, TypeError, "base_repairs"),
        ([5], TypeError, "PyDict"),
        ([{"span": [0, 1]}], TypeError, "PyTuple"),
        ([{"span": (0, 1, 2)}], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([{"span": ()}], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([{"span": (-1, 1)}], OverflowError, None),
        ([{"span": (0, "1")}], TypeError, None),
        ([{"span": (0, BadIndex())}], ValueError, "bad index"),
        ([{"at": -5}], OverflowError, None),
        ([{"at": 1.5}], TypeError, None),
        ([{"token": 5}], TypeError, "PyString"),
        ([{"note": b"x"}], TypeError, "PyString"),
        ([{"note": "x\ud800"}], UnicodeEncodeError, None),
        ([{}, {"op": "fine"}, 7], TypeError, "PyDict"),
    ],
)
def test_bad_base_repairs(base, error, message):
    with pytest.raises(error) as info:
        repair("[1]", None, base)
    if message is not None:
        assert message in str(info.value)


def test_base_repair_span_of_max_size():
    big = 2**64 - 1
    first = repair("1", None, [{"span": (big, big), "at": big}])[0]["repairs"][0]
    assert first["span"] == (big, big) and first["at"] == big


def test_dict_subclass_base_repair():
    class D(dict):
        pass

    first = repair("1", None, [D(op="sub", cost_delta=0.5)])[0]["repairs"][0]
    assert first["op"] == "sub" and first["cost_delta"] == 0.5


# ---- argument errors ----


@pytest.mark.parametrize("text", [b"[1]", bytearray(b"[1]"), None, 5, ["[1]"]])
def test_text_must_be_str(text):
    with pytest.raises(TypeError, match="extracted_text"):
        repair(text)


def test_lone_surrogate_text():
    with pytest.raises(UnicodeEncodeError):
        repair("[\ud800]")


def test_options_must_be_dict():
    with pytest.raises(TypeError, match="options"):
        repair("[1]", [("top_k", 1)])


def test_argument_binding():
    with pytest.raises(TypeError):
        repair()
    with pytest.raises(TypeError):
        repair("[1]", None, None, None)
    with pytest.raises(TypeError):
        repair("[1]", nope=1)


def test_option_error_before_base_repairs():
    with pytest.raises(TypeError, match="PyBool"):
        repair("[1]", {"partial_ok": 1}, [5])


# ---- bad and large input ----


@pytest.mark.parametrize(
    "text",
    [
        "\x00\x01\x02", "'" * 50, '"' * 51, "\\" * 40, "}]" * 30, "[{" * 3000,
        "\u2028\u00a0 {\u201ca\u201d: 1}", "NaN Infinity -Infinity", "1e999999",
        "[" + "1," * 5000, '{"a": "' + "x" * 100000,
    ],
)
def test_bad_input_never_raises(text):
    for c in repair(text):
        assert c["validations"]["strict_json_parse"] is True
        assert isinstance(c["normalized_json"], str)


def test_large_truncated_document():
    items = ",".join('{"id": %d, "name": "n%d", "ok": true}' % (i, i) for i in range(5000))
    text = "[" + items
    text = text[: text.rfind('"n')+3]  # inside the last name
    best = repair(text)[0]
    assert len(best["value"]) == 5000
    assert best["value"][-1] == {"id": 4999, "name": "n4"}
    assert ops(best) == ["close_open_string", "insert_missing_closer", "insert_missing_closer"]


def rss_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def test_no_leak_over_many_calls():
    text = "{'a': [1, 2, None, x], b: \"open"
    base = [{"op": "strip_prefix_text", "span": (0, 3), "cost_delta": 0.3, "note": "n"}]

    def run(n):
        for _ in range(n):
            repair(text, {"top_k": 3}, base)
            try:
                repair(text, None, [{"span": (1, 2, 3)}])
            except ValueError:
                pass

    run(200)
    before = rss_kb()
    run(3000)
    assert rss_kb() - before < 4096
