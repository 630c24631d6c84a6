"""The batch entry points parse_many and loads_many: the same answers as parse and loads, one per
text, in order, with every argument checked before the first text."""
import json
from pathlib import Path

import pytest

import velvin
import velvin_native

BENCH_DATA = Path(__file__).resolve().parents[2].parent / "shared" / "bench-data"

TEXTS = ['{"a": 1}', "{a: [1, 2", b"Sure: ```json\n{'x': True}\n```", "}}}}", "", '"\\u00e9"',
         b"\xff[1,", "[1, 2] and more"]


def _timeless(result):
    doc = result.to_dict()
    doc["metrics"]["elapsed_ms"] = 0
    return doc


@pytest.mark.parametrize("options", [{}, {"mode": "strict_only"}, {"top_k": 1, "beam_width": 4}])
def test_parse_many_is_parse_of_each_text(options):
    got = velvin.parse_many(iter(TEXTS), **options)
    assert [_timeless(r) for r in got] == [_timeless(velvin.parse(t, **options)) for t in TEXTS]


@pytest.mark.parametrize("options", [{}, {"mode": "strict_only"}])
def test_loads_many_gives_values_and_repair_errors_in_place(options):
    for text, got in zip(TEXTS, velvin.loads_many(TEXTS, jobs=2, **options)):
        try:
            assert got == velvin.loads(text, **options)
        except velvin.RepairError as e:
            assert isinstance(got, velvin.RepairError) and got.errors == e.errors


@pytest.mark.parametrize("fn", [velvin.parse_many, velvin.loads_many])
@pytest.mark.parametrize("texts, kwargs, error", [
    ([], {"jobs": -1}, ValueError),
    ([], {"jobs": 1.5}, TypeError),
    ([], {"jobs": True}, TypeError),
    ([], {"top_kk": 1}, TypeError),         # misspelt, raised even with nothing to parse
    ([], {"top_k": "three"}, TypeError),    # a bad value, read once before the batch
    (["[1]", 5], {}, TypeError),
])
def test_bad_arguments_raise(fn, texts, kwargs, error):
    with pytest.raises(error):
        fn(texts, **kwargs)


def test_empty_batch():
    assert velvin.parse_many([]) == [] and velvin.loads_many(()) == []


def _corpus(name, count):
    with open(BENCH_DATA / name, encoding="utf-8") as f:
        return [json.loads(line)["input"] for line, _ in zip(f, range(count))]


def _loads_or_error(text, **options):
    try:
        return velvin.loads(text, **options)
    except velvin.RepairError as e:
        return e


def _same_answer(got, expected):
    if isinstance(expected, velvin.RepairError):
        return (isinstance(got, velvin.RepairError) and got.errors == expected.errors
                and _timeless(got.result) == _timeless(expected.result))
    return got == expected and not isinstance(got, velvin.RepairError)


@pytest.mark.skipif(not BENCH_DATA.is_dir(), reason="shared bench-data not present")
@pytest.mark.parametrize("jobs", [0, 1, 3])
@pytest.mark.parametrize("name, count", [("llm-small.jsonl", 80), ("llm-medium.jsonl", 25)])
def test_corpus_batches_equal_one_by_one(name, count, jobs):
    texts = _corpus(name, count) + TEXTS
    loaded = velvin.loads_many(texts, jobs=jobs)
    assert all(_same_answer(g, _loads_or_error(t)) for g, t in zip(loaded, texts))
    parsed = velvin.parse_many(texts, jobs=jobs, top_k=2)
    assert [_timeless(r) for r in parsed] == [_timeless(velvin.parse(t, top_k=2)) for t in texts]


@pytest.mark.parametrize("kind", [str, bytes, bytearray, memoryview])
def test_every_text_kind_gives_the_answer_of_its_bytes(kind):
    texts = [t if isinstance(t, bytes) else t.encode() for t in TEXTS]
    made = [t.decode("utf-8", "surrogateescape") if kind is str else kind(t) for t in texts]
    made = [m for m in made if not (isinstance(m, str) and "\udcff" in m)]  # not encodable
    expected = [_loads_or_error(m) for m in made]
    assert all(_same_answer(g, e) for g, e in zip(velvin.loads_many(made, jobs=2), expected))
    got = velvin.parse_many(made, jobs=2)
    assert [_timeless(r) for r in got] == [_timeless(velvin.parse(m)) for m in made]


def test_failures_keep_what_explain_needs():
    texts = ["{a: 1", b"[1,"]
    got = velvin.parse_many(texts, jobs=2, mode="strict_only")
    assert [r.explain() for r in got] == [velvin.parse(t, mode="strict_only").explain() for t in texts]
    error = velvin.loads_many(["[1]", "{a: 1"], mode="strict_only")[1]
    assert error.result.explain() == velvin.parse("{a: 1", mode="strict_only").explain()


@pytest.mark.parametrize("fn", [velvin_native.parse_many_py, velvin_native.loads_many_py])
@pytest.mark.parametrize("args, error", [
    ((("[1]",),), TypeError),                  # a tuple, not a list
    ((["[1]", 5],), TypeError),
    ((["[1]", "\ud800"],), TypeError),         # a lone surrogate cannot be encoded
    ((["[1]"], None, -1), ValueError),
    ((["[1]"], {"top_k": "three"}), TypeError),
])
def test_native_batch_arguments(fn, args, error):
    with pytest.raises(error):
        fn(*args)


def test_native_loads_many_converts_best_values_only():
    texts = ["[1]", "{a: 1", b"null"]
    values, failures = velvin_native.loads_many_py(texts, {"mode": "strict_only"}, 2)
    assert values == [[1], None, None]
    assert [i for i, _ in failures] == [1] and failures[0][1]["status"] == "failed"
