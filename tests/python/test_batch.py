"""The batch entry points parse_many and loads_many: the same answers as parse and loads, one per
text, in order, with every argument checked before the first text."""
import pytest

import velvin

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
