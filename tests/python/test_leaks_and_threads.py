"""Every entry point, called many times on good and bad input (exception paths included), leaves
the process's memory flat; eight threads calling them at once get the same answers as one."""
import os
import threading

import pytest

import velvin_native as vn

GOOD_JSON = b'{"name": "Ada", "tags": ["x", "y"], "n": 1.5, "ok": true, "none": null}'
BROKEN = "Sure! ```json\n{'a': [1, 2,], b: None, // note\n 'c': \"unterminated"
SCHEMA = {"required_keys": ["a"], "types": {"a": "array"}}


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def expect(exc_type, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{fn.__name__} did not raise {exc_type.__name__}")


def stream_calls():
    parser = vn.StreamParser({"top_k": 2})
    values = [parser.feed(c) for c in ('Sure: {"a": [1, 2', '], "b": "x\\u00', 'e9", c: None')]
    expect(TypeError, parser.feed, b"}")
    return dict(parser.close(), values=values)


def parse_in_one_pass(text):
    """parse_direct_py's answer with its document made (once: asked again, the same one)."""
    status, best, found, value, confidence, span, pending = vn.parse_direct_py(text)
    document = vn.result_document_py(pending, value)
    assert vn.result_document_py(pending, value) is document
    return dict(document, early=(status, best, found, value, confidence, span))


# One call per case, each a different path through the binding and the core.
CALLS = [
    ("strict ok", lambda: vn.strict_loads_py(GOOD_JSON)),
    ("strict str", lambda: vn.strict_loads_py(GOOD_JSON.decode())),
    ("strict error", lambda: expect(ValueError, vn.strict_loads_py, b'{"a": [1, 2,]}')),
    ("strict bad utf-8", lambda: expect(ValueError, vn.strict_loads_py, b"[\xff]")),
    ("strict bad type", lambda: expect(ValueError, vn.strict_loads_py, 5)),
    ("parse ok", lambda: vn.parse_py(GOOD_JSON)),
    ("parse broken", lambda: vn.parse_py(BROKEN, {"schema": SCHEMA, "debug": True})),
    ("parse failed", lambda: vn.parse_py("[1,]", {"mode": "strict_only"})),
    ("parse tape", lambda: vn.parse_py(GOOD_JSON, {"mode": "scale_pipeline", "scale_output": "tape",
                                                   "debug": True})),
    ("parse in one pass", lambda: parse_in_one_pass(GOOD_JSON)),
    ("parse in one pass, repaired", lambda: parse_in_one_pass(BROKEN)),
    ("parse in one pass, document never made", lambda: vn.parse_direct_py(BROKEN)[:6]),
    ("normalized json", lambda: vn.normalized_json_py(GOOD_JSON, 0, len(GOOD_JSON))),
    ("normalized json bad span", lambda: expect(ValueError, vn.normalized_json_py, GOOD_JSON, 1, 2)),
    ("loads ok", lambda: vn.loads_py(BROKEN, {"schema": SCHEMA})),
    ("loads failed", lambda: vn.loads_py("[1,]", {"mode": "strict_only"})),
    ("repair_json ok", lambda: vn.repair_json_py(BROKEN)),
    ("repair_json tape", lambda: vn.repair_json_py(GOOD_JSON, {"mode": "scale_pipeline",
                                                              "scale_output": "tape"})),
    ("parse bad option", lambda: expect(OverflowError, vn.parse_py, "[]", {"top_k": -1})),
    ("parse bad schema", lambda: expect(RuntimeError, vn.parse_py, "[]", {"schema": [Unprintable()]})),
    ("parse bad input", lambda: expect(TypeError, vn.parse_py, bytearray(b"[]"))),
    ("preprocess", lambda: vn.preprocess_py(BROKEN.encode() + b"\xff")),
    ("preprocess bad keys", lambda: expect(TypeError, vn.preprocess_py, "[]", {"scale_target_keys": "x"})),
    ("beam", lambda: vn.probabilistic_repair_py('{"a": [1, 2', {"top_k": 3},
                                                [{"op": "x", "span": (0, 1), "note": "n"}])),
    ("beam bad repair", lambda: expect(ValueError, vn.probabilistic_repair_py, "[1", None,
                                       [{"op": "x", "span": (0, 1, 2)}])),
    ("scale ok", lambda: vn.parse_root_array_scale_py(b"[1, [2], {\"a\": 3}]",
                                                      {"allow_parallel": "true", "parallel_workers": 2})),
    ("scale error", lambda: expect(ValueError, vn.parse_root_array_scale_py, b"[1, 2,]",
                                   {"allow_parallel": "true"})),
    ("scale bad type", lambda: expect(TypeError, vn.parse_root_array_scale_py, "[1]")),
    ("stream", stream_calls),
]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGESIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("name,call", CALLS, ids=[name for name, _ in CALLS])
def test_memory_stays_flat(name, call):
    # The first thousands of calls settle allocator pools and the worker threads' malloc
    # arenas (more of them after other tests ran), so memory is compared over the windows after
    # that: a leak grows in every window, settling does not.
    for _ in range(3000):
        call()
    growth = None
    for _ in range(3):
        before = resident_bytes()
        for _ in range(3000):
            call()
        window = resident_bytes() - before
        growth = window if growth is None else min(growth, window)
    # A leak of even 100 bytes a call would show as 300 KB here.
    assert growth < 256 * 1024, f"{name}: resident memory grew by {growth} bytes over 3000 calls"


def answers():
    """Every entry point's answer (exceptions as their type and args), with timings removed."""
    out = []
    for name, call in CALLS:
        try:
            result = call()
        except Exception as e:  # noqa: BLE001  (the answer is the exception itself)
            result = (type(e).__name__, e.args)
        if isinstance(result, dict) and "metrics" in result:
            result = dict(result, metrics=dict(result["metrics"], elapsed_ms=0))
        out.append((name, result))
    return out


def test_eight_threads_get_the_same_answers_as_one():
    expected = answers()
    results = [None] * 8
    failures = []

    def worker(index):
        try:
            for _ in range(20):
                got = answers()
                if got != expected:
                    failures.append(index)
                    return
            results[index] = True
        except Exception as e:  # noqa: BLE001
            failures.append((index, e))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not failures
    assert results == [True] * 8


def test_threads_reading_one_result_get_the_same_records():
    """The records of a velvin.parse result are made on first read; threads that read them at
    once all get them."""
    import sys

    import velvin

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads change often, inside the first read too
    try:
        for _ in range(20):
            result = velvin.parse(BROKEN)
            seen = []

            def read():
                seen.append((result.candidates[0].value, result.to_dict()["status"]))

            threads = [threading.Thread(target=read) for _ in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=60)
            assert len(seen) == 8 and all(s == seen[0] for s in seen)
    finally:
        sys.setswitchinterval(interval)
