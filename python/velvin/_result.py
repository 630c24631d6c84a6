"""Typed, read-only views of the result document returned by the native parse."""
from __future__ import annotations

import copy
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Tuple, Union

import velvin_native as _native

Span = Tuple[int, int]


def _span(value: Any) -> Optional[Span]:
    return None if value is None else (int(value[0]), int(value[1]))


@dataclass(frozen=True)
class Repair:
    """One change made to the text: its op word, where it happened and what it cost."""

    op: str
    span: Optional[Span]
    at: Optional[int]
    token: Optional[str]
    cost_delta: float
    note: Optional[str]

    @classmethod
    def from_dict(cls, d: Dict[str, Any]) -> "Repair":
        return cls(d["op"], _span(d["span"]), d["at"], d["token"], d["cost_delta"], d["note"])

    @property
    def position(self) -> Optional[int]:
        """The byte offset the repair concerns: the span's start, or its `at`."""
        return self.span[0] if self.span is not None else self.at


@dataclass(frozen=True)
class Validations:
    strict_json_parse: bool
    schema_match: Optional[float]


@dataclass(frozen=True)
class Diagnostics:
    garbage_skipped_bytes: int
    deleted_tokens: int
    inserted_tokens: int
    close_open_string_count: int
    beam_width: Optional[int]
    max_repairs: Optional[int]


class _Unmade:
    """Stands in a record's field until the field is first read (see _MadeOnRead); `source` is
    what it is made from."""

    __slots__ = ("source",)

    def __init__(self, source: Any = None) -> None:
        self.source = source

    def __reduce__(self) -> Any:
        return (_Unmade, (self.source,))


class _Early:
    """What a ParseResult knows of its best candidate before its records are made: whether there
    is one, its value and confidence; `pending`, the native handle its document is made from
    (None when the document is given); `source`, when not None, the input and the span of it
    the best value was read from in one pass, whose compact form is its normalized_json."""

    __slots__ = ("pending", "found", "value", "confidence", "source")

    def __init__(self, pending: Any, found: bool, value: Any, confidence: float,
                 source: Optional[Tuple[Any, int, int]]) -> None:
        self.pending = pending
        self.found = found
        self.value = value
        self.confidence = confidence
        self.source = source


class _MadeOnRead:
    """A dataclass field whose value may be made only when first read: while the record holds an
    _Unmade there, reading the field asks the record's _made_field(name, unmade) for the value,
    which is kept. The record's __dict__ keeps exactly its fields throughout."""

    def __init__(self, name: str) -> None:
        self.name = name

    def __get__(self, record: Any, owner: Any = None) -> Any:
        if record is None:
            return self
        value = record.__dict__[self.name]
        if type(value) is _Unmade:
            value = record._made_field(self.name, value)
            record.__dict__[self.name] = value
        return value

    def __set__(self, record: Any, value: Any) -> None:
        record.__dict__[self.name] = value


@dataclass(frozen=True)
class Candidate:
    """One interpretation of the input, with the repairs it needed."""

    candidate_id: int
    value: Any
    normalized_json: Optional[str]
    ir: Any
    confidence: float
    cost: float
    repairs: Tuple[Repair, ...]
    validations: Validations
    diagnostics: Diagnostics
    dropped_spans: Tuple[Span, ...]

    @classmethod
    def from_dict(cls, d: Dict[str, Any], seen: Optional[Dict[int, Repair]] = None) -> "Candidate":
        """`seen`: the Repair made of each repair dict so far, by the dict's id; candidates share
        the dicts of their base repairs, and then share their Repair views too."""
        return cls(
            candidate_id=d["candidate_id"],
            value=d["value"],
            normalized_json=d["normalized_json"],
            ir=d["ir"],
            confidence=d["confidence"],
            cost=d["cost"],
            repairs=_repairs(d["repairs"], {} if seen is None else seen),
            validations=Validations(**d["validations"]),
            diagnostics=Diagnostics(**d["diagnostics"]),
            dropped_spans=tuple(_span(s) for s in d["dropped_spans"]),
        )

    def _made_field(self, name: str, unmade: "_Unmade") -> Any:
        # normalized_json of a value read in the same pass as its parse: from the input's span.
        return _native.normalized_json_py(*unmade.source)

    def _read_in_one_pass(self, source: Tuple[Any, int, int]) -> "Candidate":
        """This candidate, its normalized_json to be made when first read from `source`: the
        input and the span of it the value was read from."""
        self.__dict__["normalized_json"] = _Unmade(source)
        return self


def _repairs(dicts: Any, seen: Dict[int, Repair]) -> Tuple[Repair, ...]:
    out = []
    for d in dicts:
        repair = seen.get(id(d))
        if repair is None:
            repair = seen[id(d)] = Repair.from_dict(d)
        out.append(repair)
    return tuple(out)


@dataclass(frozen=True)
class ErrorRecord:
    """Why a parse failed: "JSONDecodeError", "UnrepairableJSON", "ScalePipelineError" or
    "RepairLimitExceeded"."""

    kind: str
    at: Optional[int]
    message: Optional[str]

    def __str__(self) -> str:
        where = f" at byte {self.at}" if self.at is not None else ""
        return f"{self.kind}: {self.message or 'no message'}{where}"


@dataclass(frozen=True)
class Partial:
    """The best candidate of an incomplete input: its value and the input it left out."""

    extracted: Any
    dropped_spans: Tuple[Span, ...]


@dataclass(frozen=True)
class InputStats:
    input_bytes: int
    extracted_span: Span
    prefix_skipped_bytes: int
    suffix_skipped_bytes: int


@dataclass(frozen=True)
class Metrics:
    mode_used: str
    elapsed_ms: int
    beam_width: int
    max_repairs: int
    llm_calls: int
    llm_time_ms: int
    llm_trigger: Optional[str]
    split_mode: str
    parallel_workers: int
    elements: int
    structural_density: float


@dataclass(frozen=True)
class ParseResult:
    """The outcome of one parse.

    `status` is "strict_ok" (valid JSON as given), "repaired", "partial" (the input was cut
    short or a candidate dropped part of it) or "failed". `candidates` are ranked best first;
    `value` and `confidence` are those of the best one (None and 0.0 when the parse failed).
    """

    status: str
    best_index: Optional[int]
    input_stats: InputStats
    candidates: Tuple[Candidate, ...]
    partial: Optional[Partial]
    errors: Tuple[ErrorRecord, ...]
    metrics: Metrics
    debug: Any
    _document: Dict[str, Any] = field(repr=False, compare=False)
    # (input, options, piece) of the run, for explain(); None when built from a document alone.
    _source: Any = field(default=None, repr=False, compare=False)

    @classmethod
    def from_dict(cls, doc: Dict[str, Any]) -> "ParseResult":
        candidates, i = doc["candidates"], doc["best_index"]
        best = candidates[i] if i is not None and i < len(candidates) else None
        early = _Early(None, best is not None, None if best is None else best["value"],
                       0.0 if best is None else best["confidence"], None)
        return cls._unmade(doc["status"], doc["best_index"], early, doc)

    @classmethod
    def _from_native(cls, status: str, best_index: Optional[int], found: bool, value: Any,
                     confidence: float, source: Optional[Tuple[Any, int, int]],
                     pending: Any) -> "ParseResult":
        """The result of a native parse whose document (`pending`, see result_document_py) is
        made only when one of the records is read; `source` as for _Early."""
        return cls._unmade(status, best_index, _Early(pending, found, value, confidence, source))

    @classmethod
    def _unmade(cls, status: str, best_index: Optional[int], early: "_Early",
                doc: Optional[Dict[str, Any]] = None) -> "ParseResult":
        """A result whose records wait to be made; so do its document and debug block when
        `doc` is not given."""
        unmade = _Unmade(early)
        return cls(status=status, best_index=best_index, input_stats=unmade, candidates=unmade,
                   partial=unmade, errors=unmade, metrics=unmade,
                   debug=unmade if doc is None else doc["debug"],
                   _document=unmade if doc is None else doc)

    def _made_field(self, name: str, unmade: _Unmade) -> Any:
        early: _Early = unmade.source
        if name == "_document":
            return _native.result_document_py(early.pending, early.value)
        doc = self._document
        if name == "debug":
            return doc["debug"]
        stats = doc["input_stats"]
        partial = doc["partial"]
        seen: Dict[int, Repair] = {}
        candidates = tuple(Candidate.from_dict(c, seen) for c in doc["candidates"])
        if early.source is not None:
            candidates[self.best_index]._read_in_one_pass(early.source)
        views = {
            "input_stats": InputStats(
                stats["input_bytes"], _span(stats["extracted_span"]),
                stats["prefix_skipped_bytes"], stats["suffix_skipped_bytes"]),
            "candidates": candidates,
            "partial": None if partial is None else Partial(
                partial["extracted"], tuple(_span(s) for s in partial["dropped_spans"])),
            "errors": tuple(ErrorRecord(**e) for e in doc["errors"]),
            "metrics": Metrics(**doc["metrics"]),
        }
        self.__dict__.update(views)
        return views[name]

    def _early(self) -> "Optional[_Early]":
        """What the result knew of its best candidate before its records were made; None once
        they are (or when it was built from its records)."""
        candidates = self.__dict__["candidates"]
        return candidates.source if type(candidates) is _Unmade else None

    def __getstate__(self) -> Dict[str, Any]:
        # Every field made, so that a copy or a pickle holds no native handle.
        return {name: getattr(self, name) for name in self.__dict__}

    @property
    def ok(self) -> bool:
        """True when a value was found (status other than "failed")."""
        early = self._early()
        return early.found if early is not None else self.best is not None

    @property
    def best(self) -> Optional[Candidate]:
        if self.best_index is None or self.best_index >= len(self.candidates):
            return None
        return self.candidates[self.best_index]

    @property
    def value(self) -> Any:
        early = self._early()
        if early is not None:
            return early.value
        best = self.best
        return None if best is None else best.value

    @property
    def confidence(self) -> float:
        early = self._early()
        if early is not None:
            return early.confidence
        best = self.best
        return 0.0 if best is None else best.confidence

    @property
    def repairs(self) -> Tuple[Repair, ...]:
        best = self.best
        return () if best is None else best.repairs

    def to_dict(self) -> Dict[str, Any]:
        """The plain result document (a fresh deep copy)."""
        doc = copy.deepcopy(self._document)
        for candidate, d in zip(self.candidates, doc["candidates"]):
            d["normalized_json"] = candidate.normalized_json
        return doc

    def explain(self, name: str = "<input>") -> str:
        """The text `velvin --explain` prints for the input and options this result was made
        from (colors off; `name` heads it, as the file name does in the tool): the input with
        each repair marked where it happened, the repairs with their costs, the status, the
        confidence and the value.

        It runs the pipeline again on that input, so the result explained is made anew: the
        same as this one but for the elapsed milliseconds. A value of velvin.parse_all is
        explained as parse_all reads it, its offsets counting in the whole text. Raises
        ValueError for a result built from a plain document (from_dict), which has no input.
        """
        source = self._source
        if source is None:
            raise ValueError("explain() needs the input: this result was built from a document")
        text, options, piece = source
        return _native.explain_py(text, options, name, piece)

    def __repr__(self) -> str:
        return (f"ParseResult(status={self.status!r}, value={self.value!r}, "
                f"confidence={self.confidence:.3f}, candidates={len(self.candidates)}, "
                f"repairs={[r.op for r in self.repairs]})")


# The records of a ParseResult made from its document, and the normalized_json of a candidate,
# may wait until first read.
for _name in ("input_stats", "candidates", "partial", "errors", "metrics", "debug", "_document"):
    setattr(ParseResult, _name, _MadeOnRead(_name))
Candidate.normalized_json = _MadeOnRead("normalized_json")  # type: ignore[assignment]


def _made_from(result: ParseResult, text: Union[str, bytes], options: Optional[Dict[str, Any]],
               piece: Optional[Span] = None) -> ParseResult:
    """Keeps, in `result`, the input and options it was made from (and its piece of the text,
    for a value of parse_all), which explain() runs again."""
    object.__setattr__(result, "_source", (text, options, piece))
    return result


__all__ = ["Candidate", "Diagnostics", "ErrorRecord", "InputStats", "Metrics", "ParseResult",
           "Partial", "Repair", "Span", "Validations"]
