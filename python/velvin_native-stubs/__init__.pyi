"""Type stubs for velvin_native, the compiled core of velvin."""
from typing import Any, Dict, List, Optional, Tuple, TypedDict, Union

_Span = Tuple[int, int]

class RepairDict(TypedDict):
    op: str
    span: Optional[_Span]
    at: Optional[int]
    token: Optional[str]
    cost_delta: float
    note: Optional[str]

class ValidationsDict(TypedDict):
    strict_json_parse: bool
    schema_match: Optional[float]

class DiagnosticsDict(TypedDict):
    garbage_skipped_bytes: int
    deleted_tokens: int
    inserted_tokens: int
    close_open_string_count: int
    beam_width: Optional[int]
    max_repairs: Optional[int]

class CandidateDict(TypedDict):
    candidate_id: int
    value: Any
    normalized_json: Optional[str]
    ir: Any
    confidence: float
    cost: float
    repairs: List[RepairDict]
    validations: ValidationsDict
    diagnostics: DiagnosticsDict
    dropped_spans: List[_Span]

class PreprocessDict(TypedDict):
    extracted_span: _Span
    extracted_text: str
    repaired_text: str
    truncated: bool
    method: str
    error_pos: Optional[int]
    base_repairs: List[RepairDict]

class PlanDict(TypedDict):
    mode: str
    elements: int
    structural_density: float
    chunk_count: int

class ScaleDict(TypedDict):
    value: Any
    plan: PlanDict

def strict_loads_py(input: Union[str, bytes, bytearray]) -> Any:
    """Strict JSON to Python objects; raises ValueError(message, byte_position)."""

def parse_py(input: Union[str, bytes], options: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """The whole repair pipeline; returns the result document (spans as lists)."""

def parse_direct_py(
    input: Union[str, bytes], options: Optional[Dict[str, Any]] = None,
) -> Tuple[str, Optional[int], bool, Any, float, Optional[_Span], Any]:
    """(status, best_index, found, value, confidence, source, pending): what velvin.parse reads
    first; the document stays in `pending` until result_document_py. The value of valid input is
    built in the same pass as its parse; when the strict route read it, `source` is the span of
    the decoded input it was read from (see normalized_json_py), else None."""

def result_document_py(pending: Any, value: Any) -> Dict[str, Any]:
    """The result document of parse_direct_py's `pending`, its best value being `value`; made
    once, and the same document on every later call."""

def normalized_json_py(input: Union[str, bytes], start: int, end: int) -> str:
    """The compact text of bytes start..end of the input as the pipeline decodes it; raises
    ValueError when that span is not valid JSON."""

def preprocess_py(input: Union[str, bytes], options: Optional[Dict[str, Any]] = None) -> PreprocessDict:
    """Extraction and heuristic repair only; raises ValueError(message, position) when the text
    needs more repairs than max_total_repairs allows."""

def probabilistic_repair_py(
    extracted_text: str,
    options: Optional[Dict[str, Any]] = None,
    base_repairs: Optional[List[Dict[str, Any]]] = None,
) -> List[CandidateDict]:
    """The beam search alone, carrying base_repairs forward; raises ValueError(message, position)
    when every parse needs more repairs than max_total_repairs allows, base repairs included."""

def parse_root_array_scale_py(data: bytes, options: Optional[Dict[str, Any]] = None) -> ScaleDict:
    """Parallel parse of one large, well-formed document; raises ValueError(text)."""

def parse_all_py(input: Union[str, bytes],
                 options: Optional[Dict[str, Any]] = None) -> List[Tuple[_Span, Dict[str, Any]]]:
    """Every JSON value of the input: (piece, result document) per value, the piece a span of
    the decoded text."""

def explain_py(input: Union[str, bytes], options: Optional[Dict[str, Any]] = None,
               name: Optional[str] = "<input>", piece: Optional[_Span] = None) -> str:
    """The text of `velvin --explain` for the input (or for one piece of parse_all_py), from a
    new run of the pipeline."""

def parse_many_py(texts: List[Union[str, bytes, bytearray]], options: Optional[Dict[str, Any]] = None,
                  jobs: int = 0) -> List[Dict[str, Any]]:
    """parse_py of each text, in order: the texts are copied, then parsed on `jobs` native
    threads (0: one per core) inside the call."""

def loads_many_py(texts: List[Union[str, bytes, bytearray]], options: Optional[Dict[str, Any]] = None,
                  jobs: int = 0) -> Tuple[List[Any], List[Tuple[int, Dict[str, Any]]]]:
    """(values, failures): the best value of each text in order (None where a text has none),
    and (index, result document) for each text that has none; threads as for parse_many_py."""

def loads_py(input: Union[str, bytes], options: Optional[Dict[str, Any]] = None) -> Tuple[Any, Optional[Dict[str, Any]]]:
    """(value, None) with the best value of parse_py's result, or (None, result document) when
    the input has none; only the value is converted."""

def repair_json_py(input: Union[str, bytes], options: Optional[Dict[str, Any]] = None) -> Tuple[Optional[str], Optional[Dict[str, Any]]]:
    """(text, None) with the best candidate's compact text, (None, result document) when the
    input has no value, (None, None) when the best candidate has no compact text (tape output)."""

def option_table_py() -> Tuple[Tuple[str, str, Any, str], ...]:
    """The options of the options dictionary, in reading order: (name, type, default,
    description), the type one of "text", "uint", "optional_uint", "float", "bool",
    "text_list", "json"; an unset default is None."""


class StreamParser:
    """The streaming reader: feed() returns the value so far, close() the result document of the
    whole text (as parse_py gives it). Chunks are str or bytes, not both in one stream."""

    def __init__(self, options: Optional[Dict[str, Any]] = None) -> None: ...
    def feed(self, chunk: Union[str, bytes]) -> Any: ...
    def close(self) -> Dict[str, Any]: ...
