"""velvin: the most likely JSON value in a language model's output, and why.

    >>> import velvin
    >>> velvin.loads("Sure! ```json\\n{'ok': True, 'items': [1, 2,]}\\n```")
    {'ok': True, 'items': [1, 2]}
    >>> result = velvin.parse('{"name": "Ada", "tags": ["x", "y"')
    >>> result.status, result.value
    ('repaired', {'name': 'Ada', 'tags': ['x', 'y']})
    >>> [r.op for r in result.repairs]
    ['close_containers']

Options are keyword arguments (see `OPTION_NAMES`); a misspelt one raises TypeError.
"""
from __future__ import annotations

import gc
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Tuple, TypeVar, Union

import velvin_native as _native

from ._options import OPTION_NAMES, check_options
from ._result import (Candidate, Diagnostics, ErrorRecord, InputStats, Metrics, ParseResult, Partial,
                      Repair, Span, Validations, _made_from)
from ._schema import schema_from
from ._stream import StreamParser, parse_stream

__version__ = "0.1.0"

Text = Union[str, bytes, bytearray, memoryview]


_T = TypeVar("_T")

# Inputs from this size on are parsed with the collector paused (as the native module does).
_LARGE_INPUT = 4096


def _collected_later(size: int, make: Callable[[], _T]) -> _T:
    """make(), the collector paused for a large input. The new value's objects then wait for the
    caller's next allocation to be looked at once, as after strict_loads, instead of being
    looked at while the result's own few objects are made around them."""
    if size < _LARGE_INPUT or not gc.isenabled():
        return make()
    gc.disable()
    try:
        return make()
    finally:
        gc.enable()


def _text(function: str, text: Any) -> Union[str, bytes]:
    """str and bytes as they are, other bytes-like objects as bytes; anything else is a TypeError
    naming the function called."""
    if isinstance(text, (str, bytes)):
        return text
    if isinstance(text, (bytearray, memoryview)):
        return bytes(text)
    raise TypeError(f"{function}() takes str or bytes, not {type(text).__name__}")


class RepairError(ValueError):
    """Nothing usable could be made of the input. `errors` holds the error records, `result`
    the whole ParseResult."""

    def __init__(self, result: ParseResult) -> None:
        self.result = result
        self.errors: Tuple[ErrorRecord, ...] = result.errors
        super().__init__("; ".join(str(e) for e in self.errors) or "no JSON value found")


class StrictJSONError(ValueError):
    """The text is not strict JSON. `args` is (message, position); `position` counts bytes of
    the UTF-8 text."""

    def __init__(self, message: str, position: int) -> None:
        super().__init__(message, position)
        self.message = message
        self.position = position

    def __str__(self) -> str:
        return f"{self.message} at byte {self.position}"


def parse(text: Text, **options: Any) -> ParseResult:
    """Runs the whole repair pipeline and returns a typed view of the result document.

    Never raises for bad input: a failure is a result with status "failed" and error records.
    """
    return _parse("parse", text, options)


def _parse(function: str, text: Text, options: Dict[str, Any]) -> ParseResult:
    data, checked = _text(function, text), check_options(function, options)

    def make() -> ParseResult:
        status, best_index, found, value, confidence, span, pending = _native.parse_direct_py(
            data, checked)
        source = None if span is None else (data, span[0], span[1])
        result = ParseResult._from_native(status, best_index, found, value, confidence, source,
                                          pending)
        return _made_from(result, data, checked)

    return _collected_later(len(data), make)


def parse_all(text: Text, **options: Any) -> List[ParseResult]:
    """Every JSON value of `text`, in order, each a ParseResult: several fenced blocks, objects
    or arrays in prose, JSON Lines, values side by side (`{"a": 1}{"b": 2}`, `[1] [2]`).

    The text is cut into pieces, each a fenced block or a run from a "{" or "[" to the bracket
    that closes it, and each piece goes through the pipeline on its own; prose between them is
    no one's. A text with one value, or none, or that is one JSON string, gives exactly
    `[velvin.parse(text)]`. The extracted span and the extraction's repairs of each result count
    bytes of the whole text (decoded as UTF-8, invalid bytes replaced), and so do its
    input_stats, whose input_bytes is the whole input's length. A value left open runs to the
    end of the text, as velvin.parse reads it. Never raises for bad input: a piece that cannot
    be repaired is a result with status "failed".
    """
    data, checked = _text("parse_all", text), check_options("parse_all", options)
    return [_made_from(ParseResult.from_dict(doc), data, checked, piece)
            for piece, doc in _native.parse_all_py(data, checked)]


def loads_all(text: Text, **options: Any) -> List[Any]:
    """The values of velvin.parse_all(text), in order, leaving out the pieces that gave none
    (parse_all shows those with their errors). Raises RepairError when no piece gave a value,
    so for a text with one value it is `[velvin.loads(text)]`, and raises where loads raises.
    """
    results = parse_all(_text("loads_all", text), **options)
    values = [r.value for r in results if r.ok]
    if not values:
        raise RepairError(results[0])
    return values


def loads(text: Text, **options: Any) -> Any:
    """The best value found in `text`; raises RepairError when there is none."""
    data = _text("loads", text)
    if not options:
        # Valid JSON, the usual case, is its own value under every default (the pipeline
        # returns exactly what the strict parser reads), so the strict parser alone answers it
        # without building a result document. With options the pipeline always runs: they may
        # be invalid or choose a different route.
        try:
            return _native.strict_loads_py(data)
        except ValueError:
            pass
    # Only the value is wanted: the result document is converted for errors only.
    checked = check_options("loads", options)
    value, failed = _native.loads_py(data, checked)
    if failed is not None:
        raise RepairError(_made_from(ParseResult.from_dict(failed), data, checked))
    return value


def repair_json(text: Text, **options: Any) -> str:
    """The best value found in `text` as compact JSON text; raises RepairError when there is none."""
    data = _text("repair_json", text)
    checked = check_options("repair_json", options)
    compact, failed = _native.repair_json_py(data, checked)
    if compact is not None:
        return compact
    if failed is not None:
        raise RepairError(_made_from(ParseResult.from_dict(failed), data, checked))
    best = _best_candidate("repair_json", data, options)
    import json  # a tape result carries no compact text: render its description

    described = best["ir"] if best["value"] is None else best["value"]
    return json.dumps(described, separators=(",", ":"), ensure_ascii=False)


def _best_candidate(function: str, data: Union[str, bytes], options: Dict[str, Any]) -> Dict[str, Any]:
    """The best candidate of the result document as a dict; RepairError when there is none."""
    checked = check_options(function, options)
    doc = _native.parse_py(data, checked)
    best = doc["best_index"]
    if best is None or best >= len(doc["candidates"]):
        raise RepairError(_made_from(ParseResult.from_dict(doc), data, checked))
    return doc["candidates"][best]


def strict_loads(text: Text) -> Any:
    """Parses strict JSON only (no repair); raises StrictJSONError(message, position)."""
    if isinstance(text, memoryview):
        text = text.tobytes()
    elif not isinstance(text, (str, bytes, bytearray)):
        raise TypeError(f"strict_loads() takes str or bytes, not {type(text).__name__}")
    try:
        return _native.strict_loads_py(text)
    except ValueError as e:
        if len(e.args) == 2:
            raise StrictJSONError(*e.args) from None
        raise


def preprocess(text: Text, **options: Any) -> Dict[str, Any]:
    """Extraction and heuristic repair only: {"extracted_span", "extracted_text",
    "repaired_text", "truncated", "method", "error_pos", "base_repairs"}.

    Raises ValueError(message, position) when the text needs more repairs than the option
    max_total_repairs allows."""
    return _native.preprocess_py(_text("preprocess", text), check_options("preprocess", options))


def _repair_dict(repair: Union[Repair, Dict[str, Any]]) -> Dict[str, Any]:
    if isinstance(repair, Repair):
        return {"op": repair.op, "span": repair.span, "at": repair.at, "token": repair.token,
                "cost_delta": repair.cost_delta, "note": repair.note}
    return repair


def probabilistic_repair(text: Text, base_repairs: Optional[Iterable[Union[Repair, Dict[str, Any]]]] = None,
                         **options: Any) -> List[Candidate]:
    """The beam search alone on already extracted text, carrying `base_repairs` forward. Bytes
    are read as UTF-8, each invalid sequence replaced by U+FFFD.

    Raises ValueError(message, position) when every parse needs more repairs than the option
    max_total_repairs allows, base repairs included."""
    text = _text("probabilistic_repair", text)
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    repairs = None if base_repairs is None else [_repair_dict(r) for r in base_repairs]
    candidates = _native.probabilistic_repair_py(text, check_options("probabilistic_repair", options), repairs)
    seen: Dict[int, Any] = {}
    return [Candidate.from_dict(c, seen) for c in candidates]


def _check_batch(function: str, jobs: Any, options: Dict[str, Any]) -> Optional[Dict[str, Any]]:
    """The options for the native layer, after checking `jobs` and every option's name and value,
    so that a batch fails before its first text rather than on each one."""
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"{function}() jobs must be an int, not {type(jobs).__name__}")
    if jobs < 0:
        raise ValueError(f"{function}() jobs must be 0 or more, not {jobs}")
    checked = check_options(function, options)
    if checked:
        # The native reader is the one judge of option values; a batch of no texts reads them
        # and parses nothing.
        _native.parse_many_py([], checked, jobs)
    return checked


def _batch(function: str, texts: Iterable[Text], jobs: Any,
           options: Dict[str, Any]) -> Tuple[List[Union[str, bytes]], Optional[Dict[str, Any]]]:
    """The texts as a list of str and bytes, and the options, every argument checked before any
    text is parsed."""
    checked = _check_batch(function, jobs, options)
    return [_text(function, t) for t in texts], checked


def parse_many(texts: Iterable[Text], jobs: int = 0, **options: Any) -> List[ParseResult]:
    """`velvin.parse` of each text, in the order given: one ParseResult per text.

    The options apply to every text and are checked once, before any parsing: a misspelt one
    raises TypeError, as does a text that is neither str nor bytes-like. The texts are parsed on
    `jobs` native threads inside the call (0: one per core; never more than there are texts);
    the results are the same for every value.
    """
    data, checked = _batch("parse_many", texts, jobs, options)
    documents = _native.parse_many_py(data, checked, jobs)
    return [_made_from(ParseResult.from_dict(doc), d, checked) for doc, d in zip(documents, data)]


def loads_many(texts: Iterable[Text], jobs: int = 0, **options: Any) -> List[Any]:
    """`velvin.loads` of each text, in the order given. A text with no value gives its
    RepairError at its place in the list instead of raising it, so one bad text does not lose
    the others. Arguments as for `parse_many`.
    """
    data, checked = _batch("loads_many", texts, jobs, options)
    values, failures = _native.loads_many_py(data, checked, jobs)
    for i, doc in failures:
        values[i] = RepairError(_made_from(ParseResult.from_dict(doc), data[i], checked))
    return values


class LargeParse(NamedTuple):
    value: Any
    plan: Dict[str, Any]  # {"mode", "elements", "structural_density", "chunk_count"}


def parse_large(data: Text, **options: Any) -> LargeParse:
    """Parses one large, well-formed document on several threads (no repair); a str is read as
    its UTF-8 encoding.

    Raises ValueError with the scale pipeline's message when the document is not valid JSON.
    """
    data = _text("parse_large", data)
    if isinstance(data, str):
        data = data.encode("utf-8")
    checked = check_options("parse_large", options)

    def make() -> LargeParse:
        out = _native.parse_root_array_scale_py(data, checked)
        return LargeParse(out["value"], out["plan"])

    return _collected_later(len(data), make)


__all__ = [
    "Candidate", "Diagnostics", "ErrorRecord", "InputStats", "LargeParse", "Metrics", "OPTION_NAMES",
    "ParseResult", "Partial", "Repair", "RepairError", "Span", "StreamParser", "StrictJSONError",
    "Validations", "loads", "loads_all", "loads_many", "parse", "parse_all", "parse_large", "parse_many",
    "parse_stream", "preprocess", "probabilistic_repair", "repair_json", "schema_from", "strict_loads",
]
