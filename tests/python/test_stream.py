"""velvin.StreamParser and parse_stream: values that never flicker while text arrives, and a
close() that answers exactly what velvin.parse answers for the whole text."""
import doctest
import json
import threading
from pathlib import Path

import pytest

import velvin
from velvin import _stream

CORPORA = Path(__file__).resolve().parents[2].parent / "shared" / "bench-data"


def corpus(name):
    path = CORPORA / f"{name}.jsonl"
    if not path.exists():
        pytest.skip(f"{path} is not here")
    return [json.loads(line)["input"] for line in path.read_text(encoding="utf-8").splitlines()]


def same(a, b):
    """Equal with the same JSON types (1, 1.0 and True differ)."""
    return json.dumps(a) == json.dumps(b)


def check_stable(old, new, where="value"):
    """Everything `old` showed is still in `new`: each member or element before the last is
    unchanged; the last (perhaps still open) one keeps its kind, a string only grows at its end
    and a container is checked the same way, level by level."""
    if old is None:
        return
    assert type(new) is type(old) or (isinstance(old, (int, float)) and not isinstance(old, bool)
                                      and isinstance(new, (int, float)) and not isinstance(new, bool)), \
        f"{where}: {old!r} became {new!r}"
    if isinstance(old, str):
        assert new.startswith(old), f"{where}: {old!r} became {new!r}"
    elif isinstance(old, (list, dict)):
        keys = list(old) if isinstance(old, dict) else list(range(len(old)))
        assert len(new) >= len(old), f"{where}: lost parts of {old!r}: {new!r}"
        if isinstance(old, dict):
            assert list(new)[:len(keys)] == keys, f"{where}: keys {keys} became {list(new)}"
        for k in keys[:-1]:  # completed parts are shared, so usually the very same object
            assert new[k] is old[k] or same(old[k], new[k]), f"{where}[{k!r}]: {old[k]!r} became {new[k]!r}"
        if keys:
            check_stable(old[keys[-1]], new[keys[-1]], f"{where}[{keys[-1]!r}]")


def comparable(result):
    doc = result.to_dict()
    doc["metrics"]["elapsed_ms"] = 0
    return doc


def pieces(text, size, as_bytes):
    data = text.encode("utf-8") if as_bytes else text
    return [data[i:i + size] for i in range(0, len(data), size)]


@pytest.mark.parametrize("name,size,as_bytes", [
    ("llm-small", 1, False), ("llm-small", 7, True), ("llm-small", 64, False),
    ("llm-medium", 7, True), ("llm-medium", 64, False),
])
def test_values_are_stable_on_the_corpora(name, size, as_bytes):
    for n, text in enumerate(corpus(name)):
        parser = velvin.StreamParser()
        previous = None
        for chunk in pieces(text, size, as_bytes):
            value = parser.feed(chunk)
            check_stable(previous, value, f"{name}[{n}]")
            previous = value
        if size == 7:  # once per corpus: the pipeline is the slow part
            assert comparable(parser.close()) == comparable(velvin.parse(text)), f"{name}[{n}]"


# (chunks, the value after each chunk)
CASES = {
    "prose and a fence first": (["Sure! Here:\n```json\n", "{'a': [1, 2", "], b: True", "}\n```"],
                                [None, {"a": [1, 2]}, {"a": [1, 2]}, {"a": [1, 2], "b": True}]),
    "never starts": (["no JSON ", "here at all"], [None, None]),
    "empty chunks": (["", "[", "", "1, ", "", "2]", ""], [None, [], [], [1], [1], [1, 2], [1, 2]]),
    "string grows": (['{"t": "He', "llo, w", 'orld"}'], [{"t": "He"}, {"t": "Hello, w"}, {"t": "Hello, world"}]),
    "key shown once complete": (['{"ke', 'y": ', "4", "2,"], [{}, {}, {"key": 4}, {"key": 42}]),
    "literal shown once complete": (["[tr", "ue, nu", "ll]"], [[], [True], [True, None]]),
    "UTF-8 cut in bytes": ([b'["\xc3', b'\xa9', b'\xe2\x82', b'\xac"]'], [[""], ["é"], ["é"], ["é€"]]),
    "escape cut": (['["\\u00', "e9 \\", 'n"]'], [[""], ["é "], ["é \n"]]),
    "comment cut": (["[1, /", "/ two\n 2 /", "* x */]"], [[1], [1, 2], [1, 2]]),
    "repeated key keeps its first value": (['{"a": "x", "a', '": "y', '", "b": 1}'],
                                           [{"a": "x"}, {"a": "x"}, {"a": "x", "b": 1}]),
    "rest ignored once complete": (['{"a": 1} and then [2]', " more"], [{"a": 1}, {"a": 1}]),
}


@pytest.mark.parametrize("name", CASES)
def test_values_after_each_chunk(name):
    chunks, expected = CASES[name]
    parser = velvin.StreamParser()
    assert [parser.feed(c) for c in chunks] == expected
    whole = b"".join(chunks) if isinstance(chunks[0], bytes) else "".join(chunks)
    assert comparable(parser.close()) == comparable(velvin.parse(whole))
    assert list(velvin.parse_stream(chunks)) == expected


def test_completed_parts_are_shared_and_the_spine_is_fresh():
    parser = velvin.StreamParser()
    first = parser.feed('{"done": {"x": [1, 2]}, "open": ["a", "b')
    second = parser.feed('c", ')
    assert second["done"] is first["done"]
    assert second is not first and second["open"] is not first["open"]
    first["open"].append("mine")  # a returned spine is the caller's own
    assert parser.feed("3]}") == {"done": {"x": [1, 2]}, "open": ["a", "bc", 3]}


@pytest.mark.parametrize("feeds,error", [
    (["[1", b"2"], TypeError),  # str then bytes
    ([b"[1", "2"], TypeError),
    ([5], TypeError),
    (["[1", None], TypeError),
])
def test_bad_chunks(feeds, error):
    parser = velvin.StreamParser()
    with pytest.raises(error):
        for chunk in feeds:
            parser.feed(chunk)


def test_close_is_final():
    parser = velvin.StreamParser(top_k=1)
    parser.feed(bytearray(b'{"a": '))
    parser.feed(memoryview(b"[1,"))
    result = parser.close()
    assert parser.close() is result and parser.closed
    assert comparable(result) == comparable(velvin.parse('{"a": [1,', top_k=1))
    with pytest.raises(ValueError):
        parser.feed("]}")


def test_unknown_option():
    with pytest.raises(TypeError, match="StreamParser"):
        velvin.StreamParser(top_kk=1)


def test_one_parser_shared_by_threads():
    parser = velvin.StreamParser()
    parser.feed("[")
    errors = []

    def work():
        try:
            for _ in range(500):
                parser.feed("1, ")
        except Exception as e:  # noqa: BLE001 - any failure is the finding
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert parser.feed("]") == [1] * 2000


def test_doc_examples():
    assert doctest.testmod(_stream).failed == 0
