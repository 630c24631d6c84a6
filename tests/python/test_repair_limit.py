"""max_total_repairs: a document that needs more repairs fails at once, through every entry point;
at the limit the answer is the unlimited one."""
import os
import subprocess
from pathlib import Path

import pytest

import velvin
import velvin_native as vn

HEURISTIC = "the heuristic repair went past the limit at byte 7 of the text its pass started from"
BEAM = "the beam search went past the limit at byte 6 of the text it read"
GIVEN = "the base repairs given are more already"


def message(limit, where):
    return f"the document needs more repairs than max_total_repairs allows ({limit}); {where}"


def without_time(doc):
    doc["metrics"]["elapsed_ms"] = 0
    return doc


# (entry point, input, limit, what goes past it and where, or None within the limit)
CASES = [
    ("parse", "[1 1 1 1]", 3, None),
    ("parse", "[1 1 1 1]", 2, (HEURISTIC, 7)),
    ("preprocess", "[1 1 1 1]", 3, None),
    ("preprocess", "[1 1 1 1]", 2, (HEURISTIC, 7)),
    ("beam", "[1 2 3", 3, None),
    ("beam", "[1 2 3", 2, (BEAM, 6)),
]


def call(entry, text, options, base=None):
    if entry == "parse":
        return without_time(vn.parse_py(text, options))
    if entry == "preprocess":
        return vn.preprocess_py(text, options)
    return vn.probabilistic_repair_py(text, options, base)


@pytest.mark.parametrize("entry,text,limit,over", CASES)
def test_limit_per_entry_point(entry, text, limit, over):
    options = {"max_total_repairs": limit}
    if over is None:
        assert call(entry, text, options) == call(entry, text, None)
        return
    where, at = over
    if entry != "parse":
        # preprocess_py and probabilistic_repair_py raise ValueError(message, position).
        with pytest.raises(ValueError) as info:
            call(entry, text, options)
        assert info.value.args == (message(limit, where), at)
        return
    doc = call(entry, text, options)
    assert (doc["status"], doc["best_index"], doc["candidates"], doc["partial"]) == ("failed", None, [], None)
    assert doc["errors"] == [{"kind": "RepairLimitExceeded", "at": at, "message": message(limit, where)}]
    assert doc["metrics"]["mode_used"] == "fast_repair"


def test_base_repairs_count_against_the_limit():
    base = [{"op": "x", "cost_delta": 0.1}] * 3
    assert vn.probabilistic_repair_py("[1, 2", {"max_total_repairs": 4}, base)
    with pytest.raises(ValueError) as info:
        vn.probabilistic_repair_py("[1, 2", {"max_total_repairs": 2}, base)
    assert info.value.args == (message(2, GIVEN), 0)


def test_package_functions():
    with pytest.raises(velvin.RepairError) as info:
        velvin.loads("[1 1 1 1]", max_total_repairs=2)
    assert [e.kind for e in info.value.errors] == ["RepairLimitExceeded"]
    assert velvin.parse("[1 1 1 1]", max_total_repairs=2).status == "failed"
    assert velvin.loads("[1 1 1 1]", max_total_repairs=3) == [1, 1, 1, 1]
    for call_it in (lambda: velvin.preprocess("[1 1 1 1]", max_total_repairs=2),
                    lambda: velvin.probabilistic_repair("[1 2 3", max_total_repairs=2)):
        with pytest.raises(ValueError, match="max_total_repairs"):
            call_it()


TOOL = Path(os.environ.get("VELVIN_BUILD_DIR", Path(__file__).resolve().parents[2] / "build")) / "bin" / "velvin"


@pytest.mark.skipif(not TOOL.exists(), reason=f"{TOOL} not built")
def test_tool_reports_it_as_a_failure():
    r = subprocess.run([str(TOOL), "--max-total-repairs", "2"], input=b"[1 1 1 1]", capture_output=True,
                       timeout=60)
    assert (r.returncode, r.stdout) == (1, b"\n")
    assert b'"kind":"RepairLimitExceeded","at":7' in r.stderr
